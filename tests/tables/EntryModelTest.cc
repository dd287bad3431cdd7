#include <gmock/gmock.h>

#include "platform/asic/Assert.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using namespace bcm88490_a0;
using RegisterTest::bytesOf;

TEST(RegisterEntry, SpecialLabelValuesFieldsLandOnTheirBits) {
  IppVttSpecialLabelValuesHwReg::Entry entry(IppVttSpecialLabelValuesHwReg::EntryKey(0));
  EXPECT_EQ(bytesOf(entry), std::vector<U8>(8, 0));
  entry.vttSpecialLabelValue0Is(0xFFFFF);
  EXPECT_EQ(bytesOf(entry), (std::vector<U8>{0xFF, 0xFF, 0x0F, 0, 0, 0, 0, 0}));
  EXPECT_EQ(entry.vttSpecialLabelProfileValue0(), 0);
  entry.vttSpecialLabelProfileValue0Is(6);
  EXPECT_EQ(entry.dataByte0(2), 0x6F);  // bits 21 and 22
  entry.vttSpecialLabelValue1Is(0xFFFFF);
  entry.vttSpecialLabelProfileValue1Is(6);
  EXPECT_EQ(bytesOf(entry), (std::vector<U8>{0xFF, 0xFF, 0xEF, 0xFF, 0xFF, 0x37, 0, 0}));
}

TEST(RegisterEntry, OutOfRangeKeysIndicesAndNarrowBitmapsAreRefusedAndChangeNoByte) {
  using Table = IppVttSpecialLabelValuesHwReg;
  EXPECT_EQ(Table::EntryKey(1).value(), Table::EntryKey::null);
  EXPECT_THROW(Table::EntryKey(2), Vorl::RangeException);
  EXPECT_THROW(Table::Entry::DataByte0Index(8), Vorl::RangeException);
  Table::Entry entry;
  EXPECT_THROW(entry.dataByte0Is(8, 1), Vorl::RangeException);
  EXPECT_EQ(bytesOf(entry), std::vector<U8>(8, 0));

  Asic::modeIs(Asic::AssertMode::graceful);
  IppVttSpecialLabelsProfileHwReg::Entry profile;
  EXPECT_THAT([&] { profile.bos0LabelProfileIs(16, 1); },
              ::testing::ThrowsMessage<Asic::GracefulAssertException>(
                  ::testing::HasSubstr("(false) - Invalid field array index for index 16")));
  EXPECT_THROW(profile.bos1LabelProfile(16), Asic::GracefulAssertException);
  EXPECT_EQ(bytesOf(profile), std::vector<U8>(12, 0));

  EtppCfgFheiMplsSwapRemarkMapHwReg::Entry swap;
  Lutz::PerUnitBitmap narrow(128);  // the field is 256 bits wide
  narrow.bitIs(3, true);
  EXPECT_THROW(swap.cfgFheiMplsSwapRemarkMapIs(narrow), Vorl::RangeException);
  EXPECT_EQ(bytesOf(swap), std::vector<U8>(32, 0));
}

TEST(MemoryEntry, KeyBoundsRefuseAndLeaveTheKeyAsItWas) {
  using Termination = IppaTerminationProfileTableHwDirect;
  EXPECT_NO_THROW(Termination::EntryKey(8));
  EXPECT_THROW(Termination::EntryKey(9), Vorl::RangeException);
  Termination::EntryKey key(3);
  EXPECT_THROW(key.valueIs(9), Vorl::RangeException);
  EXPECT_EQ(key.value(), 3u);
  EXPECT_THROW(Termination::Entry::DataByte0Index(4), Vorl::RangeException);
  EXPECT_THROW(IppfPostMplsSpecialLabelAttributesTblHwDirect::EntryKey(17), Vorl::RangeException);

  using Mpls = IppaMplsSpecialLabelAttributesTblHwDirect;
  EXPECT_NO_THROW(Mpls::EntryKey(3, 31));
  EXPECT_THROW(Mpls::EntryKey(2, 32), Vorl::RangeException);
  EXPECT_THROW(IppaBsplProfileTblHwDirect::EntryKey(1, 0), Vorl::RangeException);
  EXPECT_NO_THROW(IppfBsplProfileTblHwDirect::EntryKey(1, 0));
  EXPECT_THROW(IppfBsplProfileTblHwDirect::EntryKey(2, 0), Vorl::RangeException);
  Mpls::EntryKey arrayKey(2, 5);
  EXPECT_THROW(arrayKey.arrayIndexIs(4), Vorl::RangeException);
  EXPECT_THROW(arrayKey.entryIndexIs(32), Vorl::RangeException);
  EXPECT_EQ(arrayKey, Mpls::EntryKey(2, 5));
  // The default key is the first array's first row, a key that always exists.
  EXPECT_EQ(Mpls::EntryKey(), Mpls::EntryKey(2, 0));
  EXPECT_LT(Mpls::EntryKey(2, 31), Mpls::EntryKey(3, 0));
}

