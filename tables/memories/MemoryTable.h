// The memory accessor: the table class every memory derives from.
//
// MemoryTable<Model> is instantiated once per memory from its generated model (Desc,
// EntryKey, Entry). It keeps one shadow per shadow key; a shadow keeps the memory's
// entries in a shared-memory store (MemoryEntryStorage), mounted below the store root
// at "<revision>/<table type>/<shadow key>", where readers in other processes find
// them. Entry changes and command building are separate calls:
//
//   setEntry / deleteEntry     change the shadow's store only (the statistics count
//                              before the checks, so a refused call still counts)
//   getEntry                   the stored entry, or the key with the default data
//   schanCmds                  one memory write of that row to the FAPs of the key's
//                              mask that the shadow serves; null when none
//   download / clearShadow     the whole memory, packed into DMA bulk writes when the
//                              table manager gives a pool (MemoryShadowBase)
//   addShadow                  creates the shadow (its store mounted and emptied),
//                              then initShadow writes the start-up rows
//
// A table tells its manager its shadow information when it is initialised and
// withdraws it when it is deleted (onDelete, also run by the destructor).
//
// A shadow's onDelete (run by its destructor, or called through the type runtime)
// empties its store, unmounts it and releases the default entry: the shadow is then
// deleted (DirectShadowBase::deleted): its entry operations are refused with a
// graceful assertion and its whole-memory writes are null, until handleInitialized
// mounts it again, empty.
//
// A new shadow starts empty whatever its store held before, so a restarted agent
// never serves rows of an earlier run, unless the agent asked for a warm start
// (Ordex::EntityManager::takeOverStores): then a valid store of this table whose
// writer is gone is taken over with its entries, which are the desired contents, and
// no start-up rows are written; any other store is emptied and gets the start-up
// rows, and the shadow's start() says why. Deleting a shadow empties its store and
// unmounts it; the files stay for the next writer. A shadow detached first
// (detachStore, an agent that stops) leaves its store's entries for a successor.
//
// Failures: an unknown shadow key is a graceful assertion (an exception in graceful
// mode, the end of the process in assert mode) and changes nothing; a key out of range
// is refused by EntryKey before anything is looked up.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include <algorithm>
#include <cstring>

#include "framework/ModuleTypes.h"
#include "framework/TableDescriptor.h"
#include "framework/TableInfo.h"
#include "framework/ShadowLookup.h"
#include "platform/asic/Assert.h"
#include "platform/asic/LogEntry.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/ShadowPath.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Trace.h"
#include "tables/memories/MemoryEntryStorage.h"
#include "tables/memories/MemoryShadowBase.h"

namespace Framework {

template <class Model>
class MemoryTable : public Tessar::HwDirectTableBase {
 public:
  using Desc = typename Model::Desc;
  using EntryKey = typename Model::EntryKey;
  using Entry = typename Model::Entry;
  using TableDescriptor = TableDescriptorOf<Desc>;

  static_assert(!Desc::info.isRegister(), "MemoryTable serves memory tables");

  class Shadow : public MemoryShadowBase {
   public:
    using EntryStorage = MemoryEntryStorage<Entry>;

    Shadow(Vorl::String name, Tessar::HwShadowKey hwShadowKey,
           Hardware::Sand::FapRevision const& fapRevision,
           Vorl::Ptr<Tessar::BcmGroupAddrInfo const> bcmGroupAddrInfo,
           Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
           Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus,
           Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager,
           Vorl::Ptr<Ordex::EntityManager> entityManager, Vorl::String tableTypeName)
        : MemoryShadowBase(std::move(name), hwShadowKey, fapRevision, std::move(bcmGroupAddrInfo),
                           std::move(sandStatus), std::move(sandCmdletRequiredStatus),
                           std::move(dmaMemPoolManager), std::move(entityManager),
                           std::move(tableTypeName)) {
      if (!this->bcmGroupAddrInfo() || DirectShadowBase::entrySize() != Entry::entrySize()) {
        throw Vorl::InvalidInitializeException(
            fmt::format("shadow {}: description entry size {} differs from the entry's {}",
                        this->name(), DirectShadowBase::entrySize(), Entry::entrySize()));
      }
      if (!this->entityManager()) {
        throw Vorl::InvalidInitializeException("shadow " + this->name() +
                                               " has no entity manager");
      }
      handleInitialized();
    }

    ~Shadow() override {
      try {
        onDelete();
      } catch (...) {
        // A destructor never lets an exception out; the files stay for the next writer.
      }
    }

    U32 entrySize() const override { return Entry::entrySize(); }
    Vorl::TypeDescriptor typeData() const override {
      return {&Desc::tyvoModule(), ModuleTypes::shadow(false)};
    }

