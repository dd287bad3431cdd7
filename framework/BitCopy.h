// The one bit-copy routine behind every field accessor.
//
// Bits are numbered within a byte array from bit 0 of byte 0 upward: bit b is bit
// (b % 8) of byte (b / 8). copyBits copies `bitCount` bits from the source, starting
// at source bit `sourceOffset`, to the destination starting at `destinationOffset`,
// leaving every other destination bit unchanged. Both ranges are checked against the
// array lengths; a range outside them is a programming error (fatal assertion),
// never an out-of-bounds access.
#pragma once

#include "platform/plugin/Export.h"

#include <cstddef>
#include <cstdint>

namespace Framework {

HWTABLES_API void copyBits(std::uint8_t* destination, std::size_t destinationLength,
              std::uint8_t const* source, std::size_t sourceLength, std::size_t bitCount,
              std::size_t destinationOffset, std::size_t sourceOffset);

}  // namespace Framework
