#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "framework/FieldValues.h"
#include "tables/AllTableFields.h"
#include "tables/AllTables.h"

namespace {

using Framework::FieldKind;
using Framework::FieldSelection;

template <class Fields>
void decodeLikeTheAccessors(Framework::TableInfo const& info, std::mt19937& random) {
  using Entry = typename Fields::Entry;
  for (int round = 0; round < 20; ++round) {
    Entry entry;
    for (U32 index = 0; index < Entry::entrySize(); ++index) {
      entry.dataByte0Is(index, static_cast<U8>(round == 0 ? 0xFF : random()));
    }
    std::span<U8 const> bytes(entry.dataBytes(), Entry::entrySize());
    std::map<std::string, Framework::FieldValue> decoded;
    for (auto& value : Framework::fieldValues(info, bytes, FieldSelection::all)) {
      decoded[value.name] = value;
    }
    for (auto const& field : Fields::accessors()) {
      auto const& fieldInfo = *field.info;
      SCOPED_TRACE(std::string(info.className) + "::" + std::string(fieldInfo.name));
      if (fieldInfo.kind == FieldKind::bitmap) {
        auto bitmap = field.getBitmap(entry);
        auto const& value = decoded.at(std::string(fieldInfo.name));
        ASSERT_TRUE(value.bitmap);
        ASSERT_EQ(value.bits.size(), (fieldInfo.width + 7) / 8);
        for (std::size_t index = 0; index < value.bits.size(); ++index) {
          EXPECT_EQ(value.bits[index], bitmap.byte(index)) << "byte " << index;
        }
        EXPECT_EQ(value.text(), bitmap.toString());
        continue;
      }
      U32 count = fieldInfo.kind == FieldKind::indexed ? fieldInfo.count : 1;
      for (U32 index = 0; index < count; ++index) {
        auto name = fieldInfo.kind == FieldKind::indexed
                        ? fmt::format("{}({})", fieldInfo.name, index)
                        : std::string(fieldInfo.name);
        EXPECT_EQ(decoded.at(name).number, field.get(entry, index)) << name;
        EXPECT_EQ(decoded.at(name).text(), fmt::format("{}", field.get(entry, index)));
      }
    }
  }
  // Bytes that are not one entry decode to nothing rather than to a guess.
  std::vector<U8> tooShort(Entry::entrySize() - 1, 0xFF);
  EXPECT_TRUE(Framework::fieldValues(info, tooShort).empty());
}

TEST(FieldValues, EveryFieldOfEveryTableDecodesAsItsAccessorReadsIt) {
  std::mt19937 random(25);
#define HW_DECODE(Class)                                      \
  decodeLikeTheAccessors<bcm88490_a0::detail::Class##Fields>( \
      bcm88490_a0::Class::Model::Desc::info, random);
  HW_FOR_EACH_TABLE(HW_DECODE)
#undef HW_DECODE
}

template <class Table>
std::set<std::string> leftOut() {
  auto const& info = Table::Model::Desc::info;
  std::set<std::string> names;
  for (auto const& field : info.fields) {
    if (Framework::repeatsOtherFields(info, field)) names.emplace(field.name);
  }
  return names;
}

TEST(FieldValues, AViewLeavesOutExactlyTheFieldsThatRepeatOthers) {
  std::map<std::string, std::set<std::string>> found;
#define HW_LEFT_OUT(Class)                                          \
  if (auto names = leftOut<bcm88490_a0::Class>(); !names.empty()) { \
    found[#Class] = names;                                          \
  }
  HW_FOR_EACH_TABLE(HW_LEFT_OUT)
#undef HW_LEFT_OUT
  std::set<std::string> const attributes{"specialLabelProfileAttributesEntry"};
  std::map<std::string, std::set<std::string>> const expected{
      // The whole-entry bitmap and the indexed twins of the named profiles.
      {"IppVttSpecialLabelsProfileHwReg",
       {"bos0LabelProfile", "bos1LabelProfile", "vttSpecialLabelsProfilesData"}},
      // The 72-bit bitmap and the 51-bit scalar that span an entry's attributes.
      {"IppaMplsSpecialLabelAttributesTblHwDirect", attributes},
      {"IppfMplsSpecialLabelAttributesTblHwDirect", attributes},
      {"IppaPostMplsSpecialLabelAttributesTblHwDirect", attributes},
      {"IppfPostMplsSpecialLabelAttributesTblHwDirect", attributes},
  };
  // The swap remark map is a 256-bit bitmap that nothing else describes, and the BSPL
  // tables' 18-bit result has bits its named parts leave out: both are shown.
  EXPECT_EQ(found, expected);

  using Swap = bcm88490_a0::EtppCfgFheiMplsSwapRemarkMapHwReg;
  std::vector<U8> bytes(Swap::Entry::entrySize(), 0);
  auto zero = Framework::fieldValues(Swap::Model::Desc::info, bytes);
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_TRUE(zero[0].isZero());
  bytes[31] = 0x80;
  auto top = Framework::fieldValues(Swap::Model::Desc::info, bytes);
  EXPECT_FALSE(top[0].isZero());
  EXPECT_EQ(top[0].text(), "0x80" + std::string(62, '0'));
}

TEST(FieldValues, DifferingFieldsNameTheShownFieldsWhoseValuesChanged) {
  using Profile = bcm88490_a0::IppVttSpecialLabelsProfileHwReg;
  auto const& info = Profile::Model::Desc::info;
  std::vector<U8> left(Profile::Entry::entrySize(), 0);
  auto right = left;
  right[0] = 0x07;  // bits 0..2: bos0Label0Profile and its twin vttSpecialLabelProfile
  EXPECT_EQ(Framework::differingFields(info, left, right),
            (std::vector<std::string>{"bos0Label0Profile", "vttSpecialLabelProfile"}));
  EXPECT_TRUE(Framework::differingFields(info, left, left).empty());
}

}  // namespace
