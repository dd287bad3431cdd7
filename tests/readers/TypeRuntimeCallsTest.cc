#include <gmock/gmock.h>

#include "platform/asic/Assert.h"
#include "platform/tyvo/TypeRuntime.h"
#include "tests/readers/ReaderTestSupport.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using namespace bcm88490_a0;
using Vorl::AttributeAnswer;
using Vorl::AttributeOp;

auto const revision = Hardware::Sand::bcm88490_a0Revision;

// Calls attribute `name` of the object or class of `type` through the runtime.
std::any call(Vorl::TypeDescriptor type, std::any self, std::string_view name,
              Vorl::Arguments const& arguments = {}) {
  auto const* attribute = type.info().attribute(name);
  if (!attribute) throw std::runtime_error("no attribute " + std::string(name));
  std::any result;
  auto answer =
      Vorl::attributeAccess(type, self, attribute->id, AttributeOp::call, arguments, result);
  if (answer != AttributeAnswer::done)
    throw std::runtime_error(std::string(name) + " not callable");
  return result;
}

Vorl::TypeDescriptor typeOf(std::string_view table, std::uint32_t index) {
  return {Vorl::loadedModule(table), index};
}

template <class T>
Vorl::Ptr<T> objectIn(std::any const& value) {
  return Vorl::ptrCast<T>(std::any_cast<Vorl::Ptr<Vorl::Node>>(value));
}

std::vector<std::string> linesOf(std::any const& commands) {
  std::vector<std::string> lines;
  if (auto cmds = objectIn<Pelcar::SchanCmds>(commands)) {
    for (auto const& cmd : *cmds) lines.push_back(cmd->toString());
  }
  return lines;
}

struct Case {
  std::string table;
  std::string keyText;  // a key whose start-up data is not all zero
};

TEST(TypeRuntimeCalls, AShadowGivesTheCommandsOfAnEntryAsItsTableDoes) {
  ReaderTest::BroughtUpChip chip({0, 1});
  for (auto const& [name, keyText] : {Case{"IppaTerminationProfileTableHwDirect", "{value=3}"},
                                      Case{"IppVttSpecialLabelValuesHwReg", "{value=0}"}}) {
    SCOPED_TRACE(name);
    auto table = chip.manager()->tableColl({name, revision});
    ASSERT_TRUE(table);
    auto tableType = table->typeData();
    std::any tableObject = Vorl::Ptr<Vorl::Node>(table);
    std::any shadowObject = call(tableType, tableObject, "shadow", {U64{1}});
    auto shadow = objectIn<Tessar::HwShadowBase>(shadowObject);
    ASSERT_TRUE(shadow);
    auto shadowType = shadow->typeData();
    auto key = Vorl::TypeDescriptor{tableType.module, 1}.info().fromText(keyText);

    auto viaTable = linesOf(call(tableType, tableObject, "schanCmds", {U64{1}, key}));
    ASSERT_FALSE(viaTable.empty());
    EXPECT_EQ(linesOf(call(shadowType, shadowObject, "schanCmds", {U64{1}, revision, key, false})),
              viaTable);
    auto cleared = call(shadowType, shadowObject, "schanCmds", {U64{1}, revision, key, true});
    auto clearedCmds = objectIn<Pelcar::SchanCmds>(cleared);
    ASSERT_TRUE(clearedCmds);
    for (auto const& cmd : *clearedCmds) {
      EXPECT_EQ(cmd->data, std::vector<U8>(cmd->data.size(), 0)) << "the default data";
    }
    auto unserved = call(shadowType, shadowObject, "schanCmds", {U64{0}, revision, key, false});
    EXPECT_FALSE(std::any_cast<Vorl::Ptr<Vorl::Node>>(unserved)) << "FAP 0 is not this shadow's";

    EXPECT_THROW(call(shadowType, tableObject, "schanCmds", {U64{1}, revision, key, false}),
                 Vorl::RangeException)
        << "a table is not a shadow";
  }
}

// A platform that deletes a shadow through the runtime must not be able to write
// through it afterwards; initialised again, it is mounted and empty.
TEST(TypeRuntimeCalls, AShadowDeletedThroughTheRuntimeRefusesWritesUntilInitialisedAgain) {
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

TEST(TypeRuntimeCalls, AFactoryCallBuildsAFreeTableAndRefusesWrongArguments) {
  std::string const name = "IppfTerminationProfileTableHwDirect";
  auto tableType = typeOf(name, Framework::ModuleTypes::table(false));
  std::any none;
  auto fresh = Vorl::makePtr<Tessar::TableManager>();
  auto built =
      objectIn<Tessar::HwCommonTableBase>(call(tableType, none, "factory", {revision, fresh}));
  ASSERT_TRUE(built);
  EXPECT_EQ(built->typeName(), "bcm88490_a0::" + name);
  EXPECT_THROW(call(tableType, none, "factory", {revision}), Vorl::RangeException);
  EXPECT_THROW(call(tableType, none, "factory", {revision, Vorl::Ptr<Vorl::Node>()}),
               Vorl::InvalidInitializeException);
}

TEST(TypeRuntimeCalls, AReaderIsConstructedFromATableKeyAndAReadTableManager) {
  std::string const name = "IppaMplsSpecialLabelAttributesTblHwDirect";
  auto readerType = typeOf(name, Framework::ModuleTypes::reader(false));
  auto readers = Vorl::makePtr<Tessar::ReadTableManager>(Pelcar::Fapmask::of({0, 3}));
  Tessar::HwTableKey key{name, revision};
  auto reader = objectIn<Tessar::HwTableReaderBase>(
      readerType.info().construct({key, Vorl::Ptr<Vorl::Node>(readers)}));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->hwTableKey(), key);
  EXPECT_EQ(reader->readTableManager(), readers);
  EXPECT_EQ(reader->typeData(), readerType);
  EXPECT_THROW(readerType.info().construct({revision, readers}), Vorl::RangeException)
      << "a revision is not a table key";
}

}  // namespace
