// Lock-free lookup and list walks for readers in any process.
//
// A reader never writes and takes no lock. Its answers are consistent because:
// (1) every slot is read under its version word and the slot count
//     (SlotReaderTable::readSlot);
// (2) after reading a slot, the link that led to it is loaded again and must be
//     unchanged (every change adds 4 to a link's version), otherwise the walk
//     restarts from the bucket;
// (3) a changed slot or bucket count is noticed through their VersionedRefs: a walk
//     that ends (end marker or greater key) while the bucket count changed asks the
//     caller to remap and retry (Outcome::retry).
// Damage (an index outside the mapping, a chain longer than the slot count, a free
// slot in a chain, a key in a bucket it cannot belong to, a marker naming no bucket)
// raises Vorl::CorruptionDetectedException; BrellReader remaps and retries once in
// case the damage was only a stale mapping, and reports it otherwise.
//
// Thread-safety: one thread per reader object.
#pragma once

#include <cstddef>
#include <cstdint>

#include <fmt/format.h>

#include "store/BucketTable.h"
#include "store/Debug.h"
#include "store/ListOrder.h"
#include "store/SlotReaderTable.h"

namespace BrellCore {

// The common damage reports of the reader's hash map.
namespace ReaderHashMapCommon {
[[noreturn]] inline void cycle(std::uint32_t bucket, std::uint32_t steps) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("hash-chain cycle in bucket:{} after {} steps", bucket, steps));
}
[[noreturn]] inline void outOfRange(std::uint32_t index, std::uint32_t numSlots) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("out-of-range index:{} numSlots:{}", index, numSlots));
}
[[noreturn]] inline void notOccupied(std::uint32_t slot, std::uint32_t version) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("not-occupied slot:{} in a chain version:{:#x}", slot, version));
}
[[noreturn]] inline void corruptKey(std::uint32_t slot, std::uint32_t bucket) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("corrupt key in slot:{}: it cannot belong to bucket:{}", slot, bucket));
}
[[noreturn]] inline void badMarker(std::uint32_t reference, std::uint32_t buckets) {
  throw Vorl::CorruptionDetectedException(
      fmt::format("end marker {:#x} names no bucket below numBuckets:{}", reference, buckets));
}
[[noreturn]] inline void reachedEnd(std::uint32_t bucket, std::uint32_t buckets) {
  throw Vorl::CorruptionDetectedException(fmt::format(
      "reached the end of the list in bucket:{} before the last bucket:{}", bucket, buckets - 1));
}
}  // namespace ReaderHashMapCommon

enum class Outcome { found, notFound, retry };

template <Brell::StoreTraits T>
class ReaderHashMap {
 public:
  using Key = typename T::Key;
  using Slots = Brell::SlotReaderTable<T>;
  using Body = typename Slots::Body;
  // The bytes of a body that hold the value, in whole 8-byte words.
  static constexpr std::uint32_t kValueWordBytes = (Slots::kValueSize + 7) / 8 * 8;

  // Where a walk resumes: the link last followed and the reference it held.
  struct Cursor {
    unsigned char const* previous = nullptr;
    SlotLink previousLink;
    std::uint32_t bucket = 0;
    bool pastKey = false;  // every slot from here on is after the key
  };

  enum class Mode { equal, after };

  ReaderHashMap(SharedMem::MappedFile file, Slots& slots, Brell::ReaderCounters& counters)
      : buckets_(std::move(file)), slots_(&slots), counters_(&counters) {}

  BucketReader<SlotLink>& bucketReader() { return buckets_; }
  BucketReader<SlotLink> const& bucketReader() const { return buckets_; }
  std::uint32_t numBuckets() const { return buckets_.count(); }

  // Mode::equal: the key's slot. Mode::after: the first slot after the key in list
  // order. On found, `slotIndex`, `link` and `body` describe it.
  Outcome find(Key const& key, Mode mode, Body& body, std::uint32_t& slotIndex, SlotLink& link) {
    std::uint32_t buckets = buckets_.count();
    if (buckets == 0) {
      VORL_TRACE(Brell::Debug::readerHashMap(), Brell::kDebugLevel, "bucket table detached");
      return Outcome::notFound;
    }
    std::uint32_t hash = T::hash(key, slots_->hashSeed());
    std::uint32_t bucket = hash & (buckets - 1);
    for (;;) {
      Cursor cursor = start(bucket);
      Outcome outcome = walk(cursor, key, Brell::reverseBits(hash), mode, body, slotIndex, link);
      if (outcome != Outcome::retry || restarted_ == false) return outcome;
      restarted_ = false;
      ++counters_->retries;
    }
  }

