// The tool's tables come from plug-ins, loaded before a command that needs them runs.
//
// addPluginDirOption(command) gives a command `--plugin-dir DIR` and has the plug-ins
// loaded once its arguments are parsed, before it runs: from DIR, else
// $HWTABLES_PLUGIN_DIR, else the default next to the libraries (see
// platform/plugin/PluginDirectory.h). A plug-in directory that does not exist is a
// UsageError; a file that fails to load is reported on stderr ("hwtables: plug-in
// FILE: REASON") and the others still load. The chosen directory is passed on to the
// processes the tool starts (HWTABLES_PLUGIN_DIR).
//
// A command that works on tables refuses to run without any: a plug-in directory
// that is empty, or holds no table plug-in, is a UsageError naming the directory and
// the files that failed to load, never an empty answer that looks like success.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/plugin/PluginDirectory.h"

namespace Tool {

enum class PluginNeed { tables, none };

void addPluginDirOption(CLI::App* command, PluginNeed need = PluginNeed::tables);

struct PluginLoad {
  std::string directory;
  std::vector<Plugin::LoadError> errors;
};

// Loads the plug-ins of `chosen` (or the default directory); later calls load
// nothing and return the first load's outcome.
PluginLoad const& loadPlugins(std::string const& chosen = {});

}  // namespace Tool
