// The shadow store: Brell::ShadowStore<T, Slot> and Brell::KeyShadowStore<T>.
//
// A shadow's index of every key of a store, kept in the reader's process and fed one
// notification at a time (doSlot). It holds one shadow slot per slot index of the
// shared table (KeyShadowSlot: the key last seen there) and the local hash map over
// them (ShadowHashMap). Values are never copied: a lookup finds the slot index
// locally and reads the value from shared memory by index (BrellReader::getValue),
// checking that the slot still holds the key.
//
// doSlot(slot, sequence) re-reads the slot from shared memory, so late or repeated
// notifications are harmless; the order of its steps matters:
//   1. an index beyond the shadow slots grows them, but only as far as the shared
//      table reaches (an index it no longer has is skipped);
//   2. the key last seen in the slot is remembered;
//   3. the slot is read by index (damage reads as a free slot);
//   4. occupied: an old, different key leaves first (when the notification's sequence
//      is no longer held by the ring the step is refused, false, because the ring
//      lapped the shadow and the slot's history is unknown); then the new key is
//      indexed — found in another slot, it is relinked (the entry moved);
//   5. free: the old key leaves, and the shadow slots may shrink, but never below
//      the shared table's size while that is larger.
// Callbacks: keyChanged for a key added or changed, keyRemoved for a key gone.
//
// The store also maps the restart-identity file read-only (one page), so that a wipe
// by a new writer is visible without a system call.
//
// Thread-safety: the shadow's thread only. It never writes shared memory.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "platform/sharedmem/Checksum.h"
#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/PyrelFile.h"
#include "platform/vorl/Toggle.h"
#include "store/BrellReader.h"
#include "store/Notify.h"
#include "store/ShadowHashMap.h"
#include "store/VanquoReader.h"

namespace Brell {

template <StoreTraits T, class Slot>
class ShadowStore {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;
  using Reader = BrellReader<T>;
  using Ring = Vanquo::VanquoReader<Vanquo::BasicSlot>;

  ShadowStore(Reader& reader, Ring& ring, std::string rootPath, ShadowCounters& counters)
      : reader_(&reader),
        ring_(&ring),
        rootPath_(std::move(rootPath)),
        pyrelFile_(SharedMem::MappedFile::inDirectory(rootPath_, SharedMem::PyrelFile::kFileName)),
        counters_(&counters),
        map_(counters) {}

