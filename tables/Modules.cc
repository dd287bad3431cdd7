// The library's one static initialiser: it sets up the thirteen table modules, each
// with its table and reader plug-ins, in their fixed module order (each table's
// moduleOrder), so that the first module is the one that reads the assertion mode,
// whatever order the linker gives the files.
#include "tables/Modules.h"

#include <algorithm>
#include <array>
#include <memory>

#include "framework/TableModule.h"
#include "readers/AllReaders.h"
#include "readers/TypeDescriptions.h"
#include "tables/AllTableFields.h"
#include "tables/AllTables.h"

namespace bcm88490_a0 {
namespace {

struct ModuleMaker {
  std::uint32_t moduleOrder;
  std::unique_ptr<Framework::TableModuleBase> (*make)();
};

// A module's record for the type runtime is described and marked loaded first, before
// anything else of the module is set up.
template <class Table, class Reader, class Fields>
std::unique_ptr<Framework::TableModuleBase> makeModule() {
  auto& record = Table::Model::Desc::tyvoModule();
  Readers::describeModule<Table, Reader, Fields>(record);
  record.loaded();
  return std::make_unique<Framework::TableModule<Table, Reader>>();
}

#define HW_MODULE_MAKER(Class)                                                              \
  ModuleMaker{Class::Model::Desc::kModuleOrder,                                             \
              &makeModule<Class, HwTable##Class##Reader, detail::Class##Fields>},
constexpr std::array moduleMakers{HW_FOR_EACH_TABLE(HW_MODULE_MAKER)};
#undef HW_MODULE_MAKER

class LoadedModules {
 public:
  LoadedModules() {
    auto makers = moduleMakers;
    std::sort(makers.begin(), makers.end(), [](auto const& left, auto const& right) {
      return left.moduleOrder < right.moduleOrder;
    });
    for (auto const& maker : makers) modules_.push_back(maker.make());
  }

  // Unload: the last module initialised goes first.
  ~LoadedModules() {
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

LoadedModules const loaded;

}  // namespace

std::vector<std::string_view> loadedModules() {
  return loaded.names();
}

}  // namespace bcm88490_a0
