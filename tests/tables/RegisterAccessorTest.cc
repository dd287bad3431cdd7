#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/asic/Assert.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using namespace bcm88490_a0;
using RegisterTest::bytesOf;
using RegisterTest::linesOf;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::StartsWith;
using Values = IppVttSpecialLabelValuesHwReg;

constexpr Tessar::HwShadowKey kFap0 = Tessar::HwShadowKey::of(0, 0);
constexpr Tessar::HwShadowKey kFap1 = Tessar::HwShadowKey::of(1, 0);
const std::vector<U8> kValuesStartup{0xFF, 0xFF, 0xEF, 0xFF, 0xFF, 0x37, 0x00, 0x00};
constexpr char const* kZeros = "0000000000000000";
constexpr char const* kCustom = "4523010000280000";  // customEntry()'s bytes

// The register's two writes (its IPPA and its IPPF copy) to `faps`, as command texts.
std::vector<std::string> writesOf(std::string_view faps, std::string_view data) {
  constexpr char const* kWrite = "registerWrite {} faps={} block={} addr={} array=0 row=0 size=8 rows=1 data={}";
  return {fmt::format(kWrite, "ippaVttSpecialLabelValues", faps, 38, "0x1a5", data),
          fmt::format(kWrite, "ippfVttSpecialLabelValues", faps, 37, "0x1b3", data)};
}

class RegisterAccessor : public ::testing::Test {
 protected:
  void SetUp() override {
    manager = Vorl::makePtr<Tessar::TableManager>();
    table = RegisterTest::makeTable<Values>(manager);
    ASSERT_TRUE(table);
  }

  template <class Operation>
  static std::string assertionOf(Operation&& operation) {
    try {
      operation();
    } catch (Asic::GracefulAssertException const& error) {
      return error.what();
    }
    ADD_FAILURE() << "no graceful assertion";
    return {};
  }

  static Values::Entry customEntry() {
    Values::Entry entry(Values::EntryKey(0));
    entry.vttSpecialLabelValue0Is(0x12345);
    entry.vttSpecialLabelProfileValue1Is(5);
    return entry;
  }

  Vorl::Ptr<Tessar::TableManager> manager;
  Vorl::Ptr<Values> table;
};

TEST_F(RegisterAccessor, AddShadowStoresTheStartupEntryOnceAndSetAndDeleteBuildTheirWrites) {
  table->addShadow(kFap0);
  auto shadow = table->shadow(kFap0);
  ASSERT_TRUE(shadow);
  EXPECT_EQ(shadow->name(), "ippaVttSpecialLabelValuesbcm88490_a0");
  EXPECT_EQ(bytesOf(table->getEntry(kFap0, 0)), kValuesStartup);

  table->setEntry(kFap0, customEntry());
  table->addShadow(kFap0);  // already there: no second start-up run
  EXPECT_EQ(bytesOf(table->getEntry(kFap0, 0)), bytesOf(customEntry()));

  auto written = table->schanCmds(kFap0, 0);
  ASSERT_TRUE(written);
  EXPECT_EQ((*written->begin())->fapRevision, Hardware::Sand::bcm88490_a0Revision);
  EXPECT_EQ(linesOf(*written), writesOf("{0}", kCustom));

  table->deleteEntry(kFap0, 0);
  EXPECT_EQ(bytesOf(table->getEntry(kFap0, 0)), std::vector<U8>(8, 0));
  auto cleared = table->schanCmds(kFap0, 0);
  ASSERT_TRUE(cleared);
  EXPECT_EQ(linesOf(*cleared), writesOf("{0}", kZeros));

  EXPECT_NO_THROW(table->deleteEntry(kFap0, 0));  // nothing stored any more: silent
  auto unset = table->getEntry(kFap0, 1);  // `null`: never stored, read as its key with zeros
  EXPECT_EQ(unset.entryKey().value(), 1u);
  EXPECT_EQ(bytesOf(unset), std::vector<U8>(8, 0));
}

TEST_F(RegisterAccessor, CommandsGoToTheFapsTheShadowServesThatTheMaskNames) {
  manager->fapmaskIs(kFap0, Pelcar::Fapmask::of({5, 6}));
  table->addShadow(kFap0);
  EXPECT_FALSE(table->schanCmds(kFap0, 0));

  // A partly shared mask writes to the shared FAPs only.
  manager->fapmaskIs(kFap0, Pelcar::Fapmask::of({0, 5}));
  auto cmds = table->schanCmds(kFap0, 0);
  ASSERT_TRUE(cmds);
  for (auto const& cmd : *cmds) EXPECT_EQ(cmd->fapmask, Pelcar::Fapmask::of({0}));

  // A shadow serving several FAPs writes to those of them the mask names.
  manager->servedFapmaskIs(kFap1, Pelcar::Fapmask::of({0, 1, 2}));
  manager->fapmaskIs(kFap1, Pelcar::Fapmask::of({1, 2, 3}));
  table->addShadow(kFap1);
  cmds = table->schanCmds(kFap1, 0);
  ASSERT_TRUE(cmds);
  EXPECT_EQ((*cmds->begin())->fapmask, Pelcar::Fapmask::of({1, 2}));
}

