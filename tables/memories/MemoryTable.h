// The memory accessor: the table class every memory derives from.
//
// MemoryTable<Model> is the table template (framework/DirectTable.h) over
// MemoryShadows: one shadow per shadow key, each keeping the memory's entries in a
// shared-memory store (MemoryEntryStorage), mounted below the store root at
// "<revision>/<table type>/<shadow key>", where readers in other processes find them.
// The entry operations, their statistics and their failures are the template's; what
// a memory adds:
//
//   userInitHwTable            the start-up rows its description lists
//   download / clearShadow     the whole memory, packed into DMA bulk writes when the
//                              table manager gives a pool (MemoryShadowBase)
//   addShadow                  mounts the shadow's store (emptied, or taken over in a
//                              warm start, when no start-up rows are written)
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

#include <source_location>

#include "framework/DirectTable.h"
#include "platform/tessar/ShadowPath.h"
#include "platform/tessar/TableManager.h"
#include "tables/memories/MemoryEntryStorage.h"
#include "tables/memories/MemoryShadowBase.h"

namespace Framework {

template <class Model>
struct MemoryShadows {
  static constexpr bool kIsRegister = false;
  // The memory accessor's traces call the key of one entry "entry".
  static constexpr char kKeyTrace[] = " shadowName : {} hwShadowKey {} entry : {}";

  using EntryKey = typename Model::EntryKey;
  using Entry = typename Model::Entry;

  class Shadow : public MemoryShadowBase {
   public:
    using EntryStorage = MemoryEntryStorage<Entry>;

    // The arguments of Tessar::DirectKeyBasedShadowBase.
    template <class... Args>
    explicit Shadow(Args&&... args) : MemoryShadowBase(std::forward<Args>(args)...) {
      requireEntrySize(*this, Entry::entrySize());
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
      return {&Model::Desc::tyvoModule(), ModuleTypes::shadow(false)};
    }

    // The key of a row: `row` for a single-index memory, (arrayIndex, row) otherwise.
    static EntryKey entryKeyOf(U8 arrayIndex, U32 row) {
      if constexpr (Model::Desc::info.key.form == KeyForm::singleIndex) {
        (void)arrayIndex;
        return EntryKey(row);
      } else {
        return EntryKey(arrayIndex, row);
      }
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

    // A deleted shadow writes nothing (its download is refused by downloadInto).
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
      return entryStorage_->entryCollData(entryKeyOf(arrayIndex, row), data);
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


  static Vorl::Ptr<Shadow> makeShadow(Vorl::String name, Tessar::HwShadowKey hwShadowKey,
                                      Hardware::Sand::FapRevision const& fapRevision,
                                      Vorl::Ptr<Tessar::BcmGroupAddrInfo const> description,
                                      Tessar::TableManager const& manager,
                                      Vorl::String tableTypeName) {
    return Vorl::makePtr<Shadow>(
        std::move(name), hwShadowKey, fapRevision, std::move(description), manager.sandStatus(),
        manager.sandCmdletRequiredStatus(), manager.dmaMemPoolManager(), manager.entityManager(),
        std::move(tableTypeName));
  }

  static void traceAdding(Vorl::TraceHandle& trace, Tessar::HwShadowKey hwShadowKey,
                          Hardware::Sand::FapRevision const& fapRevision, U32) {
    VORL_TRACE(trace, 8, " fapId: {} fapRevision: {} tableName: {}", hwShadowKey, fapRevision,
               Model::Desc::info.className);
  }
  static void traceAdded(Vorl::TraceHandle& trace, Tessar::HwShadowKey hwShadowKey,
                         U32 shadowSize) {
    VORL_TRACE(trace, 3, " fapId: {} shadowSize {}", hwShadowKey, shadowSize);
  }

  // The table manager tracks where memories' shadows are kept, from the table's
  // start to its end.
  static void initialized(Tessar::HwDirectTableBase& table) {
    table.tableBlocksIs(Model::Desc::info.tableBlock);
    table.addHwTableShadowInfo();
  }
  static void deleting(Tessar::HwDirectTableBase& table) { table.delHwTableShadowInfo(); }

  static constexpr std::source_location lookupSite() { return std::source_location::current(); }
};

template <class Model>
class MemoryTable : public DirectTable<Model, MemoryShadows<Model>> {
 public:
  using Base = DirectTable<Model, MemoryShadows<Model>>;
  using typename Base::Entry;
  using typename Base::Shadow;
  using Base::Base;

  // The memory's start-up rows, stored with setEntry: for every array in ascending
  // order, the rows its description lists (HW_STARTUP), or every row when it says so.
  void userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) override {
    VORL_TRACE(Base::moduleTrace(), 2, "userInitHwTable hwShadowKey: {}", hwShadowKey.toString());
    auto const& member = Model::Desc::info.members.front();
    for (U32 array = 0; array < member.arrayCount; ++array) {
      auto arrayIndex = static_cast<U8>(member.firstArrayIndex + array);
      for (U32 row = 0; row < member.entryCount; ++row) {
        Entry entry(Shadow::entryKeyOf(arrayIndex, member.firstEntryIndex + row));
        bool listed = Model::Startup::applyTo(entry, member.firstEntryIndex + row);
        if (listed || Model::Startup::kEveryRow) this->setEntry(hwShadowKey, entry);
      }
    }
  }

  static typename Base::EntryKey entryKeyOf(U8 arrayIndex, U32 row) {
    return Shadow::entryKeyOf(arrayIndex, row);
  }
};

}  // namespace Framework