  // The common case of a key lookup, for a key that is present. The walk goes along
  // the key's bucket run comparing keys, with none of the per-step checks of
  // lookup(): it follows references (bounds-checked against this mapping, at most
  // numSlots steps, so damage cannot make it fault or loop) and copies the value
  // words of each slot it passes. Where a key matches, that slot's copy is validated
  // as readSlot() validates one: the slot's link the same before and after the copy,
  // occupied and not being rewritten, and the slot in the life this mapping was made
  // in (SlotReaderTable::lifeCurrent). Such a copy is the value
  // the key had at that moment, wherever the walk came from: keys are unique among
  // occupied slots. Nothing the writer does elsewhere makes this lookup retry.
  //
  // It answers found, or retry for everything else (a miss, a slot changing under
  // the copy, a mapping that is not current, anything unusual): a miss must be
  // confirmed by lookup(), whose checks tell a true miss from a changed or damaged
  // chain.
  Outcome lookupQuickly(Key const& key, Body& body) const {
    std::uint32_t const numSlots = slots_->numSlots();
    std::uint32_t const hash = T::hash(key, slots_->hashSeed());
    std::uint32_t reference =
        Brell::loadLink(buckets_.head(hash & (buckets_.count() - 1)), std::memory_order_relaxed)
            .value;
    for (std::uint32_t steps = 0;; ++steps) {
      reference &= ~Brell::kMarkFlag;
      if (Brell::isEnd(reference)) return Outcome::retry;
      std::uint32_t const index = Brell::indexOf(reference);
      if (index >= numSlots || steps >= numSlots) [[unlikely]]
        return Outcome::retry;
      unsigned char const* slot = slots_->slot(index);
      // Pairs with the writer's release stores of this slot's link, as in readSlot().
      SlotLink const link = Brell::loadLink(slot);
      Brell::copyFromShared(body.bytes, slot + Brell::SlotOffset::value, kValueWordBytes);
      if (T::compare(T::key(body.value()), key) == 0) {
        // Pairs with the writer's release fences around a rewrite, as in readSlot():
        // a copy that saw any store of a later version makes the load below see it.
        std::atomic_thread_fence(std::memory_order_acquire);
        bool const whole = Brell::loadLink(slot) == link &&
                           (link.version & (Brell::kOccupiedBit | Brell::kRewriteBit)) ==
                               Brell::kOccupiedBit &&
                           slots_->lifeCurrent(index);
        return whole ? Outcome::found : Outcome::retry;
      }
      reference = link.value;
    }
  }

  // The hot path of a key lookup (Mode::equal). It makes the same reads and checks
  // as find() but in one tight loop that the caller can inline: no cursor, no mode,
  // no end-of-run helper. It answers found or notFound only where find() would give
  // the same answer; everything unusual (an end marker or greater key met with the
  // bucket count changed, any sign of damage) returns Outcome::retry, and the caller
  // then runs find() under its remap-and-retry loop, which sorts out what happened.
  // `buckets` must be non-zero (the caller checked numBuckets()).
  Outcome lookup(Key const& key, Body& body) {
    std::uint32_t const buckets = buckets_.count();
    std::uint32_t const numSlots = slots_->numSlots();
    std::uint32_t const seed = slots_->hashSeed();
    std::uint32_t const hash = T::hash(key, seed);
    std::uint32_t const bucket = hash & (buckets - 1);
    std::uint32_t const rhash = Brell::reverseBits(hash);
    for (;;) {
      unsigned char const* previous = buckets_.head(bucket);
      // Pairs with the writer's release stores of bucket heads (publish, unlink, split).
      SlotLink previousLink = Brell::loadLink(previous);
      std::uint32_t reference = previousLink.value & ~Brell::kMarkFlag;
      std::uint32_t steps = 0;
      bool restart = false;
      while (!Brell::isEnd(reference)) {
        std::uint32_t index = Brell::indexOf(reference);
        if (index >= numSlots || ++steps > numSlots) [[unlikely]]
          return Outcome::retry;
        SlotLink current = slots_->readSlot(index, body);
        // The link we followed must still point here; pairs with the writer's release
        // stores of that link (unlink, publish, relink on move).
        if (Brell::loadLink(previous) != previousLink) [[unlikely]] {
          restart = true;
          break;
        }
        if ((current.version & Brell::kOccupiedBit) == 0) [[unlikely]]
          return Outcome::retry;
        std::uint32_t slotRhash = body.rhash();
        if (slotRhash >= rhash) {
          int order = Brell::ListOrder<T>::compare(slotRhash, T::key(body.value()), rhash, key);
          if (order == 0) return Outcome::found;
          if (order > 0) break;
        }
        // A smaller pair must belong to this bucket (or to its half or double while
        // a split or merge is under way); otherwise find() reports it.
        std::uint32_t slotHash = T::hash(T::key(body.value()), seed);
        if ((slotHash & (buckets - 1)) != bucket &&
            (slotHash & ((buckets >> 1) - (buckets > 1 ? 1 : 0))) != bucket &&
            (slotHash & (2 * buckets - 1)) != bucket) [[unlikely]] {
          return Outcome::retry;
        }
        previous = slots_->slot(index);
        previousLink = current;
        reference = current.value & ~Brell::kMarkFlag;
      }
      if (restart) {
        ++counters_->retries;
        continue;
      }
      // The end of the run or a greater key: not here, unless the bucket count moved
      // under us (then the key may live in a bucket this mapping does not have).
      if (countChanged()) [[unlikely]]
        return Outcome::retry;
      if (Brell::isEnd(reference) && !Brell::isNull(reference) &&
          Brell::indexOf(reference) >= buckets) [[unlikely]] {
        return Outcome::retry;
      }
      return Outcome::notFound;
    }
  }

