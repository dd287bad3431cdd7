// The register accessor: the table class every register derives from.
//
// RegisterTable<Model> is instantiated once per register from its generated model
// (Desc, EntryKey, Entry). It keeps one shadow per shadow key; a shadow keeps the
// register's entry as a record in the table manager's record store. Entry changes and
// command building are separate calls:
//
//   setEntry / deleteEntry     change the shadow only (a refused call still counts
//                              in the statistics: the count comes before the checks)
//   getEntry                   the stored entry, or the requested key with default data
//   schanCmds                  one write per member for one entry, gated by the
//                              shadow key's FAP mask; null when nothing applies
//   download / clearShadow     (table base) the whole register for a mask
//   addShadow                  creates the shadow, then initShadow runs the register's
//                              start-up contents (userInitHwTable, hand-written per
//                              register in tables/registers)
//
// Failures: an unknown shadow key or a shadow of another type is a graceful assertion
// (an exception in graceful mode, the end of the process in assert mode) and changes
// nothing. Traces go to the module's handle, named after the table ("<Table>").
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include <cstring>

#include "framework/ModuleTypes.h"
#include "framework/RegisterShadow.h"
#include "framework/TableDescriptor.h"
#include "framework/TableInfo.h"
#include "framework/ShadowLookup.h"
#include "platform/asic/Assert.h"
#include "platform/asic/LogEntry.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Trace.h"

namespace Framework {

template <class Model>
class RegisterTable : public Tessar::HwDirectTableBase {
 public:
  using Desc = typename Model::Desc;
  using EntryKey = typename Model::EntryKey;
  using Entry = typename Model::Entry;
  using TableDescriptor = TableDescriptorOf<Desc>;

  static_assert(Desc::info.isRegister(), "RegisterTable serves register tables");
  static_assert(Entry::entrySize() <= Tessar::RegisterShadowBrellEntry::kDataBytes,
                "a register entry must fit a shadow record");

  class Shadow : public RegisterShadowBase {
   public:
    Shadow(Vorl::String name, Tessar::HwShadowKey hwShadowKey,
           Hardware::Sand::FapRevision const& fapRevision,
           Vorl::Ptr<Tessar::BcmGroupAddrInfo const> bcmGroupAddrInfo,
           Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
           Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus,
           Vorl::Ptr<Tessar::RegShadowEntryStorage> entryStorage, Vorl::String hwTableName)
        : RegisterShadowBase(std::move(name), hwShadowKey, fapRevision, std::move(bcmGroupAddrInfo),
                             std::move(sandStatus), std::move(sandCmdletRequiredStatus),
                             std::move(entryStorage), std::move(hwTableName)) {
      if (DirectShadowBase::entrySize() != Entry::entrySize()) {
        throw Vorl::InvalidInitializeException(
            fmt::format("shadow {}: description entry size {} differs from the entry's {}",
                        this->name(), DirectShadowBase::entrySize(), Entry::entrySize()));
      }
    }

    U32 entrySize() const override { return Entry::entrySize(); }
    Vorl::TypeDescriptor typeData() const override {
      return {&Desc::tyvoModule(), ModuleTypes::shadow(true)};
    }

    // Stores the entry; only entry index 0 exists (the key's `null` names no register).
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

  // Builds the table and its description (handleInitialized).
  RegisterTable(Vorl::String name, Tessar::HwTableKey hwTableKey,
                Vorl::Ptr<Tessar::TableManager> hwTableManager)
      : HwDirectTableBase(std::move(name), std::move(hwTableKey), std::move(hwTableManager)) {
    handleInitialized();
  }

  ~RegisterTable() override {
    deleting_ = true;
    try {
      onDelete();
    } catch (...) {
      // A destructor never lets an exception out.
    }
  }

  static Vorl::String typeNameOf() { return Vorl::String(Desc::info.fullName); }
  Vorl::String typeName() const override { return typeNameOf(); }
  Vorl::TypeDescriptor typeData() const override {
    return {&Desc::tyvoModule(), ModuleTypes::table(true)};
  }
  U32 entryDataMaxSize() const override { return Entry::entrySize(); }
  U32 entryDataMaxSizeBits() const override { return Entry::entrySizeBits(); }
  Vorl::String chipName() const override { return "bcm88490_a0"; }
  bool isDeleting() const { return deleting_; }

  Vorl::Ptr<TableDescriptor const> const& tableDescriptor() const { return descriptor_; }

  void setEntry(Tessar::HwShadowKey hwShadowKey, Entry const& entry) {
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entry : {}",
               shadowName(hwShadowKey), hwShadowKey, entry);
    stats().entryAddCntInc(1);
    existingShadow(hwShadowKey)->setEntry(entry);
  }

  Entry getEntry(Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey) const {
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entryKey : {}",
               shadowName(hwShadowKey), hwShadowKey, entryKey);
    return existingShadowConst(hwShadowKey)->getEntry(entryKey);
  }

