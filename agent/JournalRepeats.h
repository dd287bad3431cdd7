// The journal writer's index of the rows it holds in its layout buffer, by their CRC-32C
// and length, so that a command whose rows the open file has written already is
// recorded as a repeat of the command that wrote them.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "agent/JournalFormat.h"

namespace HwAgent::JournalFormat {

// Open addressing over a power of two of slots, no more than half of them used. A slot
// of another generation is empty, so that forgetting every row is one increment.
class RepeatIndex {
 public:
  explicit RepeatIndex(std::size_t slots) : slots_(slots) {}

  // A command's rows: their key, and the command of the open file that wrote the same
  // bytes, when `buffer` still holds them (a match of the key is trusted only when the
  // bytes are the same).
  struct Rows {
    std::uint64_t key = 0;
    std::optional<std::uint64_t> earlier;
  };
  Rows find(std::span<std::uint8_t const> data, std::uint8_t const* buffer) const {
    Rows rows;
    if (data.size() < kSmallestRepeat) return rows;
    rows.key = std::uint64_t{crc32c(data.data(), data.size())} << 32 | data.size();
    for (auto at = slotOf(rows.key);; at = (at + 1) & (slots_.size() - 1)) {
      auto const& slot = slots_[at];
      if (slot.generation != generation_) return rows;
      if (slot.key == rows.key) {
        if (std::memcmp(buffer + slot.offset, data.data(), data.size()) == 0) rows.earlier = slot.sequence;
        return rows;
      }
    }
  }

  // Rows of `size` bytes just laid out whole at `offset` in the buffer by command
  // `sequence`, unless other rows hold their key.
  void keep(std::size_t size, std::uint64_t key, std::uint32_t offset, std::uint64_t sequence) {
    if (size < kSmallestRepeat) return;
    if (2 * (kept_ + 1) > slots_.size()) grow();
    auto index = slotOf(key);
    while (slots_[index].generation == generation_) {
      if (slots_[index].key == key) return;
      index = (index + 1) & (slots_.size() - 1);
    }
    slots_[index] = {key, sequence, offset, generation_};
    ++kept_;
  }

  // Every row kept is forgotten (the buffer starts again, or a new file does).
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
    std::uint64_t sequence = 0;
    std::uint32_t offset = 0;
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
