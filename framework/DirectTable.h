// The table template both table accessors are made from: the table-level entry
// operations of a direct table (a register or a memory), over a shadow kind.
//
// DirectTable<Model, Kind> is instantiated once per table from its generated model
// (Desc, EntryKey, Entry) and the kind of shadow that keeps the table's entries:
// RegisterShadows (records in the agent's memory, framework/RegisterTable.h) or
// MemoryShadows (a shared-memory store, tables/memories/MemoryTable.h). Everything a
// caller does with a table goes through here the same way for both kinds:
//
//   setEntry / deleteEntry     change the shadow only (the statistics count before
//                              the checks, so a refused call still counts)
//   getEntry                   the stored entry, or the key with the default data
//   schanCmds                  one write of that entry to the FAPs of the key's mask
//                              that the shadow serves; null when none
//   addShadow / initShadow     creates the shadow, then runs the table's start-up
//                              contents (userInitHwTable) unless the shadow took a
//                              predecessor's entries over
//
// A Kind supplies what differs between the two kinds, and nothing else:
//
//   Shadow                     the shadow class (setEntry, getEntry, deleteEntry,
//                              schanCmds on one entry)
//   kIsRegister                which of the module's type descriptions the table is
//   kKeyTrace                  the table-level trace of an operation on one key
//   makeShadow(...)            a new shadow from the table manager's storage
//   traceAdding / traceAdded   the traces around addShadow
//   initialized / deleting     what the kind tells the table manager at the table's
//                              start and end
//   lookupSite()               where a refused shadow lookup is reported: the kind's
//                              accessor, which is where a reader of the assertion looks
//
// Failures: an unknown shadow key or a shadow of another type is a graceful
// assertion (an exception in graceful mode, the end of the process in assert mode)
// and changes nothing. Traces go to the module's handle, named after the table.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "framework/ModuleTypes.h"
#include "framework/ShadowLookup.h"
#include "framework/TableDescriptor.h"
#include "framework/TableInfo.h"
#include "platform/asic/LogEntry.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Trace.h"

namespace Framework {

// Refuses a shadow whose description does not match its entry type: a wrong model
// would otherwise read and write past the entry.
inline void requireEntrySize(Tessar::DirectShadowBase const& shadow, U32 entrySize) {
  if (!shadow.bcmGroupAddrInfo() || shadow.DirectShadowBase::entrySize() != entrySize) {
    throw Vorl::InvalidInitializeException(fmt::format(
        "shadow {}: description entry size {} differs from the entry's {}", shadow.name(),
        shadow.bcmGroupAddrInfo() ? shadow.DirectShadowBase::entrySize() : 0, entrySize));
  }
}

template <class Model, class Kind>
class DirectTable : public Tessar::HwDirectTableBase {
 public:
  using Desc = typename Model::Desc;
  using EntryKey = typename Model::EntryKey;
  using Entry = typename Model::Entry;
  using TableDescriptor = TableDescriptorOf<Desc>;
  using Shadow = typename Kind::Shadow;

  static_assert(Desc::info.isRegister() == Kind::kIsRegister,
                "a table's shadow kind matches the table's kind");

  // Builds the table and its description (handleInitialized).
  DirectTable(Vorl::String name, Tessar::HwTableKey hwTableKey,
              Vorl::Ptr<Tessar::TableManager> hwTableManager)
      : HwDirectTableBase(std::move(name), std::move(hwTableKey), std::move(hwTableManager)) {
    handleInitialized();
  }

  ~DirectTable() override {
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
    return {&Desc::tyvoModule(), ModuleTypes::table(Kind::kIsRegister)};
  }
  U32 entryDataMaxSize() const override { return Entry::entrySize(); }
  U32 entryDataMaxSizeBits() const override { return Entry::entrySizeBits(); }
  Vorl::String chipName() const override { return Vorl::String(Desc::info.chipName()); }
  // True once the table's destruction has begun.
  bool isDeleting() const { return deleting_; }

  Vorl::Ptr<TableDescriptor const> const& tableDescriptor() const { return descriptor_; }

