#include <gtest/gtest.h>

#include "platform/lutz/PerUnitBitmap.h"
#include "platform/vorl/Exceptions.h"

namespace {

using Lutz::PerUnitBitmap;

TEST(PerUnitBitmap, ShiftAcrossWordsKeepsBitsWithinTheWidth) {
  PerUnitBitmap bitmap(256);
  bitmap.bitsOr(0x0706050403020100ull);  // seven bytes 00..07
  bitmap.shiftLeft(44);
  // Byte k of the value lands at bit 8k + 44: 01 at byte 6 (upper nibble), ...
  EXPECT_EQ(bitmap.byte(6), 0x10);
  EXPECT_EQ(bitmap.byte(7), 0x20);
  EXPECT_EQ(bitmap.byte(12), 0x70);
  EXPECT_EQ(bitmap.byte(5), 0x00);
  EXPECT_EQ(bitmap.widthBits(), 256u);

  PerUnitBitmap top(40);
  top.bitIs(39, true);
  top.bitIs(0, true);
  top.shiftLeft(1);  // bit 39 leaves the width
  EXPECT_FALSE(top.bit(39));
  EXPECT_TRUE(top.bit(1));
  EXPECT_EQ(top.word(1), 0u);
  top.shiftLeft(40);
  EXPECT_EQ(top, PerUnitBitmap(40));
}

TEST(PerUnitBitmap, BitsOrGrowsToTheHighestSetBit) {
  PerUnitBitmap bitmap;
  std::uint8_t bytes[] = {0x00, 0x80, 0x00};
  bitmap.bitsOr(bytes, 4);
  EXPECT_EQ(bitmap.widthBits(), 20u);
  EXPECT_TRUE(bitmap.bit(19));
  EXPECT_EQ(bitmap.toString(), "0x080000");
}

TEST(PerUnitBitmap, IndexChecksThrowAndChangeNothing) {
  PerUnitBitmap bitmap(72);
  EXPECT_EQ(bitmap.wordCount(), 3u);
  EXPECT_THROW(bitmap.word(3), Vorl::RangeException);
  EXPECT_THROW(bitmap.byte(12), Vorl::RangeException);
  EXPECT_THROW(bitmap.bitIs(72, true), Vorl::RangeException);
  bitmap.wordIs(2, 0xFFFFFFFF);  // only bits 64..71 are inside the width
  EXPECT_EQ(bitmap.word(2), 0xFFu);
}

}  // namespace
