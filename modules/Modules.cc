// The modules are made in their fixed module order (each table's moduleOrder), so that
// the first module is the one that reads the assertion mode, whatever order the linker
// gives the files. Each module is made in its table's own generated unit
// (modules/MakeModule.h); this one only orders and owns them.
#include "modules/Modules.h"

#include <algorithm>
#include <array>
#include <exception>
#include <memory>

#include "framework/TableModule.h"
#include "platform/plugin/PluginDirectory.h"
#include "modules/AllModuleMakers.h"

namespace bcm88490_a0 {
namespace {

#define HW_MODULE_MAKER(lowerName) &lowerName##ModuleMaker,
constexpr std::array moduleMakerOfEachTable{HW_FOR_EACH_MODULE_MAKER(HW_MODULE_MAKER)};
#undef HW_MODULE_MAKER

class LoadedModules {
 public:
  // The first set-up runs here, in the constructor: the registries it registers with
  // are then made while this object is, so they are destroyed after it and are still
  // there for its withdrawals at exit.
  LoadedModules() { load(); }
  ~LoadedModules() { unload(); }
  LoadedModules(LoadedModules const&) = delete;
  LoadedModules& operator=(LoadedModules const&) = delete;

  bool complete() const { return modules_.size() == moduleMakerOfEachTable.size(); }

  bool load() {
    if (complete()) return true;
    std::vector<ModuleMaker> makers;
    for (auto const& makerOf : moduleMakerOfEachTable) makers.push_back(makerOf());
    std::sort(makers.begin(), makers.end(), [](auto const& left, auto const& right) {
      return left.moduleOrder < right.moduleOrder;
    });
    try {
      for (auto const& maker : makers) {
        auto module = maker.make();
        if (!module) break;  // refused: the table registry told the load why
        modules_.push_back(std::move(module));
      }
    } catch (std::exception const& error) {
      Plugin::reportLoadProblem(error.what());
    }
    if (complete()) return true;
    unload();
    return false;
  }

  // The last module set up goes first; each withdraws all of its registrations.
  void unload() {
    while (!modules_.empty()) modules_.pop_back();
  }

  std::vector<std::string_view> names() const {
    std::vector<std::string_view> names;
    for (auto const& module : modules_) names.push_back(module->tableName());
    return names;
  }

 private:
  std::vector<std::unique_ptr<Framework::TableModuleBase>> modules_;
};

// Set by the first registerModules(); null before.
LoadedModules* made = nullptr;

}  // namespace

bool registerModules(ModulesLife life) {
  if (made == nullptr) {
    // The first try runs in the constructor.
    if (life == ModulesLife::untilUnloaded) {
      static LoadedModules modules;
      made = &modules;
    } else {
      // Registered from a static initialiser, in an order against the generated units'
      // type records that nothing fixes, and whose destructors would then run in an
      // order nothing fixes either: withdrawing at exit could reach records already
      // destroyed, so a program that links the tables keeps them to its end.
      made = new LoadedModules;
    }
    return made->complete();
  }
  return made->load();  // a try again after a refusal, or nothing to do
}

std::vector<std::string_view> loadedModules() {
  return made != nullptr ? made->names() : std::vector<std::string_view>{};
}

}  // namespace bcm88490_a0
