// The register accessor: the table class every register derives from.
//
// RegisterTable<Model> is the table template (framework/DirectTable.h) over
// RegisterShadows: one shadow per shadow key, each keeping the register's entry as a
// record in the table manager's record store, in the agent's memory. The entry
// operations, their statistics and their failures are the template's; what a register
// adds:
//
//   userInitHwTable            the register's start-up contents, hand-written per
//                              register in tables/registers
//   download / clearShadow     (table base) the whole register for a mask
//
// A refused shadow lookup is reported as made here (RegisterTable.h), where the
// register's entry operations are declared.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include <cstring>
#include <source_location>

#include "framework/DirectTable.h"
#include "framework/RegisterShadow.h"
#include "platform/asic/Assert.h"
#include "platform/tessar/TableManager.h"

namespace Framework {

template <class Model>
struct RegisterShadows {
  using EntryKey = typename Model::EntryKey;
  using Entry = typename Model::Entry;

  static constexpr bool kIsRegister = true;
  static constexpr char kKeyTrace[] = " shadowName : {} hwShadowKey {} entryKey : {}";

  static_assert(Entry::entrySize() <= Tessar::RegisterShadowBrellEntry::kDataBytes,
                "a register entry must fit a shadow record");

  // The typed entry operations over the register shadow's records; only entry index
  // 0 exists (the key's `null` names no register).
  class Shadow : public RegisterShadowBase {
   public:
    // The arguments of Tessar::RegisterKeyBasedShadowBase.
    template <class... Args>
    explicit Shadow(Args&&... args) : RegisterShadowBase(std::forward<Args>(args)...) {
      requireEntrySize(*this, Entry::entrySize());
    }

    U32 entrySize() const override { return Entry::entrySize(); }
    Vorl::TypeDescriptor typeData() const override {
      return {&Model::Desc::tyvoModule(), ModuleTypes::shadow(true)};
    }

    void setEntry(Entry const& entry) {
      requireLive();
      ASIC_GRACEFUL_ASSERT(entry.entryKey().entryIndex() < entry.entryKey().null,
                           "entry.entryKey().entryIndex() < entry.entryKey().null()",
                           "EntryKey out of bounds: {}", entry.entryKey());
      recordIs(entry.entryKey().entryIndex(), entry.dataBytes(), Entry::entrySize());
    }

    Entry getEntry(EntryKey const& entryKey) const {
      requireLive();
      if (auto const* stored = record(recordKey(0, entryKey.entryIndex()))) {
        Entry entry{EntryKey(stored->key.entryIndex)};
        std::memcpy(entry.dataBytes(), stored->data, Entry::entrySize());
        return entry;
      }
      Entry entry(entryKey);
      std::memcpy(entry.dataBytes(), defaultEntry(), Entry::entrySize());
      return entry;
    }

    // Returns the entry to default; a missing record is no error.
    void deleteEntry(EntryKey const& entryKey) {
      requireLive();
      auto key = recordKey(0, entryKey.entryIndex());
      VORL_TRACE(trace(), 8, " shadowKey: {} entryKey: {}", hwShadowKey(), entryKey);
      recordDel(key);
    }

    Vorl::Ptr<Pelcar::SchanCmds> schanCmds(Pelcar::Fapmask const& mask,
                                           Hardware::Sand::FapRevision const& fapRevision,
                                           EntryKey const& entryKey, bool isDelete,
                                           Vorl::Ptr<Asic::LogEntryWrapperBase> const&) const {
      requireLive();
      return entrySchanCmds(mask, fapRevision, recordKey(0, entryKey.entryIndex()), isDelete);
    }
  };

  static Vorl::Ptr<Shadow> makeShadow(Vorl::String name, Tessar::HwShadowKey hwShadowKey,
                                      Hardware::Sand::FapRevision const& fapRevision,
                                      Vorl::Ptr<Tessar::BcmGroupAddrInfo const> description,
                                      Tessar::TableManager const& manager,
                                      Vorl::String tableTypeName) {
    return Vorl::makePtr<Shadow>(std::move(name), hwShadowKey, fapRevision, std::move(description),
                                 manager.sandStatus(), manager.sandCmdletRequiredStatus(),
                                 manager.regShadowEntryStorage(), std::move(tableTypeName));
  }

  static void traceAdding(Vorl::TraceHandle& trace, Tessar::HwShadowKey hwShadowKey,
                          Hardware::Sand::FapRevision const& fapRevision, U32 shadowSize) {
    VORL_TRACE(trace, 8, " fapId: {} fapRevision: {} tableName: {} shadowSize: {}", hwShadowKey,
               fapRevision, Model::Desc::info.className, shadowSize);
  }
  static void traceAdded(Vorl::TraceHandle&, Tessar::HwShadowKey, U32) {}

  // A register's records live in the agent's memory: the table manager tracks nothing.
  static void initialized(Tessar::HwDirectTableBase&) {}
  static void deleting(Tessar::HwDirectTableBase&) {}

  static constexpr std::source_location lookupSite() { return std::source_location::current(); }
};

template <class Model>
class RegisterTable : public DirectTable<Model, RegisterShadows<Model>> {
 public:
  using DirectTable<Model, RegisterShadows<Model>>::DirectTable;
};

// The registered factory's work: the table the manager already holds for
// {tableName(), revision}, or a new one (which the factory does not insert).
template <class Table>
Vorl::Ptr<Tessar::HwCommonTableBase> heldOrNewTable(
    Hardware::Sand::FapRevision const& fapRevision,
    Vorl::Ptr<Tessar::TableManager> const& hwTableManager) {
  if (!hwTableManager) {
    throw Vorl::InvalidInitializeException(Table::tableName() + " factory needs a table manager");
  }
  Tessar::HwTableKey key{Table::tableName(), fapRevision};
  if (auto held = hwTableManager->tableColl(key)) return held;
  return Vorl::makePtr<Table>(Table::tableName(), key, hwTableManager);
}

}  // namespace Framework
