// What makes the shared object a plug-in: its marker and its register entry. Loading
// it registers nothing; the plug-in directory reads the marker first and calls the
// entry only when the marker is of this library's plug-in interface.
#include <exception>

#include "platform/plugin/PluginDirectory.h"
#include "modules/Modules.h"

HWTABLES_PLUGIN_EXPORT Plugin::PluginInfo const hwtablesPluginInfo{Plugin::kAbiVersion,
                                                                   "bcm88490_a0", HWTABLES_VERSION};

HWTABLES_PLUGIN_EXPORT bool hwtablesPluginRegister() noexcept {
  try {
    return bcm88490_a0::registerModules();
  } catch (std::exception const& error) {
    Plugin::reportLoadProblem(error.what());
    return false;
  }
}
