#include <gtest/gtest.h>

#include "platform/lutz/PerUnitBitmap.h"
#include "platform/vorl/Exceptions.h"

namespace {

using Lutz::PerUnitBitmap;

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
