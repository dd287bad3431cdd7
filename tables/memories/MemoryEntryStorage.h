// A memory shadow's entry storage: its entries in a shared-memory store.
//
// MemoryEntryStorage<Entry> is the entity "<table type>::Shadow::EntryStorage" with one
// collection, "entryColl", a store map of the table's entries keyed by EntryKey. Until
// mount() the entries live in a local temporary writer on the heap; mount() makes
// this process the single writer of the store in a directory, where readers in other
// processes find them; unmount() detaches and keeps the files for the next writer.
//
// mountTakingOver() is the warm start's mount: a valid store of this entry type that a
// writer now gone left behind is taken over with its entries; any other (missing,
// damaged, left mid-operation, of another type, holding keys the table does not
// have) is mounted and emptied, and the start says why.
//
// Every change publishes the changed key on attribute 258 to the storage's local
// subscribers and counts it ("entryCollIs", "entryCollDel", "entryCollNotify"). A
// removal of a key that is not stored changes nothing, its counter included. The
// collection's callbacks (makeNotify) lead to the same publishing: a storage mounted
// as a shadow reader reports there what it learns of the writer's changes.
//
// Store corruption: a lookup that meets damage hands the reason to the store's
// corruption handler and answers "not stored"; a write or removal that meets damage
// hands it on too and then stops the process ("in no man's land"): the writer's own
// files are broken, and only a restart (which wipes them) can go on.
//
// Thread-safety: none; the agent's owning thread uses it.
#pragma once

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/ModuleTypes.h"
#include "platform/asic/Assert.h"
#include "platform/tyvo/TypeRuntime.h"
#include "platform/tessar/HwShadowBase.h"
#include "platform/vorl/Counter.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/Trace.h"
#include "store/CorruptionHandler.h"
#include "store/StoreInspector.h"
#include "store/Traits.h"
#include "store/TyvoBrellMap.h"

namespace Framework {

template <class Entry>
class MemoryEntryStorage : public Vorl::Node {
 public:
  using EntryKey = typename Entry::EntryKey;
  using Value = TyvoBrell::ValWrap<Entry, EntryKey, &Entry::entryKey>;
  using Traits = TyvoBrell::ValWrapTraits<Value>;
  using Map = TyvoBrell::TyvoBrellMap<MemoryEntryStorage, Value, EntryKey, Traits>;
  using Subscriber = std::function<void(U32 attributeId, EntryKey const& key)>;

  static constexpr U32 kEntryCollAttributeId = 258;
  static constexpr char const* kCollectionName = "entryColl";
  // The size the shadow's collection is mounted with; the store grows past it.
  static constexpr U32 kCollectionSize = 512;

  explicit MemoryEntryStorage(std::string entityName)
      : map_(entityName, kCollectionName,
             TyvoBrell::makeNotify<EntryKey, Value>(
                 this, [](Value const& value) { return value.key(); },
                 &MemoryEntryStorage::entryCollNotify,
                 &MemoryEntryStorage::entryCollNotifyMountStatus,
                 &MemoryEntryStorage::entryCollNotifyQuiesced)),
        entityName_(std::move(entityName)) {
    VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "creating local BrellWriter {}",
               map_.name());
  }

  ~MemoryEntryStorage() override = default;

  // Its type in the table module's type-runtime record.
  virtual Vorl::TypeDescriptor typeData() const {
    return {&Entry::Description::tyvoModule(), ModuleTypes::entryStorage};
  }

  std::string const& entityName() const { return entityName_; }
  Map& map() { return map_; }
  std::string const& rootPath() const { return rootPath_; }
  bool mounted() const { return !rootPath_.empty(); }