  void setEntry(Tessar::HwShadowKey hwShadowKey, Entry const& entry) {
    stats().entryAddCntInc(1);
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entry : {}",
               shadowName(hwShadowKey), hwShadowKey, entry);
    existingShadow(hwShadowKey)->setEntry(entry);
  }

  Entry getEntry(Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey) const {
    VORL_TRACE(moduleTrace(), 8, Kind::kKeyTrace, shadowName(hwShadowKey), hwShadowKey, entryKey);
    return existingShadowConst(hwShadowKey)->getEntry(entryKey);
  }

  void deleteEntry(Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey) {
    VORL_TRACE(moduleTrace(), 8, Kind::kKeyTrace, shadowName(hwShadowKey), hwShadowKey, entryKey);
    stats().entryDelCntInc(1);
    existingShadow(hwShadowKey)->deleteEntry(entryKey);
  }

  // The write of that entry with its stored (or default) data, to the FAPs of the
  // key's mask that the shadow serves; null when it serves none of them.
  Vorl::Ptr<Pelcar::SchanCmds> schanCmds(
      Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey,
      Vorl::Ptr<Asic::LogEntryWrapperBase> const& logEntry = nullptr) const {
    VORL_TRACE(moduleTrace(), 8, Kind::kKeyTrace, shadowName(hwShadowKey), hwShadowKey, entryKey);
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

  // Creates the shadow of that key and fills it with the start-up contents, unless
  // it took a predecessor's entries over (they are the desired contents); a key that
  // already has a shadow is left as it is. If the start-up contents fail, the new
  // shadow is removed again and the failure passed on.
  void addShadow(Tessar::HwShadowKey hwShadowKey) override {
    Kind::traceAdding(moduleTrace(), hwShadowKey, fapRevision(), descriptor_->minShadowSize());
    if (!hwShadowCollHas(hwShadowKey)) {
      auto const& manager = hwTableManager();
      auto newShadow =
          Kind::makeShadow(descriptor_->firstMember()->name + fapRevision().revString(),
                           hwShadowKey, fapRevision(), descriptor_, *manager, typeNameOf());
      newShadow->servedFapmaskIs(manager->servedFapmask(hwShadowKey));
      hwShadowCollIs(hwShadowKey, newShadow);
      try {
        if (newShadow->start().kind != Tessar::ShadowStart::Kind::takenOver) {
          initShadow(hwShadowKey);
        }
      } catch (...) {
        delShadow(hwShadowKey);
        throw;
      }
    }
    Kind::traceAdded(moduleTrace(), hwShadowKey, descriptor_->minShadowSize());
  }

  void initShadow(Tessar::HwShadowKey hwShadowKey) override {
    VORL_TRACE(moduleTrace(), 8, " hwShadowKey: {}", hwShadowKey);
    VORL_TRACE(moduleTrace(), 3, "Calling userInitHwTable");
    userInitHwTable(hwShadowKey);
  }

  // The table's start-up contents, stored with setEntry.
  virtual void userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) = 0;

  // A shadow of this table's kind, made with the kind's constructor arguments.
  template <class... Args>
  static Vorl::Ptr<Shadow> shadowFactory(Args&&... args) {
    return Vorl::makePtr<Shadow>(std::forward<Args>(args)...);
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
    Kind::initialized(*this);
  }

  void onDelete() {
    VORL_TRACE(moduleTrace(), 8, " tableName: {}", Desc::info.className);
    Kind::deleting(*this);
  }

  static Vorl::TraceHandle& moduleTrace() {
    static Vorl::TraceHandle& handle = Vorl::traceHandle(Desc::info.className);
    return handle;
  }

 private:
  Vorl::Ptr<Shadow> existingShadow(Tessar::HwShadowKey hwShadowKey) {
    return existingShadowOf<Shadow>(*this, hwShadowKey, Kind::lookupSite());
  }
  Vorl::Ptr<Shadow const> existingShadowConst(Tessar::HwShadowKey hwShadowKey) const {
    return existingShadowOf<Shadow const>(*this, hwShadowKey, Kind::lookupSite());
  }

  Vorl::Ptr<TableDescriptor const> descriptor_;
  bool deleting_ = false;
};

}  // namespace Framework
