#include "platform/lutz/PerUnitBitmap.h"

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Lutz {
namespace {

[[noreturn]] void outOfRange(char const* what, std::size_t index, std::size_t size) {
  throw Vorl::RangeException(
      fmt::format("Lutz::PerUnitBitmap {} index {} out of range (size {})", what, index, size));
}

}  // namespace

std::uint32_t PerUnitBitmap::word(std::size_t index) const {
  if (index >= words_.size()) outOfRange("word", index, words_.size());
  return words_[index];
}

void PerUnitBitmap::wordIs(std::size_t index, std::uint32_t value) {
  if (index >= words_.size()) outOfRange("word", index, words_.size());
  words_[index] = value;
  clearAboveWidth();
}

std::uint8_t PerUnitBitmap::byte(std::size_t index) const {
  if (index >= byteCount()) outOfRange("byte", index, byteCount());
  return static_cast<std::uint8_t>(words_[index / 4] >> (8 * (index % 4)));
}

bool PerUnitBitmap::bit(std::size_t index) const {
  if (index >= widthBits_) outOfRange("bit", index, widthBits_);
  return ((words_[index / 32] >> (index % 32)) & 1u) != 0;
}

void PerUnitBitmap::bitIs(std::size_t index, bool value) {
  if (index >= widthBits_) outOfRange("bit", index, widthBits_);
  std::uint32_t mask = 1u << (index % 32);
  words_[index / 32] = value ? (words_[index / 32] | mask) : (words_[index / 32] & ~mask);
}

void PerUnitBitmap::widthAtLeast(std::size_t widthBits) {
  if (widthBits <= widthBits_) return;
  widthBits_ = widthBits;
  words_.resize((widthBits + 31) / 32, 0);
}

void PerUnitBitmap::bitsOr(std::span<std::uint8_t const> bytes, std::size_t bitOffset) {
  // Grow only as far as the highest set bit, so OR-ing zero bytes never widens.
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    for (std::size_t bitIndex = 0; bitIndex < 8; ++bitIndex) {
      if (((bytes[index] >> bitIndex) & 1u) == 0) continue;
      std::size_t position = bitOffset + 8 * index + bitIndex;
      widthAtLeast(position + 1);
      words_[position / 32] |= 1u << (position % 32);
    }
  }
}

void PerUnitBitmap::bitsOr(std::uint64_t value, std::size_t bitOffset) {
  std::uint8_t bytes[8];
  for (std::size_t index = 0; index < 8; ++index) {
    bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
  }
  bitsOr(bytes, bitOffset);
}

void PerUnitBitmap::shiftLeft(std::size_t count) {
  if (count == 0 || words_.empty()) return;
  std::size_t wordShift = count / 32;
  std::size_t bitShift = count % 32;
  for (std::size_t index = words_.size(); index-- > 0;) {
    std::uint32_t value = 0;
    if (index >= wordShift) {
      std::size_t source = index - wordShift;
      value = words_[source] << bitShift;
      if (bitShift != 0 && source > 0) value |= words_[source - 1] >> (32 - bitShift);
    }
    words_[index] = value;
  }
  clearAboveWidth();
}

void PerUnitBitmap::clearAboveWidth() {
  if (widthBits_ % 32 != 0 && !words_.empty()) {
    words_.back() &= (1u << (widthBits_ % 32)) - 1;
  }
}

Vorl::String PerUnitBitmap::toString() const {
  Vorl::String text = "0x";
  std::size_t bytes = (widthBits_ + 7) / 8;
  if (bytes == 0) return "0x0";
  for (std::size_t index = bytes; index-- > 0;) text += fmt::format("{:02x}", byte(index));
  return text;
}

}  // namespace Lutz
