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
//   2. the slot is read by index (damage reads as a free slot);
//   3. a key the shadow slot held that the shared slot no longer holds leaves it
//      (when the notification's sequence is no longer held by the ring the step is
//      refused, false, because the ring lapped the shadow and the slot's history is
//      unknown); the key found is indexed here, relinked when the index had it in
//      another slot (the entry moved);
//   4. a key that left is looked up in the shared chains at once: still there, it
//      lives in another slot, which is reconciled the same way (and may in turn
//      displace its key); gone, it is reported removed;
//   5. the shadow slots may shrink, but never below the shared table's size while
//      that is larger.
// So after every doSlot the index holds no key in a slot that does not hold it, and
// once the writer's last change has been handled (or a synchronisation pass has run
// over every slot since) the index, members() and the keys reported hold exactly the
// store's keys. Callbacks: keyChanged for a key added, changed or relinked,
// keyRemoved for a key gone; they run once the index is whole again.
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
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "store/BrellReader.h"
#include "store/Notify.h"
#include "store/PyrelMapping.h"
#include "store/ShadowHashMap.h"
#include "store/ShadowSlotFinder.h"
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
        pyrel_(rootPath_),
        counters_(&counters),
        map_(counters) {}

  // Where key changes are reported (may be null: nothing reported).
  void notifyIs(Mem::Notify<Key, Value> const* notify) { notify_ = notify; }
  // The reader values are read through (a reconnect brings a new one).
  void readerIs(Reader& reader) { reader_ = &reader; }
  // Maps the restart-identity file again (a new writer may have made a new one).
  bool remapPyrel() { return pyrel_.map(); }

  bool initialize() {
    if (!pyrel_.map()) return false;
    try {
      map_.initialize(reader_->hashSeed());
      finder_.clear();
    } catch (Vorl::MemoryResourceException const& error) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "bucketsMem_.attachAs() failed");
      pyrel_.unmap();
      return false;
    }
    slots_.clear();
    initialized_ = true;
    return true;
  }

  // Releases the local index and the shadow slots.
  void disable() {
    map_.release();
    finder_.clear();
    std::vector<Slot>().swap(slots_);
    pyrel_.unmap();
    initialized_ = false;
  }

  bool initialized() const { return initialized_; }

  // The identity in the restart-identity file now (none while it is being rewritten
  // or when it is damaged).
  std::optional<SharedMem::PyrelId> mappedPyrel() const { return pyrel_.identity(); }

  // The store was formatted anew (new hash seed): re-chain the keys under it.
  void reseed(std::uint32_t seed) {
    if (seed != map_.seed()) map_.rehash(slots_.data(), numSlots(), seed);
  }

  // --- notifications ---------------------------------------------------------------
  // Handles one notification (or one slot of a synchronisation pass, sequence 0):
  // afterwards shadow slot `slotIndex` holds what the shared slot holds, and every key
  // that had to leave it is either indexed where it lives now or reported removed.
  // False when the notification's sequence is no longer held by the ring (the caller
  // resynchronises).
  bool doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool flag) {
    if (!fits(slotIndex)) return true;
    if (!reconcile(slotIndex, sequence, flag)) return false;
    settleDisplaced();
    tryShrink();
    deliverReports();
    return true;
  }

  // Whether the shadow asked for a synchronisation pass since the last call: a chain
  // of keys displaced by a busy writer grew beyond its budget (see settleDisplaced).
  bool takeResyncRequest() { return std::exchange(resyncWanted_, false); }

  // Flushes one shadow slot: its key leaves the index and is reported removed
  // (when `report`).
  void doFlushSlot(std::uint32_t slotIndex, bool report) {
    if (slotIndex >= numSlots() || slots_[slotIndex].empty()) return;
    Key key = slots_[slotIndex].key;
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "slotIndex {} key:{}", slotIndex,
               TraitsInfo<T>::keyText(key));
    map_.remove(slotIndex, slots_.data());
    finder_.erase(key);
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
  // The value of `key`, read from shared memory through the slot index the finder
  // holds for it. The common case is one probe of the finder and one seqlock read of
  // the shared slot, taken when the slot is occupied by the key itself: a key is in
  // at most one occupied slot, so that copy is the key's value when it was read.
  // The finder's "no slot" is above any slot count, so the one comparison with the
  // reader's quick slots also sends a key the finder does not hold, a store not
  // attached (no quick slots) and a slot that may change its life to lookupSlowly.
  // There, and when the slot no longer holds the key (freed, or moved by compaction
  // before its notification arrived), the shared chains, which still lead to a moved
  // entry, answer.
  [[gnu::always_inline]] bool lookup(Key const& key, Value& value) {
    static_assert(ShadowSlotFinder<T>::kNone == kNoShadowSlot);
    std::uint32_t slotIndex = finder_.find(key);
    if (slotIndex < reader_->quickSlots() && reader_->readStableValue(slotIndex, key, value))
        [[likely]] {
      return true;
    }
    return lookupSlowly(key, slotIndex, value);
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
  std::size_t pyrelMappedSize() const { return pyrel_.mappedSize(); }
  Slot const& slot(std::uint32_t slotIndex) const { return slots_[slotIndex]; }
  ShadowHashMap<T, Slot> const& hashMap() const { return map_; }

  // Checks the local index against itself: every chain ordered by (rhash, key) with
  // each slot's rhash that of its key and in the bucket its rhash names, prev and next
  // links agreeing, every linked slot in exactly one chain and found by its key, no
  // slot left half linked, and members() the number of linked slots. False with the
  // first problem in `reason`. Walks everything: for tests and diagnostics.
  bool validateIndex(std::string* reason) const;  // store/ShadowStoreCheck.h

 private:
  // The key comes by value where it fits in registers: by reference, every caller
  // would store it to memory on every lookup for the rare call.
  using KeyArgument = std::conditional_t<sizeof(Key) <= 16, Key, Key const&>;
  [[gnu::noinline]] bool lookupSlowly(KeyArgument key, std::uint32_t slotIndex, Value& value) {
    if (!initialized_ || slotIndex == kNoShadowSlot) return false;
    if (reader_->readOccupiedSlot(slotIndex, value) && T::compare(T::key(value), key) == 0) {
      return true;
    }
    if (readSlot(slotIndex, value)) return true;
    bool found = false;
    reader_->lookup(key, found, &value);
    return found;
  }

  // Makes an index past the shadow slots fit by growing them as far as the shared
  // table reaches; false (the notification is dropped) when the shared table does not
  // reach it either.
  bool fits(std::uint32_t slotIndex) {
    if (slotIndex < numSlots()) return true;
    reader_->resize();
    std::uint32_t shared = reader_->capacity();
    if (slotIndex >= shared) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel,
                 "skip growing of shadow table to accomodate slotIndex:{} because shared "
                 "memory has shrunk to {} slots",
                 slotIndex, shared);
      return false;
    }
    if (!grow(slotIndex)) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "discarding notification for slotIndex:{}",
                 slotIndex);
      return false;
    }
    return true;
  }

  // Re-reads one shared slot and makes the shadow slot agree with it. A key the shadow
  // slot held that the shared slot no longer holds is unlinked and put aside
  // (displaced_): settleDisplaced() finds out where it went. The key found is indexed
  // here (relinked when the index had it in another slot: the entry moved).
  bool reconcile(std::uint32_t slotIndex, std::uint64_t sequence, bool flag) {
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
    Key key = present ? T::key(value) : Key{};
    int order = wasEmpty || !present ? 0 : T::compare(oldKey, key);
    VORL_TRACE(Debug::shadowStore(), kDebugLevel, "updated: {} compare: {} slotIndex:{}{}",
               !wasEmpty, order, slotIndex, present ? " found" : " not found");
    if (!wasEmpty && (!present || order != 0)) {
      if (!stillHeld(slotIndex, sequence)) return false;
      map_.remove(slotIndex, slots_.data());
      finder_.erase(oldKey);
      displaced_.push_back(oldKey);
    }
    if (present) {
      finder_.reserveOneMore();
      slots_[slotIndex].key = key;
      bool changed = map_.write(slotIndex, slots_.data(), flag);
      finder_.set(key, slotIndex);
      if (changed) report(Report::changed, key);
    }
    return true;
  }

  // Every displaced key is looked up in the shared chains: a key still there lives in
  // another slot now (the writer moved it, or removed it and added it again), which is
  // reconciled at once, so the key is indexed where it lives; a key gone is reported
  // removed. Reconciling that slot may displace the key it held in turn, so this is a
  // chain; each step makes one more shadow slot agree with shared memory, and a paused
  // writer ends it within the slot count. Under a writer that keeps moving entries it
  // could go on, so it has a budget: keys left when it runs out are reported removed
  // and a synchronisation pass is asked for (takeResyncRequest), which brings back any
  // that are still there. No key is ever left indexed in a slot that no longer holds it
  // waiting for a notification that may never come.
  void settleDisplaced() {
    std::uint64_t budget = 4 * std::uint64_t{numSlots()} + 64;
    while (!displaced_.empty()) {
      Key key = displaced_.back();
      displaced_.pop_back();
      if (map_.find(slots_.data(), key) != kNoShadowSlot) continue;  // home again
      if (budget == 0) {
        VORL_TRACE(Debug::shadowStore(), kDebugLevel,
                   "key:{} not placed within the budget, resynchronizing",
                   TraitsInfo<T>::keyText(key));
        resyncWanted_ = true;
        report(Report::removed, key);
        continue;
      }
      --budget;
      Value value{};
      std::uint32_t at = kNoShadowSlot;
      bool shared = false;
      try {
        shared = reader_->lookupSlot(key, value, at);
      } catch (Vorl::CorruptionDetectedException const&) {
        shared = false;
      }
      if (!shared || !fits(at)) {
        VORL_TRACE(Debug::shadowStore(), kDebugLevel, "key:{} left the store",
                   TraitsInfo<T>::keyText(key));
        report(Report::removed, key);
        continue;
      }
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "key:{} lives in slotIndex:{} now",
                 TraitsInfo<T>::keyText(key), at);
      reconcile(at, 0, true);
      // The slot changed again between the lookup and its read: look once more.
      if (map_.find(slots_.data(), key) == kNoShadowSlot) displaced_.push_back(key);
    }
  }

  enum class Report : std::uint8_t { changed, removed };

  // Callbacks wait until the index is whole again (a callback may look keys up).
  void report(Report kind, Key const& key) { reports_.emplace_back(kind, key); }

  void deliverReports() {
    if (reports_.empty()) return;
    // A callback cannot reach doSlot, but keep the list safe against it anyway.
    std::vector<std::pair<Report, Key>> pending;
    pending.swap(reports_);
    for (auto const& [kind, key] : pending) {
      if (notify_ == nullptr) break;
      if (kind == Report::changed) {
        if (notify_->keyChanged) notify_->keyChanged(key);
      } else if (notify_->keyRemoved) {
        notify_->keyRemoved(key, nullptr);
      }
    }
    pending.clear();
    if (reports_.empty()) reports_.swap(pending);  // keeps the capacity
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
  PyrelMapping pyrel_;
  ShadowCounters* counters_;
  std::vector<Slot> slots_;
  ShadowHashMap<T, Slot> map_;
  ShadowSlotFinder<T> finder_;
  Mem::Notify<Key, Value> const* notify_ = nullptr;
  // Keys unlinked from a slot that no longer holds them, until settleDisplaced().
  std::vector<Key> displaced_;
  std::vector<std::pair<Report, Key>> reports_;
  bool resyncWanted_ = false;
  bool initialized_ = false;
};

template <StoreTraits T>
using KeyShadowStore = ShadowStore<T, KeyShadowSlot<T>>;

}  // namespace Brell

// The index check, defined apart from the lookups it checks.
#include "store/ShadowStoreCheck.h"
