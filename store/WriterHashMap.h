// The writer's hash map over the slot table: chain walks, bucket split and merge,
// and the list walk used by iteration.
//
// Owned by one BrellWriter and used only on its thread. The list order it keeps is
// described in SlotLayout.h. Every link store here is a release store that pairs
// with the acquire load by which a reader (ReaderHashMap) follows that link; each
// store says which.
//
// Positions in the maps are kept as LinkPlace (bucket number or slot index) rather
// than addresses, so they stay valid when a growth moves the mapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "store/BucketTable.h"
#include "store/Debug.h"
#include "store/ListOrder.h"
#include "store/SlotWriterTable.h"
#include "store/Traits.h"

namespace BrellCore {

using Brell::indexOf;
using Brell::isEnd;
using Brell::isNull;
using Brell::kDebugLevel;
using Brell::kVersionStep;
using Brell::markOf;

// A link's home: a bucket head or a slot's link word.
struct LinkPlace {
  bool bucket = true;
  std::uint32_t index = 0;
};

// The common damage reports of the writer's hash map.
namespace WriterHashMapCommon {
[[noreturn]] inline void cycle(std::uint32_t bucket, std::uint32_t steps, std::uint32_t slots) {
  throw Vorl::CorruptionDetectedException(fmt::format(
      "hash-chain cycle in bucket:{} after {} steps numSlots:{}", bucket, steps, slots));
}
[[noreturn]] inline void outOfRange(std::uint32_t index, std::uint32_t maxIndex) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("out-of-range index: {} max:{}", index, maxIndex));
}
[[noreturn]] inline void notOccupied(std::uint32_t slot, std::uint32_t bucket,
                                     std::uint32_t version) {
  throw Vorl::CorruptionDetectedException(fmt::format(
      "not-occupied slot:{} in chain of bucket:{} version:{:#x}", slot, bucket, version));
}
[[noreturn]] inline void corruptKey(std::string const& key, std::uint32_t slot,
                                    std::uint32_t hashBucket, std::uint32_t bucket) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("corrupt key {} in slot:{}: belongs to bucket:{} but found in bucket:{}", key,
                  slot, hashBucket, bucket));
}
[[noreturn]] inline void corruptRhash(std::uint32_t slot, std::uint32_t rhash,
                                      std::uint32_t previous) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("corrupt rhash:{:#010x} in slot:{} after rhash:{:#010x}", rhash, slot, previous));
}
[[noreturn]] inline void reachedEnd(std::uint32_t bucket, std::uint32_t buckets) {
  throw Vorl::CorruptionDetectedException(fmt::format(
      "reached the end of the list in bucket:{} before the last bucket:{}", bucket, buckets - 1));
}
[[noreturn]] inline void bucketCycle(std::uint32_t bucket, std::uint32_t moves) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("bucket cycle at bucket:{} after {} moves", bucket, moves));
}
[[noreturn]] inline void badMarker(std::uint32_t reference, std::uint32_t buckets) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("end marker {:#x} names no bucket below numBuckets:{}", reference, buckets));
}
}  // namespace WriterHashMapCommon

template <Brell::StoreTraits T>
class WriterHashMap {
 public:
  using Info = Brell::TraitsInfo<T>;
  using Value = typename T::Value;
  using Key = typename T::Key;
  using Slots = Brell::SlotWriterTable<T>;

  // Where a key is, or would be inserted.
  struct Position {
    LinkPlace previous;     // the link that points (or would point) at the slot
    SlotLink previousLink;  // its value when found
    std::uint32_t slot = Brell::kNullReference;  // the key's slot, or the first greater
    std::uint32_t stop = Brell::kNullReference;  // where the walk stopped: slot or end marker
    std::uint32_t bucket = 0;                    // the key's bucket
    std::uint32_t rhash = 0;                     // the key's reversed hash
    bool found = false;
  };

  WriterHashMap(SharedMem::MappedFile bucketFile, Slots& slots, Brell::WriterCounters& counters,
                bool shrinkBuckets, bool criticalTaskCheck)
      : buckets_(std::move(bucketFile)),
        slots_(&slots),
        counters_(&counters),
        shrinkBuckets_(shrinkBuckets),
        criticalTaskCheck_(criticalTaskCheck) {}

