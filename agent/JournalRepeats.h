// The journal writer's indexes of what it holds in its layout buffer: rows by their
// CRC-32C and length (a command whose rows the open file has written already is
// recorded as a repeat of the command that wrote them), and whole commands by what
// they write where (a command that writes the same rows to the same place as one
// before it, on other FAPs, is recorded as a copy of it).
#pragma once

#include <cstdint>
#include <vector>

namespace HwAgent::JournalFormat {

// A key's latest place in the buffer and the command that put it there. Open
// addressing over a power of two of slots, no more than half of them used. A slot of
// another generation is empty, so that forgetting everything is one increment.
class BufferIndex {
 public:
  struct Place {
    std::uint64_t sequence = 0;
    std::uint32_t offset = 0;
    // A command's rows, which lie in its record or, for a repeat, in an earlier one's.
    std::uint32_t rowsOffset = 0;
    std::uint32_t rowsSize = 0;
  };

  explicit BufferIndex(std::size_t slots) : slots_(slots) {}

  Place const* find(std::uint64_t key) const {
    for (auto at = slotOf(key);; at = (at + 1) & (slots_.size() - 1)) {
      auto const& slot = slots_[at];
      if (slot.generation != generation_) return nullptr;
      if (slot.key == key) return &slot.place;
    }
  }

  // `key` at `place` of the buffer: kept when the key is new, or in place of what the
  // key had when `replace`.
  void keep(std::uint64_t key, Place const& place, bool replace) {
    if (2 * (kept_ + 1) > slots_.size()) grow();
    auto index = slotOf(key);
    while (slots_[index].generation == generation_) {
      if (slots_[index].key == key) {
        if (replace) slots_[index].place = place;
        return;
      }
      index = (index + 1) & (slots_.size() - 1);
    }
    slots_[index] = {key, place, generation_};
    ++kept_;
  }

  // Everything kept is forgotten (the buffer starts again, or a new file does).
  void forget() {
    kept_ = 0;
    if (++generation_ == 0) {
      for (auto& slot : slots_) slot.generation = 0;
      generation_ = 1;
    }
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    Place place;
    std::uint32_t generation = 0;
  };

  std::size_t slotOf(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ull) >> 32) & (slots_.size() - 1);
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    auto generation = generation_;
    forget();
    for (auto const& slot : old) {
      if (slot.generation != generation) continue;
      auto index = slotOf(slot.key);
      while (slots_[index].generation == generation_) index = (index + 1) & (slots_.size() - 1);
      slots_[index] = slot;
      slots_[index].generation = generation_;
      ++kept_;
    }
  }

  std::vector<Slot> slots_;
  std::size_t kept_ = 0;
  std::uint32_t generation_ = 1;
};

}  // namespace HwAgent::JournalFormat
