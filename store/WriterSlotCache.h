// Where the writer last found its keys: Brell::WriterSlotCache.
//
// A batch of updates finds every key's slot before it changes it, and for a key that
// is one integer the store's hash and chain walk were two fifths of a batched
// update's instructions. The cache keeps (key, slot index) pairs in sets of two, the
// set picked by one multiplication of the key, and answers from them only when the
// slot still holds the key: the index is below the slot count, the slot is occupied
// and its key is the key asked for. A key is held by at most one occupied slot, so
// an answer is right however old the pair is. Nothing else keeps the cache up to
// date: an entry removed, moved by compaction or wiped only makes its pair miss, and
// the caller then walks the chain as before and remembers what it found.
//
// Only for keys that are one integer of at most 4 bytes (kEnabled): for other keys
// the store's hash of the key would be paid anyway. Memory is taken on first use
// (fit()), so a writer that never writes batches has none.
//
// Thread-safety: the writer's thread only; nothing here is shared between processes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

#include "store/Link.h"
#include "store/SlotWriterTable.h"
#include "store/Traits.h"

namespace Brell {

template <StoreTraits T>
class WriterSlotCache {
 public:
  using Key = typename T::Key;
  using Slots = SlotWriterTable<T>;
  static constexpr bool kEnabled = std::is_integral_v<Key> && sizeof(Key) <= 4;
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  WriterSlotCache() = default;
  // find() reads through a pointer into the entries: not copied or moved.
  WriterSlotCache(WriterSlotCache const&) = delete;
  WriterSlotCache& operator=(WriterSlotCache const&) = delete;

  // Sizes the cache for a table of `slots` slots: two sets of two pairs per slot (32
  // bytes), at least kMinSets; it only grows (emptied when it does). True when the
  // cache is worth asking. A table of more than kMaxSets / 2 slots would need more
  // than 512 KiB, and a cache held at that size would miss more the larger the table,
  // each miss a probe of a large array before the walk: the cache then lets its
  // memory go and answers nothing (false), as it does without memory for a larger
  // table.
  bool fit(std::uint32_t slots) {
    if constexpr (kEnabled) {
      if (slots > kMaxSets / 2) {
        clear();
        return false;
      }
      std::uint32_t sets = std::bit_ceil(std::max(2 * slots, kMinSets));
      if (sets <= setMask_ + 1 && !entries_.empty()) return true;
      try {
        std::vector<Entry>(std::size_t{sets} * 2).swap(entries_);
      } catch (std::bad_alloc const&) {
        clear();
        return false;
      }
      table_ = entries_.data();
      setMask_ = sets - 1;
      return true;
    } else {
      return false;
    }
  }

  // Releases the memory (the writer detached).
  void clear() {
    std::vector<Entry>().swap(entries_);
    table_ = kEmptyTable;
    setMask_ = 0;
  }

  // The slot that holds `key` now, or kNone when the cache cannot tell.
  [[gnu::always_inline]] std::uint32_t find(Key key, Slots const& slots) const {
    Entry const* set = table_ + 2 * setOf(key);
    std::uint32_t slot = set[0].key == key ? set[0].slot : set[1].key == key ? set[1].slot : kNone;
    if (slot >= slots.numSlots()) return kNone;
    unsigned char const* address = slots.slot(slot);
    if ((slots.link(slot).version & kOccupiedBit) == 0 ||
        T::compare(T::key(*Slots::valueAt(address)), key) != 0) {
      return kNone;
    }
    return slot;
  }

  // `key` was found at `slot`: it goes first in its set, the pair that was first
  // second, the other out.
  void remember(Key key, std::uint32_t slot) {
    if (entries_.empty()) return;
    Entry* set = entries_.data() + 2 * setOf(key);
    if (set[0].key != key) set[1] = set[0];
    set[0] = Entry{key, slot};
  }

 private:
  struct Entry {
    Key key{};
    std::uint32_t slot = kNone;
  };
  static constexpr std::uint32_t kMinSets = 128;
  static constexpr std::uint32_t kMaxSets = std::uint32_t{1} << 15;
  // What find() reads before the first fit(): one set that holds nothing.
  static constexpr Entry kEmptyTable[2] = {};

  // The high half of the key times 2^64 / phi: its bits depend on every key bit.
  std::uint32_t setOf(Key key) const {
    auto mixed = (std::uint64_t{static_cast<std::uint32_t>(key)} * 0x9E3779B97F4A7C15ull) >> 32;
    return static_cast<std::uint32_t>(mixed) & setMask_;
  }

  std::vector<Entry> entries_;
  Entry const* table_ = kEmptyTable;
  std::uint32_t setMask_ = 0;
};

}  // namespace Brell
