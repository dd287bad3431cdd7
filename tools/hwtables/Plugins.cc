#include "tools/hwtables/Plugins.h"

#include <cstdlib>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "framework/TableRegistry.h"
#include "platform/vorl/Exceptions.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/Errors.h"

namespace Tool {

namespace {

void requireTables(PluginLoad const& load) {
  if (!Framework::TableRegistry::singleton().tables().empty()) return;
  std::string failed;
  for (auto const& error : load.errors) {
    failed += fmt::format("{}{}", failed.empty() ? "" : ", ", shown(error.path, 256));
  }
  throw UsageError(
      fmt::format("no tables: the plug-in directory {} holds no table plug-in{} (--plugin-dir or "
                  "$HWTABLES_PLUGIN_DIR chooses another)",
                  shown(load.directory, 256),
                  failed.empty() ? std::string() : fmt::format("; failed to load: {}", failed)));
}

}  // namespace

void addPluginDirOption(CLI::App* command, PluginNeed need) {
  auto directory = std::make_shared<std::string>();
  command->add_option("--plugin-dir", *directory,
                      "Directory of the table plug-ins (default: $HWTABLES_PLUGIN_DIR, else "
                      "hwtables/plugins next to the libraries)");
  command->parse_complete_callback([directory, need] {
    auto const& load = loadPlugins(*directory);
    if (need == PluginNeed::tables) requireTables(load);
  });
}

PluginLoad const& loadPlugins(std::string const& chosen) {
  static std::optional<PluginLoad> done;
  if (done) return *done;
  PluginLoad load;
  load.directory = Plugin::pluginDirectory(chosen);
  try {
    load.errors = Plugin::loadPluginDirectory(load.directory);
  } catch (Vorl::Exception const& error) {
    throw UsageError(error.what());
  }
  for (auto const& error : load.errors) {
    fmt::print(stderr, "hwtables: plug-in {}\n", error.toString());
  }
  ::setenv("HWTABLES_PLUGIN_DIR", load.directory.c_str(), 1);
  done = std::move(load);
  return *done;
}

}  // namespace Tool