  // Where key changes are reported (may be null: nothing reported).
  void notifyIs(Mem::Notify<Key, Value> const* notify) { notify_ = notify; }
  // The reader values are read through (a reconnect brings a new one).
  void readerIs(Reader& reader) { reader_ = &reader; }
  // Maps the restart-identity file again (a new writer may have made a new one).
  bool remapPyrel() {
    pyrelFile_.unmap();
    pyrelFile_.close();
    try {
      if (!pyrelFile_.open(SharedMem::MappedFile::Access::readOnly)) return false;
      pyrelFile_.mapSize(SharedMem::PyrelFile::kSize);
    } catch (Vorl::MemoryResourceException const& error) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "failed to map pyrel: {}", error.what());
      pyrelFile_.close();
      return false;
    }
    return true;
  }

  bool initialize() {
    try {
      if (!pyrelFile_.open(SharedMem::MappedFile::Access::readOnly)) {
        VORL_TRACE(Debug::shadowStore(), kDebugLevel, "failed to map pyrel: {}", "no such file");
        return false;
      }
      pyrelFile_.coreDumpModeIs(Vorl::getToggleState("SharedMem.json", "CoreDumpSharedFiles")
                                    ? SharedMem::CoreDumpMode::include
                                    : SharedMem::CoreDumpMode::excludeShared);
      pyrelFile_.mapSize(SharedMem::PyrelFile::kSize);
    } catch (Vorl::MemoryResourceException const& error) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "failed to map pyrel: {}", error.what());
      pyrelFile_.close();
      return false;
    }
    try {
      map_.initialize(reader_->hashSeed());
    } catch (Vorl::MemoryResourceException const& error) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "bucketsMem_.attachAs() failed");
      pyrelFile_.unmap();
      pyrelFile_.close();
      return false;
    }
    slots_.clear();
    initialized_ = true;
    return true;
  }

  // Releases the local index and the shadow slots.
  void disable() {
    map_.release();
    std::vector<Slot>().swap(slots_);
    pyrelFile_.unmap();
    pyrelFile_.close();
    initialized_ = false;
  }

  bool initialized() const { return initialized_; }

  // The identity in the restart-identity file now (none while it is being rewritten
  // or when it is damaged).
  std::optional<SharedMem::PyrelId> mappedPyrel() const {
    auto const* base = static_cast<unsigned char const*>(pyrelFile_.base());
    if (base == nullptr) return std::nullopt;
    for (int attempt = 0; attempt < 4; ++attempt) {
      unsigned char copy[SharedMem::PyrelFile::kSize];
      copyFromShared(copy, base, sizeof copy);
      std::uint32_t identity, sum;
      std::memcpy(&identity, copy + 12, 4);
      std::memcpy(&sum, copy + 24, 4);
      if (SharedMem::checksum(copy, 24) == sum) return SharedMem::PyrelId(identity);
    }
    return std::nullopt;
  }

  // The store was formatted anew (new hash seed): re-chain the keys under it.
  void reseed(std::uint32_t seed) {
    if (seed != map_.seed()) map_.rehash(slots_.data(), numSlots(), seed);
  }

  // --- notifications ---------------------------------------------------------------
  bool doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool flag) {
    if (slotIndex >= numSlots()) {
      reader_->resize();
      std::uint32_t shared = reader_->capacity();
      if (slotIndex >= shared) {
        VORL_TRACE(Debug::shadowStore(), kDebugLevel,
                   "skip growing of shadow table to accomodate slotIndex:{} because shared "
                   "memory has shrunk to {} slots",
                   slotIndex, shared);
        return true;
      }
      if (!grow(slotIndex)) {
        VORL_TRACE(Debug::shadowStore(), kDebugLevel, "discarding notification for slotIndex:{}",
                   slotIndex);
        return true;
      }
    }
    bool wasEmpty = slots_[slotIndex].empty();
    Key oldKey = slots_[slotIndex].key;
    Value value{};
    bool present = false;
    try {
      std::uint32_t version = 0;
      present = reader_->getValue(slotIndex, value, version);
    } catch (Vorl::CorruptionDetectedException const& error) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "slotIndex:{} unreadable: {}", slotIndex,
                 error.what());
      present = false;
    }
    if (present) {
      Key key = T::key(value);
      int order = wasEmpty ? 0 : T::compare(oldKey, key);
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "updated: {} compare: {} slotIndex:{}{}",
                 !wasEmpty, order, slotIndex, " found");
      if (!wasEmpty && order != 0) {
        if (!stillHeld(slotIndex, sequence)) return false;
        leave(slotIndex, oldKey, true);  // may grow the slots: no references held
      }
      slots_[slotIndex].key = key;
      if (map_.write(slotIndex, slots_.data(), flag)) {
        if (notify_ && notify_->keyChanged) notify_->keyChanged(key);
      }
      return true;
    }
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "updated: {} compare: {} slotIndex:{}{}",
               !wasEmpty, 0, slotIndex, " not found");
    if (!wasEmpty) {
      if (!stillHeld(slotIndex, sequence)) return false;
      if (!leave(slotIndex, oldKey, false)) return true;  // moved: kept until relinked
    }
    tryShrink();
    return true;
  }

  // Flushes one shadow slot: its key leaves the index and is reported removed
  // (when `report`).
  void doFlushSlot(std::uint32_t slotIndex, bool report) {
    if (slotIndex >= numSlots() || slots_[slotIndex].empty()) return;
    Key key = slots_[slotIndex].key;
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "slotIndex {} key:{}", slotIndex,
               TraitsInfo<T>::keyText(key));
    map_.remove(slotIndex, slots_.data());
    if (report && notify_ && notify_->keyRemoved) notify_->keyRemoved(key, nullptr);
  }

  // --- growth and shrink -------------------------------------------------------------
  // Grows the shadow slots to the shared table's capacity so that `slotIndex` fits;
  // false when the shared table does not reach it either.
  bool grow(std::uint32_t slotIndex) {
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "for slotIndex:{}", slotIndex);
    reader_->resize();
    std::uint32_t newCount = reader_->capacity();
    if (slotIndex >= newCount) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel,
                 "complete. Never learned of slotIndex:{} so it is safe to ignore.", slotIndex);
      return false;
    }
    VORL_TRACE(Debug::shadowStore(), kDebugLevel,
               "resize shadow slots from {} to {} due to out of range slot {}", numSlots(),
               newCount, slotIndex);
    resizeSlots(newCount);
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "Passed resize {} and got {} back.", newCount,
               numSlots());
    ++counters_->growths;
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "complete.");
    return true;
  }

  void shrink(std::uint32_t newCount) {
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "resize shadow slots from {} to {}", numSlots(),
               newCount);
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "newNumSlots:{}", newCount);
    resizeSlots(newCount);
    ++counters_->shrinks;
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "complete.");
  }

  // --- lookups ---------------------------------------------------------------------
  enum class Lookup { found, notIndexed, stale };

  // The value of `key`, read from shared memory through its slot index. `stale`: the
  // index names a slot that no longer holds the key (freed or moved since the last
  // notification for it).
  Lookup lookup(Key const& key, Value& value) {
    std::uint32_t slotIndex = map_.find(slots_.data(), key);
    if (slotIndex == kNoShadowSlot) return Lookup::notIndexed;
    return readSlot(slotIndex, value) ? Lookup::found : Lookup::stale;
  }

  // The slot index the local index holds `key` at, or kNoShadowSlot.
  std::uint32_t indexOf(Key const& key) const { return map_.find(slots_.data(), key); }

  // The first entry in list order whose value can be read; `slotIndex` tells where.
  bool first(std::uint32_t startBucket, Value& value, std::uint32_t& slotIndex) {
    for (std::uint32_t at = map_.firstFrom(startBucket); at != kNoShadowSlot;
         at = map_.next(slots_.data(), slots_[at].key)) {
      if (readSlot(at, value)) {
        slotIndex = at;
        return true;
      }
    }
    return false;
  }

  // The first readable entry after `key` in list order.
  bool next(Key const& key, Value& value, std::uint32_t& slotIndex) {
    for (std::uint32_t at = map_.next(slots_.data(), key); at != kNoShadowSlot;
         at = map_.next(slots_.data(), slots_[at].key)) {
      if (readSlot(at, value)) {
        slotIndex = at;
        return true;
      }
    }
    return false;
  }

  // The version-anchor calls serve the value variant of shadow slots; the key
  // variant has no cached value to anchor.
  std::uint64_t getCacheVersionAnchor(Key const&) const {
    ASIC_GRACEFUL_ASSERT(false, "valueShadowSlot", "{}: called with unsupported slot variant",
                         "getCacheVersionAnchor");
    return 0;
  }
  bool validateVersionAnchor(Key const&, std::uint64_t) const {
    ASIC_GRACEFUL_ASSERT(false, "valueShadowSlot", "{}: called with unsupported slot variant",
                         "validateVersionAnchor");
    return false;
  }

  std::uint32_t numSlots() const { return static_cast<std::uint32_t>(slots_.size()); }
  std::uint32_t members() const { return map_.members(); }
  std::uint32_t buckets() const { return map_.numBuckets(); }
  std::size_t shadowMappedSize() const { return slots_.capacity() * sizeof(Slot); }
  std::size_t pyrelMappedSize() const { return pyrelFile_.mappedSize(); }
  Slot const& slot(std::uint32_t slotIndex) const { return slots_[slotIndex]; }
  ShadowHashMap<T, Slot> const& hashMap() const { return map_; }

 private:
  // The key last seen in `slotIndex` is no longer there. When the shared chains
  // still hold it in another slot, the writer's compaction moved it and the
  // notification for its new slot is still to come: the key is relinked to that slot
  // now when the shadow slot there is free, and otherwise stays where it is (lookups
  // of a stale slot fall back to the shared chains) unless `mustVacate` (the slot
  // holds another key now). A key gone from the store is removed and reported.
  // Returns whether the slot was vacated.
  bool leave(std::uint32_t slotIndex, Key const& key, bool mustVacate) {
    Value value{};
    std::uint32_t movedTo = kNoShadowSlot;
    bool stillShared = false;
    try {
      stillShared = reader_->lookupSlot(key, value, movedTo) && movedTo != slotIndex;
    } catch (Vorl::CorruptionDetectedException const&) {
      stillShared = false;
    }
    if (stillShared) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "key:{} moved from slotIndex:{} to {}",
                 TraitsInfo<T>::keyText(key), slotIndex, movedTo);
      bool fits = movedTo < numSlots() || grow(movedTo);
      if (fits && slots_[movedTo].empty()) {
        slots_[movedTo].key = key;
        map_.write(movedTo, slots_.data(), false);  // relinks: the key is unchanged
        return true;
      }
      if (!mustVacate) return false;
    }
    map_.remove(slotIndex, slots_.data());
    slots_[slotIndex].key = Key{};
    if (notify_ && notify_->keyRemoved) notify_->keyRemoved(key, nullptr);
    return true;
  }

  bool stillHeld(std::uint32_t slotIndex, std::uint64_t sequence) {
    if (sequence == 0 || ring_->held(slotIndex, sequence)) return true;
    VORL_TRACE(Debug::shadowStore(), kDebugLevel,
               "failed because sequence:{} may have been tombstoned", sequence);
    return false;
  }

  bool readSlot(std::uint32_t slotIndex, Value& value) {
    std::uint32_t capacity = reader_->capacity();
    if (slotIndex >= capacity) {
      reader_->resize();
      capacity = reader_->capacity();
    }
    if (slotIndex >= capacity) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel,
                 "slotIndex:{} shmemCapacity:{}, returning not found", slotIndex, capacity);
      return false;
    }
    bool present = false;
    try {
      present = slots_[slotIndex].value(*reader_, slotIndex, value, nullptr);
    } catch (Vorl::CorruptionDetectedException const&) {
      present = false;
    }
    if (!present) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel,
                 "unable to retrieve slotIndex:{}, returning not found", slotIndex);
    }
    return present;
  }

  // Shrinks the shadow slots when at most a quarter are occupied, to the smallest
  // count covering the highest occupied slot, unless the shared table is larger.
  void tryShrink() {
    std::uint32_t count = numSlots();
    if (count == 0 || std::uint64_t{map_.members()} * 4 > count) return;
    std::uint32_t target = map_.coveringSlotCount();
    if (target >= count) return;
    VORL_TRACE(Debug::shadowStore(), kDebugLevel,
               "shadow slot occupancy <= 25% and can shrink to {} slots.", target);
    reader_->resize();
    std::uint32_t shared = reader_->capacity();
    if (shared > target && target != 0) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel,
                 "skip shrinking of shadow table to {} slots because shared memory has grown to "
                 "{} slots",
                 target, shared);
      return;
    }
    shrink(target);
  }

  void resizeSlots(std::uint32_t count) {
    std::uint32_t old = numSlots();
    try {
      slots_.resize(count);
      if (count < old) slots_.shrink_to_fit();
    } catch (std::bad_alloc const& error) {
      throw Vorl::MemoryResourceException(fmt::format(
          "failed to resize {} from {} to {} slots - {}", "heap", old, count, error.what()));
    }
  }

  Reader* reader_;
  Ring* ring_;
  std::string rootPath_;
  SharedMem::MappedFile pyrelFile_;
  ShadowCounters* counters_;
  std::vector<Slot> slots_;
  ShadowHashMap<T, Slot> map_;
  Mem::Notify<Key, Value> const* notify_ = nullptr;
  bool initialized_ = false;
};

template <StoreTraits T>
using KeyShadowStore = ShadowStore<T, KeyShadowSlot<T>>;

}  // namespace Brell
