#include "tools/hwtables/Plugins.h"

#include <cstdlib>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "tools/hwtables/Command.h"

namespace Tool {

void addPluginDirOption(CLI::App* command) {
  auto directory = std::make_shared<std::string>();
  command->add_option("--plugin-dir", *directory,
                      "Directory of the table plug-ins (default: $HWTABLES_PLUGIN_DIR, else "
                      "hwtables/plugins next to the libraries)");
  command->parse_complete_callback([directory] { loadPlugins(*directory); });
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
