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

// A module's table is registered first; then its record for the type runtime is
// described and marked loaded, before anything else of the module is set up. Null
// when the table is registered already.
template <class Table, class Reader, class Fields>
std::unique_ptr<Framework::TableModuleBase> makeModule() {
  if (!Framework::TableRegistry::singleton().registerTable(tableRecord<Table, Reader>())) {
    return nullptr;
  }
  auto& record = Table::Model::Desc::tyvoModule();
  Modules::describeModule<Table, Reader, Fields>(record);
  record.loaded();
  return std::make_unique<Framework::TableModule<Table, Reader>>();
}

template <class Table, class Reader, class Fields>
ModuleMaker moduleMakerOf() {
  return {Table::Model::Desc::kModuleOrder, &makeModule<Table, Reader, Fields>};
}

}  // namespace bcm88490_a0
