// The tool's tables come from plug-ins, loaded before a command that needs them runs.
//
// addPluginDirOption(command) gives a command `--plugin-dir DIR` and has the plug-ins
// loaded once its arguments are parsed, before it runs: from DIR, else
// $HWTABLES_PLUGIN_DIR, else the default next to the libraries (see
// platform/plugin/PluginDirectory.h). A plug-in directory that does not exist is a
// UsageError; a file that fails to load is reported on stderr ("hwtables: plug-in
// FILE: REASON") and the others still load. The chosen directory is passed on to the
// processes the tool starts (HWTABLES_PLUGIN_DIR).
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/plugin/PluginDirectory.h"

namespace Tool {

void addPluginDirOption(CLI::App* command);

struct PluginLoad {
  std::string directory;
  std::vector<Plugin::LoadError> errors;
};

// Loads the plug-ins of `chosen` (or the default directory); later calls load
// nothing and return the first load's outcome.
PluginLoad const& loadPlugins(std::string const& chosen = {});

}  // namespace Tool
