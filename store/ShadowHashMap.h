// A shadow's local index: Brell::ShadowHashMap, and the shadow slot Brell::KeyShadowSlot.
//
// A shadow keeps one shadow slot per slot index of the shared store, in its own
// memory, holding the key it last saw in that slot; the map chains the occupied ones
// into buckets so a key leads to its slot index without walking shared memory:
//
//   buckets_:  [ head 0 ][ head 1 ] ... [ head 2^bucketFactor_ - 1 ]   (0xFFFFFFFF = empty)
//                  |
//                  v
//   slots:     { next, prev, rhash, key }  per slot index
//                next: next slot of the chain (0xFFFFFFFF = none)
//                prev: previous slot; for a chain's first slot -2 - bucket (so its
//                      bucket head can be found); 0xFFFFFFFF = not linked
//
// The bucket of a key is the top bucketFactor_ bits of its rhash (the bit-reversed
// store hash, same seed as the store), and every chain is ordered by ascending
// (rhash, key) like the store's list. So the chains of buckets 0, 1, 2, ... read in
// order are one sorted list: doubling the buckets splits chain b at the first key
// whose next rhash bit is 1 into 2b and 2b + 1, and halving joins them back, both
// keeping the order; first()/next() iterate in that order.
//
// The map also counts its members per power-of-two class of slot index (class 0 is
// slot 0, class c >= 1 holds [2^(c-1), 2^c)) with a mask of the non-empty classes,
// so the smallest slot count covering every occupied slot is one bit scan away.
//
// Invariants: a slot is linked (prev != 0xFFFFFFFF) exactly when it is in a chain;
// no key is in two slots; members_ = linked slots = sum of the class counts.
//
// Thread-safety: the shadow's thread only; nothing here is shared between processes.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/Debug.h"
#include "store/Link.h"
#include "store/ListOrder.h"
#include "store/Traits.h"

namespace Brell {

inline constexpr std::uint32_t kNoShadowSlot = 0xFFFFFFFFu;

// -2 - bucket, the prev of a chain's first slot, and back.
constexpr std::uint32_t chainHeadMarker(std::uint32_t bucket) {
  return ~bucket - 1;
}
constexpr bool isChainHeadMarker(std::uint32_t prev) {
  return prev != kNoShadowSlot && prev >= 0x80000000u;
}
constexpr std::uint32_t bucketOfMarker(std::uint32_t prev) {
  return ~(prev + 1);
}
static_assert(chainHeadMarker(0) == 0xFFFFFFFEu && bucketOfMarker(chainHeadMarker(5)) == 5);

template <StoreTraits T>
struct KeyShadowSlot {
  using Key = typename T::Key;
  using Value = typename T::Value;

  std::uint32_t next = kNoShadowSlot;
  std::uint32_t prev = kNoShadowSlot;
  std::uint32_t rhash = 0;
  Key key{};

  bool empty() const { return next == kNoShadowSlot && prev == kNoShadowSlot; }
  void reset() { *this = KeyShadowSlot{}; }

  // Reads slot `slotIndex`'s value through the reader into `value`: present when
  // the slot is occupied and still holds this slot's key. `buffer` unused (the key
  // variant reads shared memory every time).
  template <class Reader>
  bool value(Reader& reader, std::uint32_t slotIndex, Value& valueOut, Value* /*buffer*/) const {
    std::uint32_t version = 0;
    bool present =
        reader.readOccupiedSlot(slotIndex, valueOut) || reader.getValue(slotIndex, valueOut, version);
    return present && T::compare(T::key(valueOut), key) == 0;
  }
};

template <StoreTraits T, class Slot>
class ShadowHashMap {
 public:
  using Key = typename T::Key;

  explicit ShadowHashMap(ShadowCounters& counters) : counters_(&counters) {}

