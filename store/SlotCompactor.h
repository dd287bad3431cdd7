// Compaction of the slot table: when the occupancy falls below half the shrink
// threshold, the entries above the new size move down to free slots below it and
// the table shrinks.
//
// A move copies the entry to its new slot, then relinks the predecessor (one 8-byte
// store, so a reader finds the entry either in the old slot or in the new one), and
// only then takes the old slot out of every list; see SlotLayout.h. Long runs yield
// to the agent's critical task (TimeSlicer).
//
// Runs inside the caller's CriticalSection. Thread-safety: the writer's thread only.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/Debug.h"
#include "store/SlotWriterTable.h"
#include "store/WriterHashMap.h"
#include "store/WriterOperation.h"

namespace Brell {

template <StoreTraits T>
class SlotCompactor {
 public:
  using Info = TraitsInfo<T>;
  using Key = typename T::Key;
  using Slots = SlotWriterTable<T>;
  using Map = BrellCore::WriterHashMap<T>;

  SlotCompactor(Slots& slots, Map& map, WriterCounters& counters, WriterOperation<T>& operation,
                bool criticalTaskCheck)
      : slots_(slots),
        map_(map),
        counters_(counters),
        operation_(operation),
        criticalTaskCheck_(criticalTaskCheck) {}

  // Compaction when the occupancy fell below half the shrink threshold.
  void maybeShrink() {
    std::uint32_t threshold = slots_.shrinkThreshold();
    if (slots_.occupancy() >= threshold / 2) return;
    shrink(threshold);
  }

 private:
  void shrink(std::uint32_t threshold) {
    std::uint32_t occupied = slots_.occupancy();
    std::uint32_t target = occupied == 0 ? 0 : 1u << (std::bit_width(occupied) - 1 + 2);
    target = std::max(target, slots_.initialCapacity());
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "threshold:{} shrinkThreshold:{}{}", target,
               threshold, target < threshold ? " SUPER SHRINK!" : "");
    if (target >= slots_.numSlots()) return;
    slots_.purgeFreeSlots(target);
    TimeSlicer slicer(criticalTaskCheck_, &counters_.criticalTaskRuns);
    std::uint32_t moved = 0;
    for (std::uint32_t index = slots_.numSlots(); index-- > target;) {
      unsigned char const* slot = slots_.slot(index);
      if ((slots_.link(index).version & kOccupiedBit) == 0) {
        VORL_TRACE(Debug::slotTable(), kDebugLevel, "skipping not occupied slot:{}", index);
        continue;
      }
      auto position = map_.locate(T::key(*Slots::valueAt(slot)));
      if (!position.found) {
        throw Vorl::CorruptionDetectedException(fmt::format("fromSlot:{} key not found", index));
      }
      if (position.slot != index) {
        throw Vorl::CorruptionDetectedException(fmt::format("fromSlot:{} not referenced", index));
      }
      move(index, position.previous);
      ++moved;
      slicer.check();
    }
    slots_.shrink(target);
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "at threshold:{} done", target);
    counters_.moves += moved;
  }

  // Moves the entry of slot `from` to the free-list head, a lower slot.
  void move(std::uint32_t from, BrellCore::LinkPlace previous) {
    std::uint32_t to = slots_.freeListHead();
    if (isEnd(to) || to >= slots_.numSlots()) {
      throw Vorl::CorruptionDetectedException(fmt::format("not valid toSlotId:{}", to));
    }
    if (to >= from) {
      throw Vorl::CorruptionDetectedException(fmt::format(
          "should always move entries to lower section fromSlotId:{} toSlotId:{}", from, to));
    }
    unsigned char* fromSlot = slots_.slot(from);
    unsigned char* toSlot = slots_.slot(to);
    SlotLink fromLink = slots_.link(from);
    SlotLink toLink = slots_.link(to);
    if ((toLink.version & kOccupiedBit) != 0) {
      throw Vorl::CorruptionDetectedException(fmt::format("not valid toSlotId:{}", to));
    }
    slots_.freeListHeadIs(toLink.value & ~kMarkFlag);
    unsigned char body[Info::kBodySize];
    copyFromShared(body, fromSlot + SlotOffset::value, Info::kBodySize);
    // The destination is unreachable until the predecessor is relinked below; the
    // versions pair with the seqlock loads of a reader holding it from its past.
    std::uint32_t version = (toLink.version & ~(kOccupiedBit | kRewriteBit));
    storeLink(toSlot, SlotLink{version + kRewriteBit, fromLink.value});
    std::atomic_thread_fence(std::memory_order_release);
    copyToShared(toSlot + SlotOffset::value, body, Info::kBodySize);
    storeLink(toSlot, SlotLink{(version + kVersionStep) | kOccupiedBit, fromLink.value});
    SlotLink previousLink = map_.load(previous);
    // Pairs with the reader's acquire load of the predecessor: from now on readers
    // reach the entry in its new slot.
    storeLink(map_.address(previous),
              SlotLink{previousLink.version + kVersionStep, to | markOf(previousLink.value)});
    // The source leaves every list; a reader at it sees the version change.
    storeLink(fromSlot,
              SlotLink{(fromLink.version & ~kOccupiedBit) + kVersionStep, kNullReference});
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "moving fromSlot:{} toSlot:{}", from, to);
    operation_.changed(to);
    operation_.changed(from);
  }

  Slots& slots_;
  Map& map_;
  WriterCounters& counters_;
  WriterOperation<T>& operation_;
  bool criticalTaskCheck_;
};

}  // namespace Brell
