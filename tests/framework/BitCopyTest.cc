#include <gtest/gtest.h>

#include <array>
#include <random>

#include "framework/BitCopy.h"

namespace {

bool bitOf(std::uint8_t const* bytes, std::size_t bit) { return (bytes[bit / 8] >> (bit % 8)) & 1; }

void referenceCopy(std::uint8_t* destination, std::uint8_t const* source, std::size_t count,
                   std::size_t destinationOffset, std::size_t sourceOffset) {
  for (std::size_t index = 0; index < count; ++index) {
    std::size_t bit = destinationOffset + index;
    auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    destination[bit / 8] = bitOf(source, sourceOffset + index)
                               ? static_cast<std::uint8_t>(destination[bit / 8] | mask)
                               : static_cast<std::uint8_t>(destination[bit / 8] & ~mask);
  }
}

TEST(CopyBits, MatchesTheReferenceForEveryAlignment) {
  std::mt19937 random(42);
  std::array<std::uint8_t, 5> source{};
  for (auto& byte : source) byte = static_cast<std::uint8_t>(random());
  for (std::size_t sourceOffset = 0; sourceOffset < 16; ++sourceOffset) {
    for (std::size_t destinationOffset = 0; destinationOffset < 16; ++destinationOffset) {
      for (std::size_t count = 0; count + std::max(sourceOffset, destinationOffset) <= 40;
           ++count) {
        std::array<std::uint8_t, 5> expected{0x5A, 0xA5, 0x3C, 0xC3, 0x99};
        auto actual = expected;
        referenceCopy(expected.data(), source.data(), count, destinationOffset, sourceOffset);
        Framework::copyBits(actual.data(), actual.size(), source.data(), source.size(), count,
                            destinationOffset, sourceOffset);
        ASSERT_EQ(actual, expected) << "source bit " << sourceOffset << " destination bit "
                                    << destinationOffset << " count " << count;
      }
    }
  }
}

TEST(CopyBitsDeathTest, RefusesARangeOutsideEitherArray) {
  std::uint8_t destination[2] = {};
  std::uint8_t source[2] = {};
  EXPECT_DEATH(Framework::copyBits(destination, 2, source, 2, 10, 7, 0), "copyBits of 10 bits");
  EXPECT_DEATH(Framework::copyBits(destination, 2, source, 2, 9, 0, 8), "copyBits of 9 bits");
}

}  // namespace
