// `hwtables demo` run as a separate process.

#include "tests/e2e/E2eTest.h"

namespace {

TEST(DemoTool, ProgramsAndVerifiesAllThirteenTablesAndAReaderProcessConfirmsTheMemories) {
  TempDir root;
  auto run = runTool({"demo", "--root", root.path()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  expectLacks(run.out, {"MISMATCH"});
  // The tables, the chip's contents read back and decoded into fields, and the verdict.
  expectHas(run.out, {"IppVttSpecialLabelValuesHwReg  ff ff ef ff ff 37 00 00",
                      "vttSpecialLabelValue0 = 1048575", "row  5  1e 00 00 00",
                      "hasCw = 1   labelsToTerminate = 1",
                      "13 tables (4 registers, 9 memories) programmed and verified",
                      "saw exactly the shadow's entries",
                      "Every table was read back through its reader", " 0 mismatches."});
}

// Which entries the audit names for which flipped bits is tested in process
// (ReadBackAudit.NamesExactlyTheEntriesThatFlippedBitsChangedOverManySeeds); here, how
// the demo reports them.
TEST(DemoTool, FlippedBitsAreEachNamedByTheReadBackAuditAndTheDemoFails) {
  TempDir root;
  auto run = runTool({"demo", "--json", "--root", root.path(), "--flip-bits", "5", "--seed", "42"});
  ASSERT_EQ(run.status, 1) << run.err;
  expectHas(run.err, {"the read-back audit found"});
  auto document = json::parse(run.out);
  expectMembers(document, {{"ok", false}, {"seed", 42}});
  EXPECT_EQ(document["flippedBits"].size(), 5u);
  std::size_t named = 0;
  for (auto const& table : document["tables"]) named += table["readBack"]["differences"].size();
  EXPECT_GT(named, 0u);
  EXPECT_EQ(document["readBackDifferences"].get<std::size_t>(), named);
}

TEST(DemoTool, BadInputIsRefusedWithOneLineAndNoOutput) {
  for (auto const& [option, value, message] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"--faps", "256", "FAP id 256 is above 255"},
           {"--faps", "0,x", "'x' is not a FAP id"},
           {"--faps", "127-129", "FAP id 128 is reserved"},
           {"--revision", "sim24_a0", "chip type 24"},
           {"--revision", "bcm88490_z9", "unknown revision 'bcm88490_z9'"}}) {
    expectOneLineError(runTool({"demo", option, value}), 2, message);
  }
}

}  // namespace