  // Makes this process the writer of the store in `directory` (reusing valid files,
  // re-formatting damaged ones). Throws Vorl::InvalidInitializeException when another
  // writer owns the directory; the storage then stays as it was.
  void mount(std::string const& directory) {
    Mem::CollectionDescriptor descriptor;
    descriptor.mode = Mem::CollectionDescriptor::Mode::writer;
    descriptor.rootPath = directory;
    descriptor.size = kCollectionSize;
    descriptor.fixedSize = false;
    map_.init(descriptor);
    if (!map_.attach("mount")) {
      map_.createDefaultLocalWriter();
      throw Vorl::InvalidInitializeException("failed to mount " + directory);
    }
    rootPath_ = directory;
    map_.control().mountStatusIs(map_.mountStatus());
  }

  // Mounts the store in `directory` as mount() does; takes its entries over when it
  // is a valid store of this entry type whose writer is gone and whose every key
  // satisfies `keyInTable`, and empties it otherwise. Throws as mount() does.
  template <class KeyInTable>
  Tessar::ShadowStart mountTakingOver(std::string const& directory, KeyInTable&& keyInTable) {
    auto found = Brell::StoreInspector(directory).check();
    auto reason = takeOverRefusal(found);
    mount(directory);
    if (reason.empty() && map_.implementation().pyrelId() != found.pyrel->identity) {
      reason = "the store wiped it when attaching";
    }
    if (reason.empty()) {
      std::size_t entries = 0;
      bool outside = false;
      forEachEntry([&](Entry const& entry) {
        ++entries;
        outside = outside || !keyInTable(entry.entryKey());
      });
      if (map_.corruptionDetected()) {
        reason = "it is damaged: " + map_.corruptionReason();
      } else if (outside) {
        reason = "it holds keys the table does not have";
      } else {
        return {Tessar::ShadowStart::Kind::takenOver, {}, entries};
      }
    }
    entryCollDelAll();
    return {Tessar::ShadowStart::Kind::startupContents, reason, 0};
  }

  // Detaches from the store (its files stay) and goes on in a local temporary writer.
  void unmount() {
    if (!mounted()) return;
    map_.detach(false);
    map_.createDefaultLocalWriter();
    rootPath_.clear();
    map_.control().mountStatusIs(Brell::MountStatus::unmounted);
  }

  // The stored entry of `key`, or nothing.
  std::optional<Entry> entryCollFind(EntryKey const& key) {
    Value buffer;
    Value const* stored = safeLookup(key, buffer);
    if (stored == nullptr) return std::nullopt;
    return stored->entry;
  }

  // Copies the stored data bytes of `key` to `data`; false when not stored. No entry
  // copy.
  bool entryCollData(EntryKey const& key, U8* data) {
    Value buffer;
    Value const* stored = safeLookup(key, buffer);
    if (stored == nullptr) return false;
    std::memcpy(data, stored->entry.dataBytes(), Entry::entrySize());
    return true;
  }

  // The stored entry, or an all-zero entry of that key when absent.
  Entry entryColl(EntryKey const& key) { return entryCollFind(key).value_or(Entry(key)); }

  // Inserts or replaces the entry, then publishes its key.
  void entryCollIs(Entry const& entry) {
    entryCollIsCount_.inc();
    safeWrite(Value{entry});
    entryCollNotify(entry.entryKey());
  }

  // Removes the entry of `key` and returns it; an all-zero entry when it was absent
  // (nothing is counted or published then).
  Entry entryCollDel(EntryKey const& key) {
    Value removed{Entry(key)};
    if (safeRemove(key, &removed)) {
      entryCollDelCount_.inc();
      entryCollNotify(key);
    }
    return removed.entry;
  }

  void entryCollDelAll() {
    std::vector<EntryKey> keys;
    for (auto iterator = map_.iterator(); !iterator.done(); ++iterator) {
      keys.push_back(iterator->key());
    }
    for (auto const& key : keys) entryCollDel(key);
  }

  // Second half of a two-phase write begun with the map's directWrite.
  void entryCollCommit(Entry const* entry) {
    try {
      map_.directCommit();
    } catch (Vorl::CorruptionDetectedException const& error) {
      Brell::handleCorruption(rootPath_, error.what());
      ASIC_FATAL_ASSERT(false, "false", "in no man's land");
    }
    if (entry) entryCollNotify(entry->entryKey());
  }