  Brell::AttachResult attach(SharedMem::PyrelId identity) {
    Brell::AttachResult result = buckets_.attach(identity);
    numBuckets_ = buckets_.count();
    thresholdsFor(numBuckets_);
    return result;
  }
  void detach() {
    buckets_.detach();
    numBuckets_ = 0;
  }
  void remove() {
    buckets_.remove();
    numBuckets_ = 0;
  }
  bool validate(SharedMem::PyrelId identity, std::string* reason) const {
    return buckets_.validate(identity, reason);
  }

  std::uint32_t numBuckets() const { return numBuckets_; }
  std::uint32_t growThreshold() const { return growThreshold_; }
  std::uint32_t shrinkThreshold() const { return shrinkThreshold_; }
  bool shrinkBuckets() const { return shrinkBuckets_; }
  BucketWriter<SlotLink>& bucketWriter() { return buckets_; }
  BucketWriter<SlotLink> const& bucketWriter() const { return buckets_; }
  std::string headerText() const { return buckets_.headerText(); }

  unsigned char* address(LinkPlace place) const {
    return place.bucket ? buckets_.head(place.index) : slots_->slot(place.index);
  }
  SlotLink load(LinkPlace place) const {
    return Brell::loadLink(address(place), std::memory_order_relaxed);
  }

  std::uint32_t bucketOf(std::uint32_t hash) const { return hash & (numBuckets_ - 1); }
  std::uint32_t hashOf(Key const& key) const { return T::hash(key, slots_->hashSeed()); }

  // (rhash, key) order: <0, 0, >0 of the slot's pair against the given pair.
  static int compareSlot(unsigned char const* slotAddress, std::uint32_t rhash, Key const& key) {
    return Brell::ListOrder<T>::compare(Slots::rhashAt(slotAddress),
                                        T::key(*Slots::valueAt(slotAddress)), rhash, key);
  }

  // Where `key` is, or would be inserted: hashes it and walks its bucket's chain.
  Position locate(Key const& key) const {
    std::uint32_t hash = hashOf(key);
    return find(key, bucketOf(hash), Brell::reverseBits(hash));
  }

  // The slot that holds `key`, by the shortest walk: along its bucket's run,
  // comparing keys only. Nothing of what a miss needs explained is checked here (the
  // order of the keys passed, their bucket), only what keeps the walk inside the
  // mapping and finite. kNotFound when no occupied slot of the run holds the key;
  // the caller then asks locate(), whose checks tell a true miss from damage (a
  // damaged chain can hide a key; it cannot forge one).
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;
  std::uint32_t findQuickly(Key const& key) const {
    std::uint32_t const numSlots = slots_->numSlots();
    std::uint32_t reference =
        Brell::loadLink(buckets_.head(bucketOf(hashOf(key))), std::memory_order_relaxed).value;
    for (std::uint32_t steps = 0;; ++steps) {
      reference &= ~Brell::kMarkFlag;
      if (Brell::isEnd(reference)) return kNotFound;
      std::uint32_t const index = Brell::indexOf(reference);
      if (index >= numSlots || steps >= numSlots) [[unlikely]]
        return kNotFound;
      unsigned char const* slotAddress = slots_->slot(index);
      SlotLink const link = Brell::loadLink(slotAddress, std::memory_order_relaxed);
      if (T::compare(T::key(*Slots::valueAt(slotAddress)), key) == 0) {
        return (link.version & Brell::kOccupiedBit) != 0 ? index : kNotFound;
      }
      reference = link.value;
    }
  }