  // The empty map: 2 buckets, bucketFactor_ 1, load shift 0.
  void initialize(std::uint32_t seed) {
    seed_ = seed;
    bucketFactor_ = 1;
    numBuckets_ = 2;
    loadShift_ = 0;
    members_ = 0;
    classCounts_.fill(0);
    classMask_ = 0;
    resizeBuckets(numBuckets_);
    buckets_.assign(numBuckets_, kNoShadowSlot);
    VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "size:{} elements", numBuckets_);
  }
  void release() {
    std::vector<std::uint32_t>().swap(buckets_);
    numBuckets_ = 0;
    members_ = 0;
    classCounts_.fill(0);
    classMask_ = 0;
  }

  std::uint32_t members() const { return members_; }
  std::uint32_t numBuckets() const { return numBuckets_; }
  std::uint32_t bucketFactor() const { return bucketFactor_; }
  std::uint32_t seed() const { return seed_; }

  std::uint32_t rhashOf(Key const& key) const { return ListOrder<T>::rhashOf(key, seed_); }
  std::uint32_t bucketOf(std::uint32_t rhash) const { return rhash >> (32 - bucketFactor_); }
  std::uint32_t head(std::uint32_t bucket) const { return buckets_[bucket]; }

  // The smallest slot count covering every linked slot (0 when none is linked).
  std::uint32_t coveringSlotCount() const {
    if (classMask_ == 0) return 0;
    unsigned highest = 63 - static_cast<unsigned>(std::countl_zero(classMask_));
    return highest == 0 ? 1 : static_cast<std::uint32_t>(std::uint64_t{1} << highest);
  }

  // The slot holding `key`, or kNoShadowSlot.
  std::uint32_t find(Slot const* slots, Key const& key) const {
    if (numBuckets_ == 0) return kNoShadowSlot;
    std::uint32_t rhash = rhashOf(key);
    for (std::uint32_t at = buckets_[bucketOf(rhash)]; at != kNoShadowSlot; at = slots[at].next) {
      int order = compare(slots[at], rhash, key);
      if (order == 0) return at;
      if (order > 0) break;
    }
    return kNoShadowSlot;
  }

  // The first linked slot after (rhash(key), key) in list order, or kNoShadowSlot;
  // the key itself need not be in the map.
  std::uint32_t next(Slot const* slots, Key const& key) const {
    if (numBuckets_ == 0) return kNoShadowSlot;
    std::uint32_t rhash = rhashOf(key);
    std::uint32_t bucket = bucketOf(rhash);
    for (std::uint32_t at = buckets_[bucket]; at != kNoShadowSlot; at = slots[at].next) {
      if (compare(slots[at], rhash, key) > 0) return at;
    }
    return firstFrom(bucket + 1);
  }

  // The first linked slot of the first non-empty bucket from `bucket` on.
  std::uint32_t firstFrom(std::uint32_t bucket) const {
    for (; bucket < numBuckets_; ++bucket) {
      if (buckets_[bucket] != kNoShadowSlot) return buckets_[bucket];
    }
    return kNoShadowSlot;
  }

