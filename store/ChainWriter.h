// The writer's changes to the slots and chains, each made in the order readers
// rely on: taking a slot from the free list (growing the table when it is empty),
// linking a new entry, rewriting a value in place, unlinking, setting the
// mark-and-sweep flag.
//
// Publication order (see SlotLayout.h): a new slot is fully written (link, value,
// rhash, occupied bit) before the one 8-byte store that links it into its
// predecessor; a removed slot is unlinked before it is freed; every link change adds
// 4 to its version word. Each store below names the reader load it pairs with.
//
// Every change runs inside a CriticalSection (WriterOperation.h) and reports the
// slots it changed to it. Thread-safety: the writer's thread only.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/Debug.h"
#include "store/SlotWriterTable.h"
#include "store/WriterHashMap.h"
#include "store/WriterOperation.h"

namespace Brell {

template <StoreTraits T>
class ChainWriter {
 public:
  using Value = typename T::Value;
  using Info = TraitsInfo<T>;
  using Slots = SlotWriterTable<T>;
  using Map = BrellCore::WriterHashMap<T>;

  ChainWriter(Slots& slots, Map& map, WriterCounters& counters, WriterOperation<T>& operation,
              std::string const& rootPath)
      : slots_(slots), map_(map), counters_(counters), operation_(operation), rootPath_(rootPath) {}