  void deleteEntry(Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey) {
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entryKey : {}",
               shadowName(hwShadowKey), hwShadowKey, entryKey);
    stats().entryDelCntInc(1);
    existingShadow(hwShadowKey)->deleteEntry(entryKey);
  }

  // The write for one entry with its stored (or default) data, to the FAPs of the
  // key's mask that the shadow serves; null when it serves none of them.
  Vorl::Ptr<Pelcar::SchanCmds> schanCmds(
      Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey,
      Vorl::Ptr<Asic::LogEntryWrapperBase> const& logEntry = nullptr) const {
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entryKey : {}",
               shadowName(hwShadowKey), hwShadowKey, entryKey);
    auto found = existingShadowConst(hwShadowKey);
    return found->schanCmds(getFapmask(hwShadowKey), fapRevision(), entryKey, false, logEntry);
  }

  // The shadow of that key, or null (none, or of another type).
  Vorl::Ptr<Shadow> shadow(Tessar::HwShadowKey hwShadowKey) {
    return Vorl::ptrCast<Shadow>(hwShadowColl(hwShadowKey));
  }
  Vorl::Ptr<Shadow const> shadowConst(Tessar::HwShadowKey hwShadowKey) const {
    return Vorl::Ptr<Shadow const>(dynamic_cast<Shadow const*>(hwShadowColl(hwShadowKey).get()));
  }

  // Creates the shadow of that key and fills it with the start-up contents; a key
  // that already has a shadow is left as it is. If the start-up contents fail, the
  // new shadow is removed again and the failure passed on.
  void addShadow(Tessar::HwShadowKey hwShadowKey) override {
    VORL_TRACE(moduleTrace(), 8, " fapId: {} fapRevision: {} tableName: {} shadowSize: {}",
               hwShadowKey, fapRevision(), Desc::info.className, descriptor_->minShadowSize());
    if (hwShadowCollHas(hwShadowKey)) return;
    auto const& manager = hwTableManager();
    auto newShadow = shadowFactory(descriptor_->firstMember()->name + fapRevision().revString(),
                                   hwShadowKey, fapRevision(), descriptor_, manager->sandStatus(),
                                   manager->sandCmdletRequiredStatus(),
                                   manager->regShadowEntryStorage(), typeNameOf());
    newShadow->servedFapmaskIs(manager->servedFapmask(hwShadowKey));
    hwShadowCollIs(hwShadowKey, newShadow);
    try {
      initShadow(hwShadowKey);
    } catch (...) {
      delShadow(hwShadowKey);
      throw;
    }
  }

  void initShadow(Tessar::HwShadowKey hwShadowKey) override {
    VORL_TRACE(moduleTrace(), 8, " hwShadowKey: {}", hwShadowKey);
    VORL_TRACE(moduleTrace(), 3, "Calling userInitHwTable");
    userInitHwTable(hwShadowKey);
  }

  // The register's start-up contents, stored with setEntry.
  virtual void userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) = 0;

  static Vorl::Ptr<Shadow> shadowFactory(
      Vorl::String name, Tessar::HwShadowKey hwShadowKey,
      Hardware::Sand::FapRevision const& fapRevision,
      Vorl::Ptr<Tessar::BcmGroupAddrInfo const> bcmGroupAddrInfo,
      Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
      Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus,
      Vorl::Ptr<Tessar::RegShadowEntryStorage> entryStorage, Vorl::String hwTableName) {
    return Vorl::makePtr<Shadow>(std::move(name), hwShadowKey, fapRevision,
                                 std::move(bcmGroupAddrInfo), std::move(sandStatus),
                                 std::move(sandCmdletRequiredStatus), std::move(entryStorage),
                                 std::move(hwTableName));
  }

  static Vorl::Ptr<TableDescriptor> tableDescriptorFactory() {
    return TableDescriptor::TableDescriptorIs();
  }

  void handleInitialized() {
    VORL_TRACE(moduleTrace(), 8, "{}", Desc::info.className);
    shadowAttributesIs(true, true);
    shadowTypeIs(Tessar::ShadowType::keyBased);
    overrideShadowAttributes();
    descriptor_ = tableDescriptorFactory();
    bcmGroupAddrInfoIs(descriptor_);
    initializedIs(true);
  }

  void onDelete() { VORL_TRACE(moduleTrace(), 8, " tableName: {}", Desc::info.className); }

  static Vorl::TraceHandle& moduleTrace() {
    static Vorl::TraceHandle& handle = Vorl::traceHandle(Desc::info.className);
    return handle;
  }

 private:
  Vorl::Ptr<Shadow> existingShadow(Tessar::HwShadowKey hwShadowKey) {
    return existingShadowOf<Shadow>(*this, hwShadowKey);
  }
  Vorl::Ptr<Shadow const> existingShadowConst(Tessar::HwShadowKey hwShadowKey) const {
    return existingShadowOf<Shadow const>(*this, hwShadowKey);
  }

  Vorl::Ptr<TableDescriptor const> descriptor_;
  bool deleting_ = false;
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
