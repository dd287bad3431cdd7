// The plug-in's one static initialiser: it sets up the thirteen table modules, each
// with its table and reader plug-ins, in their fixed module order (each table's
// moduleOrder), so that the first module is the one that reads the assertion mode,
// whatever order the linker gives the files.
//
// Each module first registers its table with the table registry; a table already
// registered (a second copy of this plug-in) is refused there, and its module is
// not set up at all, so nothing of it is registered twice.
#include "tables/Modules.h"

#include <algorithm>
#include <array>
#include <memory>

#include "framework/TableModule.h"
#include "framework/TableRegistry.h"
#include "platform/plugin/PluginDirectory.h"
#include "readers/AllReaders.h"
#include "readers/TableAudit.h"
#include "readers/TypeDescriptions.h"
#include "store/ErasedStore.h"
#include "tables/AllTableFields.h"
#include "tables/AllTables.h"

namespace bcm88490_a0 {
namespace {

struct ModuleMaker {
  std::uint32_t moduleOrder;
  std::unique_ptr<Framework::TableModuleBase> (*make)();
};

// What the agent and the tool know of the table without its types.
template <class Table, class Reader>
Framework::TableRecord tableRecord() {
  Framework::TableRecord record;
  record.info = &Table::Model::Desc::info;
  record.audit = &Readers::auditTable<Table, Reader>;
  if constexpr (!Table::Model::Desc::info.isRegister()) {
    using Storage = typename Table::Shadow::EntryStorage;
    using Traits = typename Storage::Traits;
    using Value = typename Storage::Value;
    using EntryKey = typename Table::EntryKey;
    using Entry = typename Table::Entry;
    record.store.openReader = [](std::string const& name, std::string const& directory) {
      return Brell::makeErasedReader<Traits>(name, directory);
    };
    record.store.openShadow = [](std::string const& name, std::string const& directory,
                                 Brell::ErasedNotify notify) {
      return Brell::makeErasedShadow<Traits>(name, directory, std::move(notify));
    };
    record.store.key = [](Brell::Bytes const& bytes) -> std::optional<Framework::StoredKey> {
      EntryKey key{};
      if (!Brell::objectFrom(bytes, key)) return std::nullopt;
      return Framework::StoredKey{fmt::format("{}", key), key.arrayIndex(), key.entryIndex()};
    };
    record.store.entryData = [](Brell::Bytes const& bytes) -> std::vector<U8> {
      Value value{};
      if (!Brell::objectFrom(bytes, value)) return {};
      return {value.entry.dataBytes(), value.entry.dataBytes() + Entry::entrySize()};
    };
  }
  return record;
}

// A module's table is registered first; then its record for the type runtime is
// described and marked loaded, before anything else of the module is set up. Null
// when the table is registered already.
template <class Table, class Reader, class Fields>
std::unique_ptr<Framework::TableModuleBase> makeModule() {
  if (!Framework::TableRegistry::singleton().registerTable(tableRecord<Table, Reader>())) {
    return nullptr;
  }
  auto& record = Table::Model::Desc::tyvoModule();
  Readers::describeModule<Table, Reader, Fields>(record);
  record.loaded();
  return std::make_unique<Framework::TableModule<Table, Reader>>();
}

#define HW_MODULE_MAKER(Class)                  \
  ModuleMaker{Class::Model::Desc::kModuleOrder, \
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