  // Pops the free-list head, growing the table when the list is empty. The paths
  // that change nothing (table full, file cannot grow) close the section first.
  std::uint32_t allocateSlot(CriticalSection<T>& section) {
    if (isNull(slots_.freeListHead())) {
      bool grown;
      try {
        grown = slots_.grow();
      } catch (Vorl::MemoryResourceException const&) {
        section.leave();
        throw;
      }
      if (!grown) {
        section.leave();
        throw TableFullException(fmt::format("Brell table full (occupancy:{} tableSize:{}) {}",
                                             slots_.occupancy(), slots_.maxSize(), rootPath_));
      }
    }
    std::uint32_t head = slots_.freeListHead();
    std::uint32_t index = indexOf(head);
    if (isEnd(head) || index >= slots_.numSlots()) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("out-of-range index: {} max:{}", head, slots_.maxSlotIndex()));
    }
    SlotLink link = slots_.link(index);
    if ((link.version & kOccupiedBit) != 0) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("free-list head slot:{} is occupied version:{:#x}", index, link.version));
    }
    slots_.freeListHeadIs(link.value & ~kMarkFlag);
    slots_.occupancyIs(slots_.occupancy() + 1);
    ++counters_.allocations;
    return index;
  }

  // Returns an allocated, never linked slot to the free list.
  void freeSlot(std::uint32_t index) {
    SlotLink link = slots_.link(index);
    storeLink(slots_.slot(index), SlotLink{link.version + kVersionStep, slots_.freeListHead()});
    slots_.freeListHeadIs(index);
    slots_.occupancyIs(slots_.occupancy() - 1);
  }

  // Fills a free slot and links it after `previous`. New entries start unmarked.
  void linkNewSlot(std::uint32_t index, BrellCore::LinkPlace previous, Value const& value,
                   std::uint32_t rhash) {
    unsigned char* slot = slots_.slot(index);
    SlotLink link = slots_.link(index);
    SlotLink previousLink = map_.load(previous);
    std::uint32_t next = previousLink.value & ~kMarkFlag;
    std::uint32_t version = (link.version & ~(kOccupiedBit | kRewriteBit)) + kVersionStep;
    // The slot is not reachable through any chain yet. These version changes pair
    // with the seqlock loads of a reader that still holds the slot from its previous
    // life: it sees the version move and rereads or restarts.
    storeLink(slot, SlotLink{version, next});
    storeLink(slot, SlotLink{version + kRewriteBit, next});
    std::atomic_thread_fence(std::memory_order_release);
    writeBody(slot, value, rhash);
    storeLink(slot, SlotLink{(version + kVersionStep) | kOccupiedBit, next});
    // Publish. Pairs with the reader's acquire load of the predecessor link in
    // ReaderHashMap::lookup: a reader that sees this link sees the slot complete.
    storeLink(map_.address(previous),
              SlotLink{previousLink.version + kVersionStep, index | markOf(previousLink.value)});
    operation_.changed(index);
  }

  // Replaces an occupied slot's value in place through the lookaside slot.
  void rewriteValue(std::uint32_t index, Value const& value) {
    rewriteSlot(slots_.slot(index), slots_.lookaside() + SlotOffset::value, value);
    ++counters_.rewrites;
    operation_.changed(index);
  }

  // rewriteValue() of values[at] into slot indices[at] for every `at` below `count`,
  // in order (a slot named twice keeps the later value). The addresses and the
  // ring's place are worked out once for all of them: each rewrite's fences make the
  // compiler load again whatever it keeps in memory, which cost as much as the
  // rewrite's own stores.
  void rewriteValues(std::uint32_t const* indices, Value const* values, std::size_t count) {
    unsigned char* const first = slots_.slot(0);
    unsigned char* const lookaside = slots_.lookaside() + SlotOffset::value;
    for (std::size_t at = 0; at < count; ++at) {
      rewriteSlot(first + std::size_t{indices[at]} * Info::kSlotSize, lookaside, values[at]);
    }
    counters_.rewrites += count;
    operation_.changed(indices, count);
  }

  // Takes the entry at `position` out of its chain and frees its slot.
  void unlink(typename Map::Position const& position) {
    std::uint32_t index = position.slot;
    unsigned char* slot = slots_.slot(index);
    SlotLink link = slots_.link(index);
    SlotLink previous = map_.load(position.previous);
    // Unlink. Pairs with the reader's acquire load of the predecessor link in
    // ReaderHashMap::lookup: a reader still at this slot sees that link changed and
    // restarts.
    storeLink(map_.address(position.previous),
              SlotLink{previous.version + kVersionStep,
                       (link.value & ~kMarkFlag) | markOf(previous.value)});
    // Free: occupied bit cleared and +4 in the same store; pairs with the reader's
    // seqlock load of this slot's version (a reader copying it sees the change).
    storeLink(slot, SlotLink{(link.version & ~kOccupiedBit) + kVersionStep,
                             slots_.freeListHead() | markOf(link.value)});
    slots_.freeListHeadIs(index);
    slots_.occupancyIs(slots_.occupancy() - 1);
    ++counters_.removals;
    operation_.changed(index);
  }

  // Sets or clears an occupied slot's mark-and-sweep flag.
  void markIs(std::uint32_t index, bool marked) {
    SlotLink link = slots_.link(index);
    std::uint32_t reference = marked ? link.value | kMarkFlag : link.value & ~kMarkFlag;
    // Pairs with the reader's seqlock load of the version: the flag travels with the
    // entry but a chain walk ignores it.
    storeLink(slots_.slot(index), SlotLink{link.version + kVersionStep, reference});
  }

 private:
  static constexpr std::size_t kBodyWords = Info::kBodySize / 8;

  // Stores the words of the body that hold the value: whole words straight from
  // `value`, and a last word the value ends inside put together in a register from
  // the value's last bytes and the rest of the old word (`old`, the body as it was:
  // the rhash, which a rewrite keeps). Words past the value are left as they are. A
  // body built in memory by a copy of the value over the old body and read back in
  // words would make the processor wait on the word that mixes two stores of
  // different sizes (most of a rewrite's time, measured).
  static void storeValueWords(unsigned char* target, Value const& value,
                              std::uint64_t const (&old)[kBodyWords]) {
    static_assert(std::endian::native == std::endian::little);
    constexpr std::size_t kWhole = sizeof(Value) / 8;
    constexpr std::size_t kTail = sizeof(Value) % 8;
    auto const* from = reinterpret_cast<unsigned char const*>(&value);
    auto* words = reinterpret_cast<std::uint64_t*>(target);
#pragma GCC unroll 8
    for (std::size_t word = 0; word < kWhole; ++word) {
      std::uint64_t bytes;
      std::memcpy(&bytes, from + word * 8, 8);
      storeLong(words + word, bytes);
    }
    if constexpr (kTail != 0) {
      std::uint64_t tail = 0;
      std::memcpy(&tail, from + kWhole * 8, kTail);
      constexpr std::uint64_t kMask = (std::uint64_t{1} << (8 * kTail)) - 1;
      storeLong(words + kWhole, (old[kWhole] & ~kMask) | tail);
    }
  }

  // The words of a body that hold the value and the rhash; the rest is padding,
  // zero in every slot and in the lookaside slot alike, so a rewrite leaves it.
  static constexpr std::size_t kLiveWords = (Info::kValueSize + 4 + 7) / 8;
  static_assert(kLiveWords <= kBodyWords);

  // One slot's rewrite, in the order readers rely on. The old value and rhash go to
  // the lookaside slot first, where a reader that sees bit 1 copies them from.
  [[gnu::always_inline]] static void rewriteSlot(unsigned char* slot, unsigned char* lookaside,
                                                 Value const& value) {
    SlotLink link = loadLink(slot, std::memory_order_relaxed);
    std::uint64_t body[kBodyWords];
    copyFromShared(body, slot + SlotOffset::value, kLiveWords * 8);
    // Orders the lookaside stores after the end of any earlier rewrite; pairs with
    // the acquire fence in SlotReaderTable::readSlot, so a reader that copied part of
    // the new lookaside also sees the earlier slot's final version and retries.
    std::atomic_thread_fence(std::memory_order_release);
    copyToShared(lookaside, body, kLiveWords * 8);
    // Bit 1 on: pairs with the reader's acquire load of the version in readSlot; a
    // reader that sees it reads the (complete) lookaside copy stored above.
    storeLink(slot, SlotLink{link.version + kRewriteBit, link.value});
    std::atomic_thread_fence(std::memory_order_release);
    storeValueWords(slot + SlotOffset::value, value, body);
    // Bit 1 off, +4 in all: pairs with the reader's re-load of the version after its
    // copy; a reader that overlapped the copy sees the version moved and retries.
    storeLink(slot, SlotLink{link.version + 2 * kRewriteBit, link.value});
  }

  void writeBody(unsigned char* slot, Value const& value, std::uint32_t rhash) {
    unsigned char body[Info::kBodySize] = {};
    std::memcpy(body, &value, sizeof(Value));
    std::memcpy(body + Info::kRhashOffset, &rhash, 4);
    copyToShared(slot + SlotOffset::value, body, Info::kBodySize);
  }

  Slots& slots_;
  Map& map_;
  WriterCounters& counters_;
  WriterOperation<T>& operation_;
  std::string const& rootPath_;
};

}  // namespace Brell
