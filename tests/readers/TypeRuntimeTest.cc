#include <gmock/gmock.h>
#include "platform/asic/Assert.h"
#include "platform/tyvo/TypeRuntime.h"
#include "tables/Catalogue.h"
#include "tests/readers/ReaderTestSupport.h"

namespace {

using namespace bcm88490_a0;
auto const revision = Hardware::Sand::bcm88490_a0Revision;
using ReaderTest::makeReader;
using Vorl::AttributeAnswer;
using Vorl::AttributeOp;

Vorl::ModuleInspectData const& moduleOf(std::string_view table) {
  auto const* module = Vorl::loadedModule(table);
  if (!module) throw std::runtime_error("module not loaded");
  return *module;
}

std::uint32_t idOf(Vorl::TypeDescriptor type, std::string_view name) {
  auto const* attribute = type.info().attribute(name);
  return attribute ? attribute->id : 0;
}

// Calls attribute `name` of `self` through the runtime (a value is changed in place).
std::any call(Vorl::TypeDescriptor type, std::any& self, std::string_view name,
              Vorl::Arguments const& arguments = {}) {
  std::any result;
  if (Vorl::attributeAccess(type, self, idOf(type, name), AttributeOp::call, arguments, result) !=
      AttributeAnswer::done) {
    throw std::runtime_error(std::string(name) + " not callable");
  }
  return result;
}

TEST(TypeRuntime, AttributeAccessAnswersDoneNotSupportedOrNotAnAttributeAndNeverThrowsForThem) {
  auto reader = makeReader<HwTableIppVttSpecialLabelValuesHwRegReader>();
  auto type = reader->typeData();
  std::any self = Vorl::Ptr<Vorl::Node>(reader);
  std::any result;
  EXPECT_EQ(Vorl::attributeAccess(type, self, idOf(type, "regReadSchanCmds"), AttributeOp::call, {}, result),
            AttributeAnswer::notSupported);
  EXPECT_EQ(Vorl::attributeAccess(type, self, idOf(type, "pluginName"), AttributeOp::write, {}, result),
            AttributeAnswer::notSupported);
  EXPECT_EQ(Vorl::attributeAccess(type, self, 2, AttributeOp::read, {}, result),
            AttributeAnswer::notAnAttribute);
  EXPECT_EQ(Vorl::attributeAccess(type, self, idOf(type, "pluginName"), AttributeOp::call, {}, result),
            AttributeAnswer::done);
  EXPECT_EQ(std::any_cast<std::string>(result), "bcm88490_a0::IppVttSpecialLabelValuesHwRegReadPlugin");

  // Values: a key's attribute written through the runtime is checked like the setter.
  auto const& module = moduleOf("IppaBsplProfileTblHwDirect");
  Vorl::TypeDescriptor keyType{&module, 1};
  std::any key = keyType.info().construct({U64{2}, U64{5}});
  EXPECT_EQ(Vorl::attributeAccess(keyType, key, idOf(keyType, "entryIndex"), AttributeOp::write, {U64{31}}, result),
            AttributeAnswer::done);
  EXPECT_THROW(Vorl::attributeAccess(keyType, key, idOf(keyType, "arrayIndex"), AttributeOp::write, {U64{4}}, result),
               Vorl::RangeException);
  EXPECT_EQ(keyType.info().toText(key), "{arrayIndex=2 entryIndex=31}");
}

// Each setter must write its own field's bits (bit b is bit b % 8 of byte b / 8) and
// nothing else, at the last element of an indexed field too, and refuse a value one
// bit too wide without changing the entry.
TEST(TypeRuntime, EveryFieldSetterWritesOnlyItsOwnBitsAndRefusesAValueTooWide) {
  for (auto const* module : Vorl::loadedModules()) {
    auto const& table = *tableInfo(module->tableName());
    Vorl::TypeDescriptor keyType{module, 1};
    Vorl::TypeDescriptor entryType{module, 3};
    auto const& key = table.key;
    std::any keyValue =
        key.form == Framework::KeyForm::singleIndex
            ? keyType.info().construct({U64{key.entryIndexMin}})
            : keyType.info().construct({U64{key.arrayIndexMin}, U64{key.entryIndexMin}});
    for (auto const& field : table.fields) {
      if (field.kind == Framework::FieldKind::bitmap) continue;
      SCOPED_TRACE(std::string(table.className) + "." + std::string(field.name));
      bool indexed = field.kind == Framework::FieldKind::indexed;
      U64 last = field.count - 1;
      U64 widest = field.width < 64 ? (U64{1} << field.width) - 1 : ~U64{0};
      auto arguments = [&](std::initializer_list<std::any> value) {
        Vorl::Arguments all = indexed ? Vorl::Arguments{last} : Vorl::Arguments{};
        all.insert(all.end(), value);
        return all;
      };
      std::any entry = entryType.info().construct({keyValue});
      call(entryType, entry, std::string(field.name) + "Is", arguments({widest}));
      EXPECT_EQ(std::any_cast<U64>(call(entryType, entry, field.name, arguments({}))), widest);
      U32 first = field.offset + (indexed ? last * field.stride : 0);
      auto const* bytes = entryType.info().attribute("dataByte0");
      U32 position = 0;
      for (auto each = bytes->iterate(entry); !each->atEnd(); each->advance(), ++position) {
        auto byte = std::any_cast<U64>(each->value());
        for (U32 bit = 0; bit < 8; ++bit) {
          U32 at = position * 8 + bit;
          bool inField = at >= first && at < first + field.width;
          EXPECT_EQ((byte >> bit) & 1, inField ? 1u : 0u) << "bit " << at;
        }
      }
      if (field.width < 64) {
        EXPECT_THROW(
            call(entryType, entry, std::string(field.name) + "Is", arguments({widest + 1})),
            Vorl::RangeException);
        EXPECT_EQ(std::any_cast<U64>(call(entryType, entry, field.name, arguments({}))), widest);
      }
    }
  }
}

TEST(TypeRuntime, ACollectionIteratesDeletesItsCurrentElementAndReadsByKey) {
  using Table = IppaBsplProfileTblHwDirect;
  using Reader = HwTableIppaBsplProfileTblHwDirectReader;
  auto result = Reader::HwInstanceReadResult::HwInstanceReadResultIs(0, Hardware::Sand::bcm88490_a0Revision);
  for (U32 row : {1u, 4u, 9u}) {
    Table::Entry entry{Table::EntryKey(2, row)};
    entry.dataByte0Is(0, static_cast<U8>(row));
    result->entryIs(entry);
  }
  auto type = result->typeData();
  std::any self = Vorl::Ptr<Vorl::Node>(result);
  auto const* entries = type.info().attribute("entry");
  std::vector<U32> seen;
  for (auto each = entries->iterate(self); !each->atEnd();) {
    auto key = std::any_cast<Table::EntryKey>(each->key());
    seen.push_back(key.entryIndex());
    if (key.entryIndex() == 4) each->deleteCurrent();
    else each->advance();
  }
  EXPECT_EQ(seen, (std::vector<U32>{1, 4, 9}));
  EXPECT_EQ(result->entries().size(), 2u);
  std::any found;
  EXPECT_EQ(Vorl::attributeAccess(type, self, entries->id, AttributeOp::read, {Table::EntryKey(2, 9)}, found),
            AttributeAnswer::done);
  EXPECT_EQ(std::any_cast<Table::Entry>(found).dataByte0(0), 9);
}

TEST(TypeRuntime, KeyTextFormsRoundTripForEveryKeyOfEveryTable) {
  for (auto const* module : Vorl::loadedModules()) {
    Vorl::TypeDescriptor keyType{module, 1};
    auto const& info = keyType.info();
    std::size_t checked = 0;
    for (U64 arrayIndex = 0; arrayIndex < 4; ++arrayIndex) {
      for (U64 entryIndex = 0; entryIndex <= 40; ++entryIndex) {
        std::any key;
        try {
          key = info.attribute("value") ? info.construct({entryIndex}) : info.construct({arrayIndex, entryIndex});
        } catch (Vorl::RangeException const&) {
          continue;
        }
        auto text = info.toText(key);
        EXPECT_EQ(info.toText(info.fromText(text)), text) << info.name;
        EXPECT_EQ(info.toText(info.fromText(info.name + text)), text) << "with the type's name first";
        EXPECT_EQ(Vorl::hashValue(keyType, info.fromText(text)), Vorl::hashValue(keyType, key));
        ++checked;
      }
    }
    EXPECT_GT(checked, 1u) << info.name;
  }
}

TEST(TypeRuntime, RefusedTextsCarryTheRangeMessageAndLeftoverTextIsAParseError) {
  auto const& registers = moduleOf("IppVttSpecialLabelValuesHwReg");
  auto const& registerKey = registers.types()[1];
  EXPECT_NO_THROW(registerKey.fromText("{value=1}"));  // null is a valid key value
  EXPECT_THAT([&] { registerKey.fromText("{value=2}"); },
              ::testing::ThrowsMessage<Vorl::RangeException>(
                  ::testing::HasSubstr("EntryKey::null not allowed")));
  auto const& arrayKey = moduleOf("IppaMplsSpecialLabelAttributesTblHwDirect").types()[1];
  EXPECT_THAT([&] { arrayKey.fromText("{arrayIndex=1 entryIndex=999}"); },
              ::testing::ThrowsMessage<Vorl::RangeException>(
                  ::testing::HasSubstr("EntryKey::arrayIndex < ")))
      << "the array index is checked first";
  EXPECT_THROW(registerKey.fromText("{value=0} extra"), Vorl::ParseException);
  EXPECT_THROW(registerKey.fromText("{value=}"), Vorl::ParseException);
  EXPECT_THROW(arrayKey.fromText("{arrayIndex=300 entryIndex=0}"), Vorl::ParseException);
  auto const& index = registers.types()[2];
  EXPECT_NO_THROW(index.fromText("{value=7}"));
  EXPECT_THROW(index.fromText("{value=8}"), Vorl::RangeException);
}

// A platform that deletes a shadow through the runtime must not be able to write
// through it afterwards; initialised again, it is mounted and empty.
TEST(TypeRuntime, AShadowDeletedThroughTheRuntimeRefusesWritesUntilInitialisedAgain) {
  ReaderTest::BroughtUpChip chip({0});
  auto memory = Vorl::ptrCast<IppaBsplProfileTblHwDirect>(
      chip.manager()->tableColl({"IppaBsplProfileTblHwDirect", revision}));
  auto memoryShadow = memory->shadow(0);
  ASSERT_FALSE(memoryShadow->storedEntries().empty());
  std::any shadowObject = Vorl::Ptr<Vorl::Node>(memoryShadow);
  auto shadowType = memoryShadow->typeData();
  auto path = Vorl::ptrCast<IppaBsplProfileTblHwDirect::Shadow>(memoryShadow)->shadowPath();
  call(shadowType, shadowObject, "onDelete");
  EXPECT_TRUE(memoryShadow->deleted());
  EXPECT_FALSE(chip.manager()->entityManager()->mounted(path));
  IppaBsplProfileTblHwDirect::Entry entry(IppaBsplProfileTblHwDirect::EntryKey(2, 5));
  EXPECT_THAT([&] { call(shadowType, shadowObject, "setEntry", {entry}); },
              ::testing::ThrowsMessage<Asic::GracefulAssertException>(
                  ::testing::HasSubstr("shadow " + memoryShadow->name() + " has been deleted")));
  EXPECT_THROW(memory->schanCmds(0, {2, 5}), Asic::GracefulAssertException) << "nor through its table";
  EXPECT_FALSE(memory->download("4", Pelcar::Fapmask::of({0})));
  call(shadowType, shadowObject, "onDelete");  // once deleted, nothing more happens

  call(shadowType, shadowObject, "handleInitialized");
  EXPECT_TRUE(memoryShadow->entryStorage()->mounted());
  EXPECT_TRUE(memoryShadow->storedEntries().empty());
  call(shadowType, shadowObject, "setEntry", {entry});
  EXPECT_EQ(memoryShadow->storedEntries().size(), 1u);
}

}  // namespace
