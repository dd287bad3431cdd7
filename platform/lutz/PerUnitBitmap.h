// A bit string of a given width, kept in 32-bit words, least significant first.
//
// Bit k lives in word k / 32 at bit k % 32; byte i of the bitmap is bits 8i..8i+7.
// Bits at or above the width are always zero. Table fields that are bit strings
// (a whole-entry view, a 72-bit view) are read and written through this type.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <span>
#include <vector>

#include "platform/vorl/String.h"

namespace Lutz {

class HWTABLES_API PerUnitBitmap {
 public:
  PerUnitBitmap() = default;
  explicit PerUnitBitmap(std::size_t widthBits)
      : widthBits_(widthBits), words_((widthBits + 31) / 32, 0) {}

  std::size_t widthBits() const { return widthBits_; }
  std::size_t wordCount() const { return words_.size(); }
  std::size_t byteCount() const { return words_.size() * 4; }

  // Index checks throw Vorl::RangeException (the vector range error).
  std::uint32_t word(std::size_t index) const;
  void wordIs(std::size_t index, std::uint32_t value);
  std::uint8_t byte(std::size_t index) const;
  bool bit(std::size_t index) const;
  void bitIs(std::size_t index, bool value);

  // ORs `bytes` in, byte 0 at bit `bitOffset`; the width grows to cover them.
  void bitsOr(std::span<std::uint8_t const> bytes, std::size_t bitOffset = 0);
  // ORs the value's eight bytes in, least significant byte at bit `bitOffset`.
  void bitsOr(std::uint64_t value, std::size_t bitOffset = 0);

  // Shifts every bit up by `count` within the width: bits moved past the top are
  // lost, vacated low bits become 0.
  void shiftLeft(std::size_t count);

  bool operator==(PerUnitBitmap const&) const = default;

  // Hex digits, most significant byte first ("0x" prefix), width bits wide.
  Vorl::String toString() const;

 private:
  void clearAboveWidth();
  void widthAtLeast(std::size_t widthBits);

  std::size_t widthBits_ = 0;
  std::vector<std::uint32_t> words_;
};

}  // namespace Lutz