  // The writer's chain walk.
  Position find(Key const& key, std::uint32_t bucket, std::uint32_t rhash) const {
    if (bucket >= numBuckets_) {
      throw Vorl::RangeException(
          fmt::format("bucket {} out of range numBuckets:{}", bucket, numBuckets_));
    }
    Position position;
    position.bucket = bucket;
    position.rhash = rhash;
    position.previous = LinkPlace{true, bucket};
    position.previousLink = Brell::loadLink(buckets_.head(bucket), std::memory_order_relaxed);
    std::uint32_t reference = position.previousLink.value;
    std::uint32_t steps = 0;
    std::uint32_t numSlots = slots_->numSlots();
    std::uint32_t previousRhash = 0;
    while (!isEnd(reference)) {
      if (++steps > numSlots) WriterHashMapCommon::cycle(bucket, steps, numSlots);
      std::uint32_t index = indexOf(reference);
      if (index >= numSlots) WriterHashMapCommon::outOfRange(index, slots_->maxSlotIndex());
      unsigned char const* slotAddress = slots_->slot(index);
      SlotLink link = Brell::loadLink(slotAddress, std::memory_order_relaxed);
      if ((link.version & Brell::kOccupiedBit) == 0) {
        WriterHashMapCommon::notOccupied(index, bucket, link.version);
      }
      Key slotKey = T::key(*Slots::valueAt(slotAddress));
      std::uint32_t slotRhash = Slots::rhashAt(slotAddress);
      if (slotRhash < previousRhash) [[unlikely]]
        WriterHashMapCommon::corruptRhash(index, slotRhash, previousRhash);
      previousRhash = slotRhash;
      int order = Brell::ListOrder<T>::compare(slotRhash, slotKey, rhash, key);
      // Every key met must belong to this bucket. The key looked for does (its hash
      // chose the bucket), so the slot holding it needs no second hash.
      if (order != 0) {
        std::uint32_t slotBucket = bucketOf(hashOf(slotKey));
        if (slotBucket != bucket) [[unlikely]] {
          WriterHashMapCommon::corruptKey(Info::keyText(slotKey), index, slotBucket, bucket);
        }
      }
      if (order >= 0) {
        position.slot = index;
        position.stop = reference;
        position.found = order == 0;
        return position;
      }
      position.previous = LinkPlace{false, index};
      position.previousLink = link;
      reference = link.value & ~Brell::kMarkFlag;
    }
    position.stop = reference;
    return position;
  }

  // From a reference met in `bucket`'s run: the next occupied slot in list order,
  // following end markers through empty buckets; nullopt at the end of the list.
  std::optional<std::uint32_t> resolve(std::uint32_t reference, std::uint32_t bucket) const {
    reference &= ~Brell::kMarkFlag;
    std::uint32_t moves = 0;
    while (isEnd(reference)) {
      if (isNull(reference)) {
        if (bucket != numBuckets_ - 1) WriterHashMapCommon::reachedEnd(bucket, numBuckets_);
        VORL_TRACE(Brell::Debug::writerHashMap(), kDebugLevel, "none found!");
        return std::nullopt;
      }
      std::uint32_t next = indexOf(reference);
      if (next >= numBuckets_) WriterHashMapCommon::badMarker(reference, numBuckets_);
      if (++moves >= numBuckets_ + 1) WriterHashMapCommon::bucketCycle(next, moves);
      bucket = next;
      reference = Brell::loadLink(buckets_.head(bucket), std::memory_order_relaxed).value;
    }
    std::uint32_t index = indexOf(reference);
    if (index >= slots_->numSlots()) WriterHashMapCommon::outOfRange(index, slots_->maxSlotIndex());
    return index;
  }

  // Bucket split: N -> 2N, in place (see SlotLayout.h for why runs split cleanly).
  void growBuckets() {
    std::uint64_t start = Vorl::Rdtsc::now();
    Brell::TimeSlicer slicer(criticalTaskCheck_, &counters_->criticalTaskRuns);
    std::uint32_t half = numBuckets_;
    std::uint32_t count = 2 * half;
    VORL_TRACE(Brell::Debug::writerHashMap(), kDebugLevel, "growing from: {} to: {}", half, count);
    try {
      buckets_.reserve(count);
    } catch (Vorl::MemoryResourceException const& error) {
      // Nothing has changed yet. The table stays correct with more members than
      // buckets; the next insert tries again.
      VORL_TRACE(Brell::Debug::writerHashMap(), kDebugLevel, "cannot grow from: {} to: {}: {}",
                 half, count, error.what());
      return;
    }
    std::uint32_t mask = count - 1;
    // 1. Each new bucket b + N starts at the first slot of b's run that moves there.
    for (std::uint32_t bucket = 0; bucket < half; ++bucket) {
      std::uint32_t reference =
          Brell::loadLink(buckets_.head(bucket), std::memory_order_relaxed).value;
      while (!isEnd(reference)) {
        std::uint32_t index = checkedIndex(reference);
        if ((Brell::reverseBits(Slots::rhashAt(slots_->slot(index))) & mask) != bucket) break;
        reference = slots_->link(index).value;
      }
      unsigned char* head = buckets_.head(bucket + half);
      SlotLink old = Brell::loadLink(head, std::memory_order_relaxed);
      // Pairs with a reader's acquire load of this head; no reader uses it before the
      // count below is published.
      Brell::storeLink(head, SlotLink{old.version + kVersionStep, reference & ~Brell::kMarkFlag});
      slicer.check();
    }
    // 2. Publish the count: readers with 2N buckets now find the upper halves.
    buckets_.countIs(count);
    numBuckets_ = count;
    // 3. End each lower run where its upper half begins. A reader still using N
    //    buckets meets the marker b + N, sees the count changed and retries.
    for (std::uint32_t bucket = 0; bucket < half; ++bucket) {
      LinkPlace last{true, bucket};
      SlotLink lastLink = load(last);
      while (!isEnd(lastLink.value)) {
        std::uint32_t index = checkedIndex(lastLink.value);
        if ((Brell::reverseBits(Slots::rhashAt(slots_->slot(index))) & mask) != bucket) break;
        last = LinkPlace{false, index};
        lastLink = load(last);
      }
      // Pairs with a reader's acquire load of this link while walking bucket b.
      Brell::storeLink(address(last),
                       SlotLink{lastLink.version + kVersionStep,
                                Brell::endMarker(bucket + half) | markOf(lastLink.value)});
      slicer.check();
    }
    recordResize(start);
    ++counters_->bucketGrowths;
    thresholdsFor(count);
  }

