#include "framework/BitCopy.h"

#include <algorithm>

#include "platform/asic/Assert.h"

namespace Framework {

void copyBits(std::uint8_t* destination, std::size_t destinationLength,
              std::uint8_t const* source, std::size_t sourceLength, std::size_t bitCount,
              std::size_t destinationOffset, std::size_t sourceOffset) {
  ASIC_FATAL_ASSERT(destinationOffset + bitCount <= destinationLength * 8 &&
                        sourceOffset + bitCount <= sourceLength * 8,
                    "bit range within both arrays",
                    "copyBits of {} bits from bit {} of {} bytes to bit {} of {} bytes", bitCount,
                    sourceOffset, sourceLength, destinationOffset, destinationLength);
  // Copy the largest run that stays within one byte on both sides at each step.
  while (bitCount > 0) {
    std::size_t sourceBit = sourceOffset % 8;
    std::size_t destinationBit = destinationOffset % 8;
    std::size_t run = std::min({bitCount, 8 - sourceBit, 8 - destinationBit});
    auto runMask = static_cast<std::uint8_t>((1u << run) - 1);
    auto bits = static_cast<std::uint8_t>((source[sourceOffset / 8] >> sourceBit) & runMask);
    std::uint8_t& target = destination[destinationOffset / 8];
    target = static_cast<std::uint8_t>((target & ~(runMask << destinationBit)) |
                                       (bits << destinationBit));
    bitCount -= run;
    sourceOffset += run;
    destinationOffset += run;
  }
}

}  // namespace Framework