  // Prefetching for a run of lookups (BrellReader::lookupMany): prefetchHead() asks
  // the CPU to load the key's bucket head and returns the bucket; some keys later,
  // when the head has arrived, prefetchFirstSlot() asks for the slot it names.
  // Nothing here decides an answer, so a stale or damaged head costs at most a
  // useless prefetch; the bucket and the index read from the file are checked
  // against the current mapping before an address is formed from them.
  static constexpr std::uint32_t kNoBucket = 0xFFFFFFFFu;
  std::uint32_t prefetchHead(Key const& key) const {
    std::uint32_t const buckets = buckets_.count();
    if (buckets == 0) return kNoBucket;
    std::uint32_t const bucket = T::hash(key, slots_->hashSeed()) & (buckets - 1);
    __builtin_prefetch(buckets_.head(bucket));
    return bucket;
  }
  void prefetchFirstSlot(std::uint32_t bucket) const {
    if (bucket >= buckets_.count()) return;  // also kNoBucket, or a remap in between
    // Relaxed: only a hint; lookup() loads the head again with acquire.
    std::uint32_t reference =
        Brell::loadLink(buckets_.head(bucket), std::memory_order_relaxed).value;
    if (Brell::isEnd(reference)) return;
    std::uint32_t index = Brell::indexOf(reference);
    if (index >= slots_->numSlots()) return;
    unsigned char const* slot = slots_->slot(index);
    __builtin_prefetch(slot);
    // A slot may straddle two cache lines.
    __builtin_prefetch(slot + (Slots::kSlotSize - 1));
  }

  // The first slot of the list from `bucket` on.
  Outcome first(std::uint32_t bucket, Body& body, std::uint32_t& slotIndex, SlotLink& link) {
    std::uint32_t buckets = buckets_.count();
    if (buckets == 0) return Outcome::notFound;
    if (bucket >= buckets) {
      throw Vorl::RangeException(
          fmt::format("bucket {} out of range numBuckets:{}", bucket, buckets));
    }
    for (;;) {
      Cursor cursor = start(bucket);
      cursor.pastKey = true;
      Outcome outcome = walk(cursor, Key{}, 0, Mode::after, body, slotIndex, link);
      if (outcome != Outcome::retry || restarted_ == false) return outcome;
      restarted_ = false;
      ++counters_->retries;
    }
  }

  // The slot after a slot whose link is known (iteration fast path). Outcome::retry
  // means the hint went stale: the caller takes the slow path.
  Outcome after(std::uint32_t hintSlot, SlotLink hintLink, std::uint32_t hintRhash, Body& body,
                std::uint32_t& slotIndex, SlotLink& link) {
    std::uint32_t buckets = buckets_.count();
    if (buckets == 0) return Outcome::notFound;
    Cursor cursor;
    cursor.previous = slots_->slot(hintSlot);
    cursor.previousLink = hintLink;
    cursor.bucket = Brell::reverseBits(hintRhash) & (buckets - 1);
    cursor.pastKey = true;
    Outcome outcome = walk(cursor, Key{}, 0, Mode::after, body, slotIndex, link);
    restarted_ = false;
    return outcome;
  }

 private:
  Cursor start(std::uint32_t bucket) const {
    Cursor cursor;
    cursor.previous = buckets_.head(bucket);
    // Pairs with the writer's release stores of bucket heads (publish, unlink, split).
    cursor.previousLink = Brell::loadLink(cursor.previous);
    cursor.bucket = bucket;
    return cursor;
  }

  bool countChanged() const { return buckets_.liveCountLink() != buckets_.cachedCountLink(); }

