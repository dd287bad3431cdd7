// Bit placement, overlapping views and bounds of the generated entry types.
#include <gtest/gtest.h>

#include <vector>

#include "platform/asic/Assert.h"
#include "tables/AllTables.h"

namespace {

using namespace bcm88490_a0;

template <class Entry>
std::vector<U8> bytesOf(Entry const& entry) {
  return {entry.dataBytes(), entry.dataBytes() + Entry::entrySize()};
}

TEST(RegisterEntry, SpecialLabelValuesFieldsLandOnTheirBits) {
  IppVttSpecialLabelValuesHwReg::Entry entry(IppVttSpecialLabelValuesHwReg::EntryKey(0));
  EXPECT_EQ(bytesOf(entry), std::vector<U8>(8, 0));
  entry.vttSpecialLabelValue0Is(0xFFFFF);
  EXPECT_EQ(bytesOf(entry), (std::vector<U8>{0xFF, 0xFF, 0x0F, 0, 0, 0, 0, 0}));
  EXPECT_EQ(entry.vttSpecialLabelProfileValue0(), 0);
  entry.vttSpecialLabelProfileValue0Is(6);
  entry.vttSpecialLabelValue1Is(0xFFFFF);
  entry.vttSpecialLabelProfileValue1Is(6);
  EXPECT_EQ(bytesOf(entry), (std::vector<U8>{0xFF, 0xFF, 0xEF, 0xFF, 0xFF, 0x37, 0, 0}));
  // Argument bits beyond the field's width are dropped, neighbours untouched.
  entry.vttSpecialLabelProfileValue0Is(0xF9);
  EXPECT_EQ(entry.vttSpecialLabelProfileValue0(), 1);
  EXPECT_EQ(entry.vttSpecialLabelValue1(), 0xFFFFFu);
}

TEST(RegisterEntry, KeyAcceptsNullAndRefusesAbove) {
  using Key = IppVttSpecialLabelValuesHwReg::EntryKey;
  EXPECT_NO_THROW(Key(1));
  try {
    Key key(2);
    FAIL();
  } catch (Vorl::RangeException const& error) {
    EXPECT_STREQ(error.what(),
                 "bcm88490_a0::IppVttSpecialLabelValuesHwReg::EntryKey::value < "
                 "bcm88490_a0::IppVttSpecialLabelValuesHwReg::EntryKey::min or > "
                 "bcm88490_a0::IppVttSpecialLabelValuesHwReg::EntryKey::null not allowed");
  }
}

TEST(MemoryEntry, ArrayKeyChecksArrayIndexFirst) {
  using Key = IppaMplsSpecialLabelAttributesTblHwDirect::EntryKey;
  EXPECT_THROW(
      {
        try {
          Key(1, 40);
        } catch (Vorl::RangeException const& error) {
          EXPECT_NE(std::string(error.what()).find("EntryKey::arrayIndex < "), std::string::npos);
          throw;
        }
      },
      Vorl::RangeException);
}

}  // namespace
