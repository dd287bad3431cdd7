#include <gtest/gtest.h>

#include "platform/lutz/PerUnitBitmap.h"
#include "platform/vorl/Exceptions.h"

namespace {

using Lutz::PerUnitBitmap;

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
