#include <gtest/gtest.h>

#include <vector>

#include "tables/AllTableFields.h"
#include "tables/AllTables.h"

namespace {

using Framework::FieldKind;

template <class Entry>
std::vector<bool> bitsOf(Entry const& entry) {
  std::vector<bool> bits;
  for (U32 bit = 0; bit < Entry::entrySizeBits(); ++bit) {
    bits.push_back(((entry.dataBytes()[bit / 8] >> (bit % 8)) & 1) != 0);
  }
  return bits;
}

template <class Entry>
void fillBytes(Entry& entry, U8 value) {
  for (U32 index = 0; index < Entry::entrySize(); ++index) entry.dataByte0Is(index, value);
}

// Bits [offset, offset + width) set to `inside`, every other bit to `outside`.
std::vector<bool> expectedBits(U32 entryBits, U32 offset, U32 width, bool inside, bool outside) {
  std::vector<bool> bits(entryBits, outside);
  for (U32 bit = offset; bit < offset + width; ++bit) bits[bit] = inside;
  return bits;
}

U64 ones(U32 width) { return width >= 64 ? ~U64{0} : (U64{1} << width) - 1; }

template <class Fields>
void sweepTable() {
  using Entry = typename Fields::Entry;
  U32 entryBits = Entry::entrySizeBits();
  for (auto const& field : Fields::accessors()) {
    auto const& info = *field.info;
    SCOPED_TRACE(std::string(info.name));
    U32 count = info.kind == FieldKind::indexed ? info.count : 1;
    for (U32 index = 0; index < count; ++index) {
      U32 offset = info.offset + index * info.stride;
      ASSERT_LE(offset + info.width, entryBits) << "field outside the entry";
      Entry set;
      Entry cleared;
      fillBytes(cleared, 0xFF);
      if (info.kind == FieldKind::bitmap) {
        Lutz::PerUnitBitmap full(info.width);
        for (U32 bit = 0; bit < info.width; ++bit) full.bitIs(bit, true);
        field.setBitmap(set, full);
        field.setBitmap(cleared, Lutz::PerUnitBitmap(info.width));
        EXPECT_EQ(field.getBitmap(set), full);
      } else {
        // Bits above the width are ignored, so writing all ones sets exactly the field.
        field.set(set, index, ~U64{0});
        field.set(cleared, index, 0);
        EXPECT_EQ(field.get(set, index), ones(info.width));
        EXPECT_EQ(field.get(cleared, index), 0u);
      }
      EXPECT_EQ(bitsOf(set), expectedBits(entryBits, offset, info.width, true, false));
      EXPECT_EQ(bitsOf(cleared), expectedBits(entryBits, offset, info.width, false, true));
    }
  }
}

TEST(FieldSweep, EveryFieldOfEveryTableOwnsExactlyItsBits) {
#define HW_SWEEP(Class) sweepTable<bcm88490_a0::detail::Class##Fields>();
  HW_FOR_EACH_TABLE(HW_SWEEP)
#undef HW_SWEEP
}

}  // namespace