  // Ends a walk at a reference with bit 31 set. In Mode::after it moves on to the
  // bucket the marker names; returns true when the walk should continue there.
  Outcome endOfRun(Cursor& cursor, std::uint32_t reference, Mode mode, bool& moved,
                   std::uint32_t& moves) {
    std::uint32_t buckets = buckets_.count();
    moved = false;
    if (mode == Mode::equal) {
      if (countChanged()) return Outcome::retry;
      if (!Brell::isNull(reference) && Brell::indexOf(reference) >= buckets) {
        ReaderHashMapCommon::badMarker(reference, buckets);
      }
      return Outcome::notFound;
    }
    if (Brell::isNull(reference)) {
      // The list ends in the last bucket's run. While the writer splits N/2 into N
      // (or merges N into N/2), the run of bucket N/2 - 1 may still hold the last
      // keys and end the list; anywhere else an early end is damage.
      if (cursor.bucket != buckets - 1 && cursor.bucket != buckets / 2 - 1) {
        if (countChanged()) return Outcome::retry;
        ReaderHashMapCommon::reachedEnd(cursor.bucket, buckets);
      }
      return Outcome::notFound;
    }
    std::uint32_t next = Brell::indexOf(reference);
    if (next >= buckets) {
      if (countChanged()) return Outcome::retry;
      ReaderHashMapCommon::badMarker(reference, buckets);
    }
    if (++moves > buckets) ReaderHashMapCommon::cycle(cursor.bucket, moves);
    cursor = start(next);
    cursor.pastKey = true;
    moved = true;
    return Outcome::notFound;
  }

  Outcome walk(Cursor cursor, Key const& key, std::uint32_t rhash, Mode mode, Body& body,
               std::uint32_t& slotIndex, SlotLink& link) {
    std::uint32_t buckets = buckets_.count();
    std::uint32_t numSlots = slots_->numSlots();
    std::uint32_t steps = 0;
    std::uint32_t moves = 0;
    std::uint32_t reference = cursor.previousLink.value & ~Brell::kMarkFlag;
    for (;;) {
      if (Brell::isEnd(reference)) {
        bool moved;
        Outcome outcome = endOfRun(cursor, reference, mode, moved, moves);
        if (!moved) return outcome;
        reference = cursor.previousLink.value & ~Brell::kMarkFlag;
        continue;
      }
      if (++steps > numSlots) ReaderHashMapCommon::cycle(cursor.bucket, steps);
      std::uint32_t index = Brell::indexOf(reference);
      if (index >= numSlots) ReaderHashMapCommon::outOfRange(index, numSlots);
      SlotLink current = slots_->readSlot(index, body);
      // The link we followed must still point here; pairs with the writer's release
      // stores of that link (unlink, publish, relink on move).
      if (Brell::loadLink(cursor.previous) != cursor.previousLink) {
        restarted_ = true;
        return Outcome::retry;
      }
      if ((current.version & Brell::kOccupiedBit) == 0) {
        // readSlot reads a slot as free when the slot count changed under it.
        if (!slots_->countCurrent()) return Outcome::retry;
        ReaderHashMapCommon::notOccupied(index, current.version);
      }
      int order = 1;
      if (!cursor.pastKey) {
        std::uint32_t slotRhash = body.rhash();
        order = Brell::ListOrder<T>::compare(slotRhash, T::key(body.value()), rhash, key);
      }
      if (order == 0 && mode == Mode::equal) {
        slotIndex = index;
        link = current;
        return Outcome::found;
      }
      if (order > 0) {
        // A successor found with a stale bucket count may come from a head that a
        // merge released (it reads as zeros), so it only counts with the count still
        // current; otherwise remap and walk again.
        if (countChanged()) return Outcome::retry;
        if (mode == Mode::equal) return Outcome::notFound;
        slotIndex = index;
        link = current;
        return Outcome::found;
      }
      // A smaller pair: the key must belong here, allowing for a split or merge in
      // progress (the bucket under half or twice the count).
      std::uint32_t slotHash = T::hash(T::key(body.value()), slots_->hashSeed());
      if ((slotHash & (buckets - 1)) != cursor.bucket &&
          (slotHash & ((buckets >> 1) - (buckets > 1 ? 1 : 0))) != cursor.bucket &&
          (slotHash & (2 * buckets - 1)) != cursor.bucket) {
        if (countChanged()) return Outcome::retry;
        ReaderHashMapCommon::corruptKey(index, cursor.bucket);
      }
      cursor.previous = slots_->slot(index);
      cursor.previousLink = current;
      reference = current.value & ~Brell::kMarkFlag;
    }
  }

  BucketReader<SlotLink> buckets_;
  Slots* slots_;
  Brell::ReaderCounters* counters_;
  bool restarted_ = false;
};

}  // namespace BrellCore