  // Indexes the key just stored in slots[slotIndex] (which is not linked, or linked
  // with this same key). Returns true when the index changed (an insert, or the key
  // relinked from the slot it was in before: the entry moved in shared memory), and
  // `flag` when the key already sat in this very slot.
  bool write(std::uint32_t slotIndex, Slot* slots, bool flag) {
    Slot& slot = slots[slotIndex];
    slot.rhash = rhashOf(slot.key);
    std::uint32_t bucket = bucketOf(slot.rhash);
    ++counters_->writes;
    VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "slotIndex:{} key:{}", slotIndex,
               TraitsInfo<T>::keyText(slot.key));
    if (buckets_[bucket] == kNoShadowSlot) {
      slot.prev = chainHeadMarker(bucket);
      slot.next = kNoShadowSlot;
      buckets_[bucket] = slotIndex;
      VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "value inserted in fresh bucket");
      inserted(slotIndex, slots);
      return true;
    }
    std::uint32_t previous = kNoShadowSlot;
    for (std::uint32_t at = buckets_[bucket]; at != kNoShadowSlot; at = slots[at].next) {
      Slot& current = slots[at];
      int order = compare(current, slot.rhash, slot.key);
      if (order == 0) {
        if (at == slotIndex) {
          VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "no index update needed");
          return flag;
        }
        // The entry moved in shared memory: this slot takes the old one's place.
        slot.next = current.next;
        slot.prev = current.prev;
        linkFrom(slot.prev, slotIndex, slots);
        if (slot.next != kNoShadowSlot) slots[slot.next].prev = slotIndex;
        current.reset();
        countOut(at);
        countIn(slotIndex);
        ++counters_->relinks;
        VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "value updated");
        return true;
      }
      if (order > 0) {
        slot.next = at;
        slot.prev = current.prev;
        linkFrom(slot.prev, slotIndex, slots);
        current.prev = slotIndex;
        VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "value inserted");
        inserted(slotIndex, slots);
        return true;
      }
      previous = at;
    }
    slot.next = kNoShadowSlot;
    slot.prev = previous;
    slots[previous].next = slotIndex;
    VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "add slot to end of chain");
    inserted(slotIndex, slots);
    return true;
  }

  // Unlinks slots[slotIndex] and resets it; false for a slot that is not linked.
  bool remove(std::uint32_t slotIndex, Slot* slots) {
    Slot& slot = slots[slotIndex];
    if (slot.prev == kNoShadowSlot) {
      VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "dead slot {}", slotIndex);
      return false;
    }
    VORL_TRACE(Debug::shadowHashMap(), kDebugLevel,
               "slot:{} prev->next:{} next:{} occupied:{} key:{}", slotIndex, slot.prev, slot.next,
               members_, TraitsInfo<T>::keyText(slot.key));
    linkFrom(slot.prev, slot.next, slots);
    if (slot.next != kNoShadowSlot) slots[slot.next].prev = slot.prev;
    slot.reset();
    countOut(slotIndex);
    --members_;
    if (bucketFactor_ > 1 && members_ <= (std::uint64_t{numBuckets_} << loadShift_) / 4) {
      shrink(slots);
    }
    return true;
  }

  // Recomputes every linked slot's rhash with a new seed (a new writer formatted the
  // store) and rebuilds the chains.
  void rehash(Slot* slots, std::uint32_t slotCount, std::uint32_t seed) {
    std::vector<std::uint32_t> linked;
    for (std::uint32_t index = 0; index < slotCount; ++index) {
      if (slots[index].prev != kNoShadowSlot) linked.push_back(index);
    }
    initialize(seed);
    for (std::uint32_t index : linked) {
      slots[index].next = slots[index].prev = kNoShadowSlot;
      write(index, slots, true);
    }
  }

  // Doubles the buckets, splitting each chain by the next rhash bit.
  void grow(Slot* slots) {
    std::uint32_t oldCount = numBuckets_;
    VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "buckets growing from:{} to:{}", oldCount,
               2 * oldCount);
    resizeBuckets(2 * oldCount);
    ++bucketFactor_;
    numBuckets_ = 2 * oldCount;
    std::uint32_t const bit = 0x80000000u >> (bucketFactor_ - 1);
    for (std::uint32_t bucket = oldCount; bucket-- > 0;) {
      std::uint32_t low = 2 * bucket;
      std::uint32_t high = low + 1;
      VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "splitting bucket {} to buckets {} and {}",
                 bucket, low, high);
      std::uint32_t first = buckets_[bucket];
      std::uint32_t split = first;
      std::uint32_t last = kNoShadowSlot;
      while (split != kNoShadowSlot && (slots[split].rhash & bit) == 0) {
        last = split;
        split = slots[split].next;
      }
      buckets_[low] = split == first ? kNoShadowSlot : first;
      buckets_[high] = split;
      if (buckets_[low] != kNoShadowSlot) slots[first].prev = chainHeadMarker(low);
      if (last != kNoShadowSlot) slots[last].next = kNoShadowSlot;
      if (split != kNoShadowSlot) slots[split].prev = chainHeadMarker(high);
    }
    ++counters_->bucketGrowths;
  }

  // Halves the buckets, joining chains 2b and 2b + 1 into b.
  void shrink(Slot* slots) {
    std::uint32_t newCount = numBuckets_ / 2;
    for (std::uint32_t bucket = 0; bucket < newCount; ++bucket) {
      std::uint32_t low = buckets_[2 * bucket];
      std::uint32_t high = buckets_[2 * bucket + 1];
      std::uint32_t first = low != kNoShadowSlot ? low : high;
      if (low != kNoShadowSlot && high != kNoShadowSlot) {
        std::uint32_t last = low;
        while (slots[last].next != kNoShadowSlot) last = slots[last].next;
        slots[last].next = high;
        slots[high].prev = last;
      }
      if (first != kNoShadowSlot) slots[first].prev = chainHeadMarker(bucket);
      buckets_[bucket] = first;
    }
    --bucketFactor_;
    numBuckets_ = newCount;
    buckets_.resize(newCount);
    ++counters_->bucketShrinks;
    VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "shrunk to numBuckets_:{} bucketFactor_:{}",
               numBuckets_, bucketFactor_);
  }

 private:
  // (slot's rhash, slot's key) compared with (rhash, key).
  static int compare(Slot const& slot, std::uint32_t rhash, Key const& key) {
    return ListOrder<T>::compare(slot.rhash, slot.key, rhash, key);
  }

  // Makes what `prev` names (a bucket head or a slot) point at `target`.
  void linkFrom(std::uint32_t prev, std::uint32_t target, Slot* slots) {
    if (isChainHeadMarker(prev)) {
      buckets_[bucketOfMarker(prev)] = target;
    } else {
      slots[prev].next = target;
    }
  }

  void inserted(std::uint32_t slotIndex, Slot* slots) {
    ++members_;
    countIn(slotIndex);
    if (members_ > (std::uint64_t{numBuckets_} << loadShift_)) grow(slots);
  }

  static unsigned classOf(std::uint32_t slotIndex) {
    return static_cast<unsigned>(std::bit_width(slotIndex));
  }
  void countIn(std::uint32_t slotIndex) {
    unsigned indexClass = classOf(slotIndex);
    if (classCounts_[indexClass]++ == 0) classMask_ |= std::uint64_t{1} << indexClass;
  }
  void countOut(std::uint32_t slotIndex) {
    unsigned indexClass = classOf(slotIndex);
    if (--classCounts_[indexClass] == 0) classMask_ &= ~(std::uint64_t{1} << indexClass);
  }

  void resizeBuckets(std::uint32_t count) {
    void const* oldBase = buckets_.data();
    try {
      buckets_.resize(count, kNoShadowSlot);
    } catch (std::bad_alloc const& error) {
      throw Vorl::MemoryResourceException(
          fmt::format("failed to resize {} from {} to {} buckets : {}", "heap", numBuckets_, count,
                      error.what()));
    }
    if (oldBase != nullptr && oldBase != buckets_.data()) {
      VORL_TRACE(Debug::shadowHashMap(), kDebugLevel, "base address moved from {} to {}", oldBase,
                 static_cast<void const*>(buckets_.data()));
    }
  }

  ShadowCounters* counters_;
  std::vector<std::uint32_t> buckets_;
  std::uint32_t numBuckets_ = 0;
  std::uint32_t bucketFactor_ = 1;
  std::uint32_t loadShift_ = 0;
  std::uint32_t members_ = 0;
  std::uint32_t seed_ = 0;
  std::array<std::uint32_t, 33> classCounts_{};
  std::uint64_t classMask_ = 0;
};

}  // namespace Brell
