#include <gtest/gtest.h>

#include <cstdlib>

#include "framework/PluginHwTable.h"
#include "framework/TableModule.h"
#include "tables/Catalogue.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using namespace bcm88490_a0;
using Hardware::Sand::FapRevision;
using Hardware::Sand::FapRevMajor;

class RevisionListGuard {
 public:
  explicit RevisionListGuard(std::vector<FapRevision> revisions) {
    Tessar::SupportedFapRevList::fapRevisionListIs(std::move(revisions));
  }
  ~RevisionListGuard() { Tessar::SupportedFapRevList::fapRevisionListReset(); }
};

// The child re-runs this program with GRACEFUL_ASSERT_MODE set, so the first table
// module reads it at load (which words select the mode: AssertModeDeathTest).
TEST(RegisterRegistrationDeathTest, TheFirstModuleReadsTheAssertionModeFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(Asic::modeIsSet());
  setenv("GRACEFUL_ASSERT_MODE", "assert", 1);
  EXPECT_EXIT(std::exit(static_cast<int>(Asic::mode())), ::testing::ExitedWithCode(1), "");
  unsetenv("GRACEFUL_ASSERT_MODE");
}

TEST(RegisterRegistration, OnlyRevisionsOfChipType25AreRegisteredAndWithoutThemNothing) {
  RevisionListGuard revisions({FapRevision(FapRevMajor::FAPR_sim24_a0),
                               Hardware::Sand::bcm88490_a0Revision,
                               FapRevision(FapRevMajor::FAPR_sim26_a0)});
  Tessar::HwTableHolderContext context;
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  // Initialising twice replaces, it does not duplicate.
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  auto registrations = context.registrations();
  ASSERT_EQ(registrations.size(), bcm88490_a0::tableCatalogue().size());  // one per table
  for (auto const& registration : registrations) {
    EXPECT_EQ(registration.hwTableKey.fapRevision, Hardware::Sand::bcm88490_a0Revision);
  }
  EXPECT_FALSE(context.hwTableFactory(
      {"IppVttSpecialLabelValuesHwReg", FapRevision(FapRevMajor::FAPR_sim24_a0)}));

  RevisionListGuard without({FapRevision(FapRevMajor::FAPR_sim24_a0)});
  Tessar::HwTableHolderContext none;
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(none);
  EXPECT_TRUE(none.registrations().empty());
}

// The registered factory's reuse of the held table, the manager-table cycle, and a
// missing manager.
TEST(RegisterRegistration, TheFactoryReturnsTheHeldTableAndTheManagerLetsGoOfIt) {
  Tessar::HwTableHolderContext context;
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  auto const revision = Hardware::Sand::bcm88490_a0Revision;
  Tessar::HwTableKey key{"EtppPhpMapFwdCodeHwReg", revision};
  auto factory = context.hwTableFactory(key);
  ASSERT_TRUE(factory);
  auto manager = Vorl::makePtr<Tessar::TableManager>();
  auto first = factory(revision, manager, nullptr);
  ASSERT_TRUE(first);
  manager->tableCollIs(key, first);
  EXPECT_EQ(factory(revision, manager, nullptr), first);
  EXPECT_EQ(EtppPhpMapFwdCodeHwReg::factory(revision, manager, nullptr), first);
  first = nullptr;
  EXPECT_EQ(manager->references(), 2u);  // ours and the held table's
  manager->tableCollDelAll();            // breaks the manager-table cycle
  EXPECT_EQ(manager->references(), 1u);
  EXPECT_THROW(ippVttSpecialLabelValuesHwRegFactory(
                   "custom", {"IppVttSpecialLabelValuesHwReg", revision}, nullptr),
               Vorl::InvalidInitializeException);
}

}  // namespace