    // "<revision>/<table type>/<shadow key>", below the store root.
    std::string shadowPath() const {
      return Tessar::Constants::shadowTblBrellPath(fapRevision().revString(), tableTypeName(),
                                                   hwShadowKey().toString());
    }
    Vorl::Ptr<EntryStorage> const& entryStorage() const { return entryStorage_; }

    void setEntry(Entry const& entry) {
      requireLive();
      entryStorage_->entryCollIs(entry);
    }

    Entry getEntry(EntryKey const& entryKey) const {
      requireLive();
      VORL_TRACE(constTrace(), 8, "key: {}", entryKey);
      if (auto stored = entryStorage_->entryCollFind(entryKey)) return *stored;
      Entry entry(entryKey);
      std::memcpy(entry.dataBytes(), defaultEntry(), Entry::entrySize());
      return entry;
    }

    // Returns the entry to default; an entry never stored is no error.
    void deleteEntry(EntryKey const& entryKey) {
      requireLive();
      VORL_TRACE(trace(), 8, " shadowKey: {} entryKey: {}", hwShadowKey(), entryKey);
      entryStorage_->entryCollDel(entryKey);
    }

    Vorl::Ptr<Pelcar::SchanCmds> schanCmds(Pelcar::Fapmask const& mask,
                                           Hardware::Sand::FapRevision const& fapRevision,
                                           EntryKey const& entryKey, bool useDefault,
                                           Vorl::Ptr<Asic::LogEntryWrapperBase> const&) const {
      requireLive();
      VORL_TRACE(constTrace(), 8, "key: {}", entryKey);
      return rowSchanCmds(mask, fapRevision, entryKey.arrayIndex(), entryKey.entryIndex(),
                          useDefault);
    }

    void collCleanup() override {
      requireLive();
      entryStorage_->entryCollDelAll();
    }

    // A deleted shadow writes nothing.
    Vorl::Ptr<Pelcar::SchanCmds> download(Vorl::String const& fapType,
                                          Hardware::Sand::FapRevision const& fapRevision,
                                          Pelcar::Fapmask const& downloadFapmask) const override {
      if (deleted()) return nullptr;
      return MemoryShadowBase::download(fapType, fapRevision, downloadFapmask);
    }
    Vorl::Ptr<Pelcar::SchanCmds> clearShadow(Hardware::Sand::FapRevision const& fapRevision,
                                             Pelcar::Fapmask const& mask) override {
      if (deleted()) return nullptr;
      return MemoryShadowBase::clearShadow(fapRevision, mask);
    }

    std::vector<EntryView> storedEntries() const override {
      std::vector<EntryView> views;
      for (auto const& entry : entryStorage_->entries()) {
        views.push_back(EntryView{entry.entryKey().arrayIndex(), entry.entryKey().entryIndex(),
                                  std::vector<U8>(entry.dataBytes(),
                                                  entry.dataBytes() + Entry::entrySize())});
      }
      std::sort(views.begin(), views.end(), [](EntryView const& left, EntryView const& right) {
        return std::pair(left.arrayIndex, left.entryIndex) <
               std::pair(right.arrayIndex, right.entryIndex);
      });
      return views;
    }

    Tessar::ShadowStart start() const override { return start_; }

    // Leaves the store and its entries for a successor; the shadow's deletion no
    // longer empties it.
    void detachStore() override {
      if (!entryStorage_ || !entryStorage_->mounted()) return;
      auto path = shadowPath();
      VORL_TRACE(trace(), 8, "detaching from {}", path);
      entryStorage_->unmount();
      entityManager()->unmount(path);
      detached_ = true;
    }

    std::vector<U8> expectedEntryData(U8 arrayIndex, U32 entryIndex) const override {
      std::vector<U8> data(Entry::entrySize());
      if (deleted()) return data;
      if (!storedRowData(arrayIndex, entryIndex, data.data())) {
        std::memcpy(data.data(), defaultEntry(), data.size());
      }
      return data;
    }

   protected:
    bool storedRowData(U8 arrayIndex, U32 row, U8* data) const override {
      return entryStorage_->entryCollData(MemoryTable::entryKeyOf(arrayIndex, row), data);
    }

    void placeStoredRows(RowPlacement const& placement) const override {
      entryStorage_->forEachEntry([&placement](Entry const& entry) {
        placement.place(entry.entryKey().arrayIndex(), entry.entryKey().entryIndex(),
                        entry.dataBytes());
      });
    }