  // Publishes a change of `key` on attribute 258 without writing.
  void entryCollNotify(EntryKey key) {
    for (auto const& subscriber : subscribers_) subscriber(kEntryCollAttributeId, key);
    entryCollNotifyCount_.inc();
  }
  void entryCollNotifyQuiesced(bool quiesced) { map_.control().quiescedIs(quiesced); }
  void entryCollNotifyMountStatus() { map_.control().mountStatusIs(map_.mountStatus()); }

  // Local observers of attribute 258 (the publisher's subscribers).
  void subscriberIs(Subscriber subscriber) { subscribers_.push_back(std::move(subscriber)); }

  // Calls `visit` with every stored entry, in no particular order. Damage met on the
  // way goes to the corruption handler and ends the walk (what was not reached reads
  // as absent).
  template <class Visitor>
  void forEachEntry(Visitor&& visit) {
    try {
      map_.visitValues([&visit](Value const& value) { visit(value.entry); });
    } catch (Vorl::CorruptionDetectedException const& error) {
      Brell::handleCorruption(rootPath_, error.what());
    }
  }

  // Every stored entry, in store order.
  std::vector<Entry> entries() {
    std::vector<Entry> entries;
    forEachEntry([&entries](Entry const& entry) { entries.push_back(entry); });
    return entries;
  }
  U32 members() const { return map_.members(); }

  Vorl::EventCounter const& entryCollIsCount() const { return entryCollIsCount_; }
  Vorl::EventCounter const& entryCollDelCount() const { return entryCollDelCount_; }
  Vorl::EventCounter const& entryCollNotifyCount() const { return entryCollNotifyCount_; }

 private:
  // Why the store a check found cannot be taken over; empty when it can.
  static std::string takeOverRefusal(Brell::InspectionReport const& found) {
    if (found.result == "missing") return "there was no store";
    if (found.result == "inaccessible") return "the store cannot be read: " + found.reason;
    if (found.writerAlive) return "another writer holds the store";
    if (found.result == "invalid" && found.slotHeader && found.slotHeader->criticalSection()) {
      return "it was left mid-operation; the store wipes it";
    }
    if (!found.valid()) return fmt::format("it is invalid ({}); the store wipes it", found.reason);
    if (found.slotHeader->typeName != Traits::typeName() ||
        found.slotHeader->valueSize != sizeof(Value)) {
      return fmt::format("it holds {}-byte values of {}, not this table's entries",
                         found.slotHeader->valueSize, found.slotHeader->typeName);
    }
    return {};
  }

  // The stored value of `key` (in place, or copied to `buffer`), or null; damage goes
  // to the corruption handler and reads as "not stored".
  Value const* safeLookup(EntryKey const& key, Value& buffer) {
    bool found = false;
    try {
      Value const* stored = map_.lookup(key, found, &buffer);
      return found ? stored : nullptr;
    } catch (Vorl::CorruptionDetectedException const& error) {
      Brell::handleCorruption(rootPath_, error.what());
      return nullptr;
    }
  }

  void safeWrite(Value const& value) {
    try {
      map_.write(value, true);
    } catch (Vorl::CorruptionDetectedException const& error) {
      Brell::handleCorruption(rootPath_, error.what());
      ASIC_FATAL_ASSERT(false, "false", "in no man's land");
    }
  }

  bool safeRemove(EntryKey const& key, Value* removed) {
    try {
      return map_.remove(key, removed);
    } catch (Vorl::CorruptionDetectedException const& error) {
      Brell::handleCorruption(rootPath_, error.what());
      ASIC_FATAL_ASSERT(false, "false", "in no man's land");
    }
    return false;
  }

  Map map_;
  std::string entityName_;
  std::string rootPath_;
  std::vector<Subscriber> subscribers_;
  Vorl::EventCounter entryCollIsCount_{"entryCollIs"};
  Vorl::EventCounter entryCollDelCount_{"entryCollDel"};
  Vorl::EventCounter entryCollNotifyCount_{"entryCollNotify"};
};

}  // namespace Framework