  // Bucket merge: N -> N/2, joining run b + N/2 onto run b.
  void shrinkBucketTable() {
    std::uint64_t start = Vorl::Rdtsc::now();
    Brell::TimeSlicer slicer(criticalTaskCheck_, &counters_->criticalTaskRuns);
    std::uint32_t old = numBuckets_;
    std::uint32_t half = old / 2;
    for (std::uint32_t bucket = 0; bucket < half; ++bucket) {
      LinkPlace last{true, bucket};
      SlotLink lastLink = load(last);
      std::uint32_t steps = 0;
      while (!isEnd(lastLink.value)) {
        if (++steps > slots_->numSlots())
          WriterHashMapCommon::cycle(bucket, steps, slots_->numSlots());
        last = LinkPlace{false, checkedIndex(lastLink.value)};
        lastLink = load(last);
      }
      std::uint32_t upper =
          Brell::loadLink(buckets_.head(bucket + half), std::memory_order_relaxed).value;
      // Pairs with a reader's acquire load of this link: run b + N/2 now follows run b.
      Brell::storeLink(address(last),
                       SlotLink{lastLink.version + kVersionStep,
                                (upper & ~Brell::kMarkFlag) | markOf(lastLink.value)});
      slicer.check();
    }
    buckets_.countIs(half);
    numBuckets_ = half;
    buckets_.release();
    std::uint64_t ticks = recordResize(start);
    ++counters_->bucketShrinks;
    thresholdsFor(half);
    VORL_TRACE(Brell::Debug::writerHashMap(), kDebugLevel,
               "shrunk from:{} to:{} shrinkBuckets_:{} time:{}", old, half, shrinkBuckets_, ticks);
  }

  // The bucket table doubles when the members exceed the buckets and halves when
  // they fall below a quarter of them.
  void thresholdsFor(std::uint32_t buckets) {
    growThreshold_ = buckets;
    shrinkThreshold_ = buckets / 4;
  }

  bool mayShrink(std::uint32_t members) const {
    return shrinkBuckets_ && members < shrinkThreshold_ && numBuckets_ > kInitialBuckets;
  }

 private:
  std::uint32_t checkedIndex(std::uint32_t reference) const {
    std::uint32_t index = indexOf(reference);
    if (index >= slots_->numSlots()) WriterHashMapCommon::outOfRange(index, slots_->maxSlotIndex());
    return index;
  }

  std::uint64_t recordResize(std::uint64_t start) {
    std::uint64_t ticks = Vorl::Rdtsc::now() - start;
    counters_->lastBucketResizeTicks = ticks;
    if (ticks > counters_->largestBucketResizeTicks) counters_->largestBucketResizeTicks = ticks;
    return ticks;
  }

  BucketWriter<SlotLink> buckets_;
  Slots* slots_;
  Brell::WriterCounters* counters_;
  std::uint32_t numBuckets_ = 0;
  std::uint32_t growThreshold_ = 0;
  std::uint32_t shrinkThreshold_ = 0;
  bool shrinkBuckets_;
  bool criticalTaskCheck_;
};

}  // namespace BrellCore