   public:
    // Mounts the store and empties it: a new shadow starts empty, whatever the
    // shared memory held (in a warm start, unless the store can be taken over);
    // then the default entry is made. On a shadow that is not deleted it deletes it
    // first, so the shadow starts again, empty. The storage object stays the same
    // (its subscribers with it). When the mount fails the shadow stays deleted.
    void handleInitialized() {
      VORL_TRACE(trace(), 8, "tableName: {} ", tableTypeName());
      if (entryStorage_ && !deleted()) onDelete();
      auto path = shadowPath();
      VORL_TRACE(trace(), 8, "shadowPath: {}", path);
      if (!entryStorage_) {
        entryStorage_ = Vorl::makePtr<EntryStorage>(
            fmt::format("{}::Shadow::EntryStorage", std::string(tableTypeName())));
      }
      detached_ = false;
      start_ = Tessar::ShadowStart{};
      auto directory = entityManager()->mount(path);
      VORL_TRACE(trace(), 8, "shadowPath: {} entityName {} hwTableName {}", path,
                 entryStorage_->entityName(), tableTypeName());
      try {
        if (entityManager()->takeOverStores()) {
          auto const& member = *this->bcmGroupAddrInfo()->firstMember();
          start_ = entryStorage_->mountTakingOver(directory, [&member](EntryKey const& key) {
            U32 array = key.arrayIndex();
            U32 row = key.entryIndex();
            return array >= member.firstArrayIndex &&
                   array - member.firstArrayIndex < member.arrayCount &&
                   row >= member.firstEntryIndex &&
                   row - member.firstEntryIndex < member.entryCount;
          });
          VORL_TRACE(trace(), 3, "shadowPath: {} taken over: {} {}", path,
                     start_.kind == Tessar::ShadowStart::Kind::takenOver, start_.reason);
        } else {
          entryStorage_->mount(directory);
          entryStorage_->entryCollDelAll();
        }
      } catch (...) {
        entityManager()->unmount(path);
        throw;
      }
      initDefaultEntry();
    }

    // Empties the store, unmounts it and releases the default entry; the shadow is
    // deleted afterwards. A deleted shadow is left as it is.
    void onDelete() {
      VORL_TRACE(trace(), 8, " hwShadowKey: {} name: {}", hwShadowKey(), name());
      if (!bcmGroupAddrInfo() || !entryStorage_ || deleted()) return;
      cleanupDefaultEntry();
      if (detached_) return;
      entryStorage_->entryCollDelAll();
      auto path = shadowPath();
      VORL_TRACE(trace(), 8, "shadowPath: {}  ", path);
      entryStorage_->unmount();
      entityManager()->unmount(path);
    }

   private:
    Vorl::Ptr<EntryStorage> entryStorage_;
    Tessar::ShadowStart start_;
    bool detached_ = false;
  };

  MemoryTable(Vorl::String name, Tessar::HwTableKey hwTableKey,
              Vorl::Ptr<Tessar::TableManager> hwTableManager)
      : HwDirectTableBase(std::move(name), std::move(hwTableKey), std::move(hwTableManager)) {
    handleInitialized();
  }

  ~MemoryTable() override {
    try {
      onDelete();
    } catch (...) {
      // A destructor never lets an exception out.
    }
  }

  static Vorl::String typeNameOf() { return Vorl::String(Desc::info.fullName); }
  Vorl::String typeName() const override { return typeNameOf(); }
  Vorl::TypeDescriptor typeData() const override {
    return {&Desc::tyvoModule(), ModuleTypes::table(false)};
  }
  U32 entryDataMaxSize() const override { return Entry::entrySize(); }
  U32 entryDataMaxSizeBits() const override { return Entry::entrySizeBits(); }
  Vorl::String chipName() const override { return "bcm88490_a0"; }
  bool hasParitySupport() const override { return false; }

  Vorl::Ptr<TableDescriptor const> const& tableDescriptor() const { return descriptor_; }

  void setEntry(Tessar::HwShadowKey hwShadowKey, Entry const& entry) {
    stats().entryAddCntInc(1);
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entry : {}",
               shadowName(hwShadowKey), hwShadowKey, entry);
    existingShadow(hwShadowKey)->setEntry(entry);
  }