TEST(MemoryEntry, SpecialLabelLayoutsDifferByTheTunnelBits) {
  IppaMplsSpecialLabelAttributesTblHwDirect::Entry mpls;
  mpls.specialQosMappingProfileIs(0x3FF);  // bits 33..42
  EXPECT_EQ(bytesOf(mpls), (std::vector<U8>{0, 0, 0, 0, 0xFE, 0x07, 0, 0, 0, 0, 0, 0}));
  IppaPostMplsSpecialLabelAttributesTblHwDirect::Entry post;
  post.specialQosMappingProfileIs(0x3FF);  // bits 31..40
  EXPECT_EQ(bytesOf(post), (std::vector<U8>{0, 0, 0, 0x80, 0xFF, 0x01, 0, 0}));

  post.specialForceIsOamIs(1);
  EXPECT_EQ(post.specialLabelProfileAttributesEntry(), (U64{1} << 50) | (U64{0x3FF} << 31));
  mpls.specialLabelWriteQosIs(1);
  auto view = mpls.specialLabelProfileAttributesEntry();
  EXPECT_EQ(view.widthBits(), 72u);
  EXPECT_TRUE(view.bit(71));
  EXPECT_TRUE(view.bit(33));
  EXPECT_FALSE(view.bit(32));
}

TEST(Entry, EqualityComparesKeyAndEveryByte) {
  using Table = IppaTerminationProfileTableHwDirect;
  Table::Entry left(Table::EntryKey(3));
  Table::Entry right(Table::EntryKey(3));
  EXPECT_TRUE(Table::Entry::isEq(&left, &right));
  right.dataByte0Is(3, 0x01);  // a byte no field covers
  EXPECT_FALSE(Table::Entry::isEq(&left, &right));
  right.dataByte0Del(3);
  EXPECT_TRUE(Table::Entry::isEq(&left, &right));
  Table::Entry otherKey(Table::EntryKey(4));
  EXPECT_FALSE(Table::Entry::isEq(&left, &otherKey));
  // A pointer into another entry's bytes deletes nothing here.
  EXPECT_THROW(left.dataByte0Del(right.dataBytes()), Vorl::RangeException);
}

// Keys hash; entries and data-byte indices have no hash at all, so a hash of one
// cannot even be written.
template <class T>
concept Hashable = requires(T const& value) { value.hash(0u); };
static_assert(Hashable<IppaTerminationProfileTableHwDirect::EntryKey>);
static_assert(Hashable<IppaBsplProfileTblHwDirect::EntryKey>);
static_assert(!Hashable<IppaTerminationProfileTableHwDirect::Entry>);
static_assert(!Hashable<IppVttSpecialLabelValuesHwReg::Entry::DataByte0Index>);

// The store keeps entries inline; its slot geometry is built for these sizes.
static_assert(sizeof(IppaTerminationProfileTableHwDirect::Entry) == 8 &&
              sizeof(IppdPphAttributeByEeiHwDirect::Entry) == 8 &&
              sizeof(IppaBsplProfileTblHwDirect::Entry) == 12 &&
              sizeof(IppfPostMplsSpecialLabelAttributesTblHwDirect::Entry) == 12 &&
              sizeof(IppaPostMplsSpecialLabelAttributesTblHwDirect::Entry) == 16 &&
              sizeof(IppaMplsSpecialLabelAttributesTblHwDirect::Entry) == 20 &&
              sizeof(IppfMplsSpecialLabelAttributesTblHwDirect::Entry) == 20);

}  // namespace
