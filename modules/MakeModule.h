// A table's module, made from its types: included by each table's generated module
// unit only (modules/generate/Module.cc.in).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "framework/TableModule.h"
#include "framework/TableRegistry.h"
#include "readers/TableAudit.h"
#include "modules/TypeDescriptions.h"
#include "store/ErasedStore.h"
#include "modules/ModuleMaker.h"

namespace bcm88490_a0 {

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

// A module's three registrations, held together: its table with the table registry,
// its record with the type runtime, and its table and reader plug-ins (the module
// proper). Each member withdraws its own when destroyed, so a refusal of a later one
// (a constructor that throws) withdraws the earlier ones, and the module's end
// withdraws all three, last made first.
template <class Table, class Reader, class Fields>
class RegisteredModule final : public Framework::TableModuleBase {
 public:
  // The table is registered already (makeModule); this takes its registration over.
  RegisteredModule() = default;

  std::string_view tableName() const override { return plugins_.tableName(); }
  Framework::TableInfo const& tableInfo() const override { return plugins_.tableInfo(); }
  bool hasTablePlugin() const override { return plugins_.hasTablePlugin(); }

 private:
  struct TableRegistration {
    TableRegistration() = default;
    TableRegistration(TableRegistration const&) = delete;
    TableRegistration& operator=(TableRegistration const&) = delete;
    ~TableRegistration() {
      Framework::TableRegistry::singleton().unregisterTable(Table::Model::Desc::info);
    }
  };
  struct TypeRecord {
    TypeRecord() {
      auto& record = Table::Model::Desc::tyvoModule();
      Modules::describeModule<Table, Reader, Fields>(record);
      record.loaded();
    }
    TypeRecord(TypeRecord const&) = delete;
    TypeRecord& operator=(TypeRecord const&) = delete;
    ~TypeRecord() { Table::Model::Desc::tyvoModule().unloaded(); }
  };

  TableRegistration table_;
  TypeRecord types_;
  Framework::TableModule<Table, Reader> plugins_;
};

// The table is registered first, so a second copy of the plug-in is refused before
// anything else of it is made. Null when refused; throws when a later registration is
// refused, having withdrawn the earlier ones.
template <class Table, class Reader, class Fields>
std::unique_ptr<Framework::TableModuleBase> makeModule() {
  if (!Framework::TableRegistry::singleton().registerTable(tableRecord<Table, Reader>())) {
    return nullptr;
  }
  try {
    return std::make_unique<RegisteredModule<Table, Reader, Fields>>();
  } catch (...) {
    // A module refused part-way withdrew the table already (withdrawing twice does
    // nothing); one never made at all (no memory) did not.
    Framework::TableRegistry::singleton().unregisterTable(Table::Model::Desc::info);
    throw;
  }
}

template <class Table, class Reader, class Fields>
ModuleMaker moduleMakerOf() {
  return {Table::Model::Desc::kModuleOrder, &makeModule<Table, Reader, Fields>};
}

}  // namespace bcm88490_a0