  Entry getEntry(Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey) const {
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entry : {}",
               shadowName(hwShadowKey), hwShadowKey, entryKey);
    return existingShadowConst(hwShadowKey)->getEntry(entryKey);
  }

  void deleteEntry(Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey) {
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entry : {}",
               shadowName(hwShadowKey), hwShadowKey, entryKey);
    stats().entryDelCntInc(1);
    existingShadow(hwShadowKey)->deleteEntry(entryKey);
  }

  // The write of that row with its stored (or default) data, to the FAPs of the
  // key's mask that the shadow serves; null when it serves none of them.
  Vorl::Ptr<Pelcar::SchanCmds> schanCmds(
      Tessar::HwShadowKey hwShadowKey, EntryKey const& entryKey,
      Vorl::Ptr<Asic::LogEntryWrapperBase> const& logEntry = nullptr) const {
    VORL_TRACE(moduleTrace(), 8, " shadowName : {} hwShadowKey {} entry : {}",
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

  // Creates the shadow of that key (its store mounted and emptied, or taken over in a
  // warm start) and writes the start-up rows unless it took entries over; a key that
  // already has a shadow is left as it is. If the start-up rows fail, the new shadow
  // is removed again and the failure passed on.
  void addShadow(Tessar::HwShadowKey hwShadowKey) override {
    VORL_TRACE(moduleTrace(), 8, " fapId: {} fapRevision: {} tableName: {}", hwShadowKey,
               fapRevision(), Desc::info.className);
    if (!hwShadowCollHas(hwShadowKey)) {
      auto const& manager = hwTableManager();
      auto newShadow = shadowFactory(
          descriptor_->firstMember()->name + fapRevision().revString(), hwShadowKey,
          fapRevision(), descriptor_, manager->sandStatus(), manager->sandCmdletRequiredStatus(),
          manager->dmaMemPoolManager(), manager->entityManager(), typeNameOf());
      newShadow->servedFapmaskIs(manager->servedFapmask(hwShadowKey));
      hwShadowCollIs(hwShadowKey, newShadow);
      try {
        // Entries taken over are the desired contents: no start-up rows over them.
        if (newShadow->start().kind != Tessar::ShadowStart::Kind::takenOver) {
          initShadow(hwShadowKey);
        }
      } catch (...) {
        delShadow(hwShadowKey);
        throw;
      }
    }
    VORL_TRACE(moduleTrace(), 3, " fapId: {} shadowSize {}", hwShadowKey,
               descriptor_->minShadowSize());
  }

  void initShadow(Tessar::HwShadowKey hwShadowKey) override {
    VORL_TRACE(moduleTrace(), 8, " hwShadowKey: {}", hwShadowKey);
    VORL_TRACE(moduleTrace(), 3, "Calling userInitHwTable");
    userInitHwTable(hwShadowKey);
  }

  // The memory's start-up rows, stored with setEntry: for every array in ascending
  // order, the rows its description lists (HW_STARTUP), or every row when it says so.
  virtual void userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) {
    static Vorl::TraceHandle& trace = Vorl::traceHandle(Desc::info.className);
    VORL_TRACE(trace, 2, "userInitHwTable hwShadowKey: {}", hwShadowKey.toString());
    auto const& member = Desc::info.members.front();
    for (U32 array = 0; array < member.arrayCount; ++array) {
      auto arrayIndex = static_cast<U8>(member.firstArrayIndex + array);
      for (U32 row = 0; row < member.entryCount; ++row) {
        Entry entry(entryKeyOf(arrayIndex, member.firstEntryIndex + row));
        bool listed = Model::Startup::applyTo(entry, member.firstEntryIndex + row);
        if (listed || Model::Startup::kEveryRow) setEntry(hwShadowKey, entry);
      }
    }
  }

  // The key of a row: `row` for a single-index memory, (arrayIndex, row) otherwise.
  static EntryKey entryKeyOf(U8 arrayIndex, U32 row) {
    if constexpr (Desc::info.key.form == KeyForm::singleIndex) {
      (void)arrayIndex;
      return EntryKey(row);
    } else {
      return EntryKey(arrayIndex, row);
    }
  }

  static Vorl::Ptr<Shadow> shadowFactory(
      Vorl::String name, Tessar::HwShadowKey hwShadowKey,
      Hardware::Sand::FapRevision const& fapRevision,
      Vorl::Ptr<Tessar::BcmGroupAddrInfo const> bcmGroupAddrInfo,
      Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
      Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus,
      Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager,
      Vorl::Ptr<Ordex::EntityManager> entityManager, Vorl::String tableTypeName) {
    return Vorl::makePtr<Shadow>(std::move(name), hwShadowKey, fapRevision,
                                 std::move(bcmGroupAddrInfo), std::move(sandStatus),
                                 std::move(sandCmdletRequiredStatus), std::move(dmaMemPoolManager),
                                 std::move(entityManager), std::move(tableTypeName));
  }

  static Vorl::Ptr<TableDescriptor> tableDescriptorFactory() {
    return TableDescriptor::TableDescriptorIs();
  }

  void handleInitialized() {
    VORL_TRACE(moduleTrace(), 8, "{}", Desc::info.className);
    shadowTypeIs(Tessar::ShadowType::keyBased);
    shadowAttributesIs(true, true);
    overrideShadowAttributes();
    descriptor_ = tableDescriptorFactory();
    bcmGroupAddrInfoIs(descriptor_);
    initializedIs(true);
    tableBlocksIs(Desc::info.tableBlock);
    addHwTableShadowInfo();
  }

  void onDelete() {
    VORL_TRACE(moduleTrace(), 8, " tableName: {}", Desc::info.className);
    delHwTableShadowInfo();
  }

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
};

}  // namespace Framework