TEST_F(RegisterAccessor, DownloadWritesEveryShadowForTheFapsItServes) {
  table->addShadow(kFap0);
  table->addShadow(kFap1);
  table->setEntry(kFap1, customEntry());

  auto both = table->download("4", Pelcar::Fapmask::of({0, 1}));
  ASSERT_TRUE(both);
  auto expected = writesOf("{0}", "ffffefffff370000");  // the start-up entry
  std::ranges::copy(writesOf("{1}", kCustom), std::back_inserter(expected));
  EXPECT_EQ(linesOf(*both), expected);
  auto one = table->download("4", Pelcar::Fapmask::of({1}));
  ASSERT_TRUE(one);
  EXPECT_EQ(one->size(), 2u);
  EXPECT_FALSE(table->download("4", Pelcar::Fapmask::of({7})));
  EXPECT_FALSE(table->download("4", Pelcar::Fapmask()));
}

TEST_F(RegisterAccessor, ClearEmptiesOnlyThatShadowAndDeletingAShadowOrTheTableDropsRecords) {
  table->addShadow(kFap0);
  table->addShadow(kFap1);
  auto storage = manager->regShadowEntryStorage();
  EXPECT_EQ(storage->size(), 2u);

  auto cmds = table->clearShadow(kFap0);
  ASSERT_TRUE(cmds);
  EXPECT_EQ(linesOf(*cmds), writesOf("{0}", kZeros));
  EXPECT_EQ(storage->size(), 1u);
  EXPECT_EQ(bytesOf(table->getEntry(kFap0, 0)), std::vector<U8>(8, 0));
  EXPECT_EQ(bytesOf(table->getEntry(kFap1, 0)), kValuesStartup);

  // With no FAP applicable nothing is written, and the shadow is emptied all the same.
  table->setEntry(kFap0, customEntry());
  manager->fapmaskIs(kFap0, Pelcar::Fapmask::of({9}));
  EXPECT_FALSE(table->clearShadow(kFap0));
  EXPECT_EQ(storage->size(), 1u);

  table->setEntry(kFap0, customEntry());
  table->delShadow(kFap1);
  EXPECT_FALSE(table->shadow(kFap1));
  EXPECT_EQ(storage->size(), 1u);
  table = nullptr;  // the table's shadows go with it
  EXPECT_EQ(storage->size(), 0u);
}

TEST_F(RegisterAccessor, AnUnknownShadowKeyOrTheNullKeyIsRefusedWithItsAssertionAndChangesNothing) {
  table->addShadow(kFap0);
  auto const expectedEnd =
      " (hwShadowCollHas( hwShadowKey )) - hwShadowKey 3 does not exist in the shadow collection";
  EXPECT_THAT(assertionOf([&] { table->setEntry(3, customEntry()); }),
              AllOf(StartsWith("AssertionError at RegisterTable.h:"), EndsWith(expectedEnd)));
  for (auto text : {assertionOf([&] { table->getEntry(3, 0); }), assertionOf([&] { table->deleteEntry(3, 0); }),
                    assertionOf([&] { table->schanCmds(3, 0); }), assertionOf([&] { table->clearShadow(3); })}) {
    EXPECT_THAT(text, EndsWith(expectedEnd));
  }
  EXPECT_EQ(bytesOf(table->getEntry(kFap0, 0)), kValuesStartup);

  // The null key: nothing is stored and no command is built.
  Values::Entry entry(Values::EntryKey(1));
  entry.vttSpecialLabelValue0Is(7);
  auto text = assertionOf([&] { table->setEntry(kFap0, entry); });
  EXPECT_THAT(text, EndsWith(" (entry.entryKey().entryIndex() < entry.entryKey().null()) - "
                             "EntryKey out of bounds: {value=1}"));
  EXPECT_EQ(bytesOf(table->getEntry(kFap0, 1)), std::vector<U8>(8, 0));
  EXPECT_EQ(manager->regShadowEntryStorage()->size(), 1u);
  // `null` is a valid key value but names no register: no write may be built for it.
  EXPECT_THROW(table->schanCmds(kFap0, 1), Vorl::RangeException);
}

class DamagedStorage : public Tessar::RegShadowEntryStorage {
 public:
  Tessar::RegisterShadowBrellEntry const* entryColl(
      Tessar::RegisterShadowBrellEntryKey const&) const override {
    throw Vorl::CorruptionDetectedException("bucket chain loops");
  }
};

TEST_F(RegisterAccessor, DamageFoundByALookupIsReportedAndReadsAsNoRecord) {
  auto storage = Vorl::makePtr<DamagedStorage>();
  auto shadow = Values::shadowFactory("damaged", 0, table->fapRevision(), table->tableDescriptor(),
                                      manager->sandStatus(), manager->sandCmdletRequiredStatus(),
                                      storage, Values::tableTypeName());
  shadow->setEntry(customEntry());
  EXPECT_EQ(bytesOf(shadow->getEntry(0)), std::vector<U8>(8, 0));
  shadow->deleteEntry(0);
  EXPECT_EQ(storage->corruptionMessages(),
            (std::vector<std::string>{"bucket chain loops", "bucket chain loops"}));
}

// A register whose start-up contents fail part way.
class FailingStartup : public Framework::RegisterTable<Values::Model> {
 public:
  using RegisterTable::RegisterTable;
  void userInitHwTable(Tessar::HwShadowKey const&) override {
    throw Vorl::RangeException("start-up contents refused");
  }
};

TEST_F(RegisterAccessor, AShadowWhoseStartupFailsIsNotLeftBehind) {
  auto failing = Vorl::makePtr<FailingStartup>(Values::tableName(), table->hwTableKey(), manager);
  EXPECT_THROW(failing->addShadow(kFap0), Vorl::RangeException);
  // Not half made: a later addShadow runs the start-up contents again.
  EXPECT_FALSE(failing->hwShadowCollHas(kFap0));
  EXPECT_THROW(failing->addShadow(kFap0), Vorl::RangeException);
}

}  // namespace
