// A shadow's one-step way from a key to its slot: Brell::ShadowSlotFinder.
//
// The shadow's ordered index (ShadowHashMap) chains shadow slots, so a lookup through
// it loads a bucket head, then the shadow slot it names (and maybe the next one of
// the chain), and only then the shared slot: at a million entries each of those is a
// cache miss that waits for the one before. The finder holds the same key -> slot
// index pairs in one open-addressed array, key and slot index side by side, so a
// lookup costs one probe (usually one cache line) before it goes to shared memory.
// The ordered index stays the authority for order and iteration; the finder is kept
// equal to it (ShadowStore updates both at every link and unlink, and validateIndex
// checks that they agree).
//
// Linear probing at a load of at most one half (the table doubles beyond it and
// halves below one eighth); removal shifts the following entries back instead of
// leaving tombstones, so a probe ends at the first empty entry. The hash is private
// to this table (a new store seed moves nothing here): for a key that is one integer
// a multiplication, whose high bits pick the entry (three instructions where the
// store's hash takes seventeen, a fifth of a small table's lookup); for other keys
// the store's key hash.
//
// Thread-safety: the shadow's thread only; nothing here is shared between processes.
#pragma once

#include <bit>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/Traits.h"

namespace Brell {

template <StoreTraits T>
class ShadowSlotFinder {
 public:
  using Key = typename T::Key;
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  ShadowSlotFinder() = default;
  // find() reads through a pointer into the entries: not copied or moved.
  ShadowSlotFinder(ShadowSlotFinder const&) = delete;
  ShadowSlotFinder& operator=(ShadowSlotFinder const&) = delete;

  // The slot index `key` is linked at, or kNone. The key is compared first: an
  // empty entry holds kNone, so returning its slot when its (default) key happens to
  // equal `key` is the right answer too, and a hit takes one test instead of two.
  [[gnu::always_inline]] std::uint32_t find(Key const& key) const {
    for (std::uint32_t at = home(key);; at = (at + 1) & mask_) {
      Entry const& entry = table_[at];
      if (T::compare(entry.key, key) == 0) return entry.slot;
      if (entry.slot == kNone) return kNone;
    }
  }

  // Makes room for one more key, so that the set() after it cannot fail: called
  // before the ordered index links a key, the two stay equal when memory runs out.
  // Throws MemoryResourceException (and changes nothing) when it cannot.
  void reserveOneMore() {
    if (std::uint64_t{count_ + 1} * 2 <= entries_.size()) return;
    std::uint32_t size =
        entries_.empty() ? kMinEntries : static_cast<std::uint32_t>(entries_.size() * 2);
    if (!resize(size)) {
      throw Vorl::MemoryResourceException(
          fmt::format("failed to resize {} from {} to {} entries", "heap", entries_.size(), size));
    }
  }

  // `key` is linked at `slot` now (added, or moved from another slot).
  void set(Key const& key, std::uint32_t slot) {
    reserveOneMore();
    std::uint32_t at = positionOf(key);
    if (entries_[at].slot == kNone) ++count_;
    entries_[at] = Entry{key, slot};
  }

  // `key` is no longer linked anywhere; nothing happens when it was not.
  void erase(Key const& key) {
    if (count_ == 0) return;
    std::uint32_t hole = positionOf(key);
    if (entries_[hole].slot == kNone) return;
    // Backward shift: an entry after the hole moves into it unless its probe starts
    // cyclically after the hole (it would then be found before reaching the hole).
    for (std::uint32_t at = (hole + 1) & mask_; entries_[at].slot != kNone; at = (at + 1) & mask_) {
      std::uint32_t start = home(entries_[at].key);
      if (((at - start) & mask_) >= ((at - hole) & mask_)) {
        entries_[hole] = entries_[at];
        hole = at;
      }
    }
    entries_[hole] = Entry{};
    --count_;
    if (entries_.size() > kMinEntries && std::uint64_t{count_} * 8 < entries_.size()) {
      resize(static_cast<std::uint32_t>(entries_.size() / 2));
    }
  }

  void clear() {
    std::vector<Entry>().swap(entries_);
    table_ = kEmptyTable;
    mask_ = 0;
    shift_ = 63;
    count_ = 0;
  }

  std::uint32_t size() const { return count_; }
  std::size_t memoryBytes() const { return entries_.capacity() * sizeof(Entry); }

 private:
  struct Entry {
    Key key{};
    std::uint32_t slot = kNone;
  };
  static constexpr std::uint32_t kMinEntries = 16;
  // What find() probes while the table is empty: with a mask of 0 and a shift of 63
  // every probe starts at entry 0 or 1 and ends there, at an empty entry. It saves
  // find() a test of the count.
  static constexpr Entry kEmptyTable[2] = {};

  // The entry a probe for `key` starts at.
  [[gnu::always_inline]] std::uint32_t home(Key const& key) const {
    if constexpr (std::is_integral_v<Key> && sizeof(Key) <= 4) {
      return static_cast<std::uint32_t>(
          (std::uint64_t{static_cast<std::uint32_t>(key)} * 0x9E3779B97F4A7C15ull) >> shift_);
    } else {
      return T::hash(key, 0) & mask_;
    }
  }

  // Where `key` is, or the empty entry that ends its probe.
  std::uint32_t positionOf(Key const& key) const {
    std::uint32_t at = home(key);
    while (entries_[at].slot != kNone && T::compare(entries_[at].key, key) != 0) {
      at = (at + 1) & mask_;
    }
    return at;
  }

  // Rehashes into `size` entries; false (nothing changed) when there is no memory
  // for them. A shrink that fails just keeps the larger table.
  bool resize(std::uint32_t size) {
    std::vector<Entry> old;
    try {
      old.assign(size, Entry{});
    } catch (std::bad_alloc const&) {
      return false;
    }
    old.swap(entries_);
    table_ = entries_.data();
    mask_ = size - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
    for (Entry const& entry : old) {
      if (entry.slot != kNone) entries_[positionOf(entry.key)] = entry;
    }
    return true;
  }

  std::vector<Entry> entries_;
  Entry const* table_ = kEmptyTable;  // entries_, or kEmptyTable while it has none
  std::uint32_t mask_ = 0;
  unsigned shift_ = 63;  // 64 - log2(entries), for the integer keys' hash
  std::uint32_t count_ = 0;
};

}  // namespace Brell
