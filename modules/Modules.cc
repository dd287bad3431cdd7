// The plug-in's one static initialiser: it sets up the thirteen table modules, each
// with its table and reader plug-ins, in their fixed module order (each table's
// moduleOrder), so that the first module is the one that reads the assertion mode,
// whatever order the linker gives the files. Each module is made in its table's own
// generated unit (modules/MakeModule.h); this one only orders and owns them.
//
// Each module first registers its table with the table registry; a table already
// registered (a second copy of this plug-in) is refused there, and its module is
// not set up at all, so nothing of it is registered twice.
#include "modules/Modules.h"

#include <algorithm>
#include <array>
#include <memory>

#include "framework/TableModule.h"
#include "framework/TableRegistry.h"
#include "platform/plugin/PluginDirectory.h"
#include "modules/AllModuleMakers.h"

namespace bcm88490_a0 {
namespace {

#define HW_MODULE_MAKER(lowerName) &lowerName##ModuleMaker,
constexpr std::array moduleMakerOfEachTable{HW_FOR_EACH_MODULE_MAKER(HW_MODULE_MAKER)};
#undef HW_MODULE_MAKER

class LoadedModules {
 public:
  LoadedModules() {
    std::vector<ModuleMaker> makers;
    for (auto const& makerOf : moduleMakerOfEachTable) makers.push_back(makerOf());
    std::sort(makers.begin(), makers.end(), [](auto const& left, auto const& right) {
      return left.moduleOrder < right.moduleOrder;
    });
    for (auto const& maker : makers) {
      if (auto module = maker.make()) modules_.push_back(std::move(module));
    }
  }

  // Unload: the last module initialised goes first, and its table leaves the registry.
  ~LoadedModules() {
    while (!modules_.empty()) {
      Framework::TableRegistry::singleton().unregisterTable(modules_.back()->tableInfo());
      modules_.pop_back();
    }
  }

  std::vector<std::string_view> names() const {
    std::vector<std::string_view> names;
    for (auto const& module : modules_) names.push_back(module->tableName());
    return names;
  }

 private:
  std::vector<std::unique_ptr<Framework::TableModuleBase>> modules_;
};

LoadedModules const loaded;

}  // namespace

std::vector<std::string_view> loadedModules() {
  return loaded.names();
}

}  // namespace bcm88490_a0

// The marker that makes this shared object a plug-in (platform/plugin/PluginDirectory.h).
HWTABLES_PLUGIN_EXPORT Plugin::PluginInfo const hwtablesPluginInfo{Plugin::kAbiVersion,
                                                                   "bcm88490_a0", HWTABLES_VERSION};
