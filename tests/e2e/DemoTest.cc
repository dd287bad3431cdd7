// `hwtables demo` run as a separate process.

#include "tests/e2e/E2eTest.h"

namespace {

using StoreRoot = E2e::TempDir;

TEST(DemoTool, ProgramsAndVerifiesAllThirteenTablesAndAReaderProcessConfirmsTheMemories) {
  StoreRoot root;
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
  StoreRoot root;
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

TEST(DemoTool, JsonCarriesEachShadowsBytesTheCommandsAndTheChipsRows) {
  StoreRoot root;
  auto run =
      runTool({"demo", "--json", "--faps", "2,5-6", "--root", root.path(), "--dma-buffer", "64"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto document = json::parse(run.out);
  expectMembers(
      document,
      {{"ok", true}, {"faps", {2, 5, 6}}, {"revision", "bcm88490_a0"}, {"storeRoot", root.path()}});
  // What registers hold at start-up and how rows are packed into buffers are the
  // tables' tests; here, that the document carries them consistently.
  ASSERT_EQ(document["tables"].size(), 13u);
  for (auto const& table : document["tables"]) {
    auto name = table["table"].get<std::string>();
    EXPECT_TRUE(table["ok"].get<bool>()) << name;
    ASSERT_EQ(table["shadows"].size(), 3u);
    if (table["kind"] == "register") {
      std::map<int, json> data;  // by FAP
      for (auto const& shadow : table["shadows"]) {
        ASSERT_EQ(shadow["entries"].size(), 1u);
        EXPECT_EQ(shadow["servedFaps"], json::array({shadow["fapId"]}));
        data[shadow["fapId"].get<int>()] = shadow["entries"][0]["data"];
      }
      // One write per member per shadow, each to its shadow's FAP only, with its bytes.
      ASSERT_EQ(table["commands"].size() % 3, 0u) << name;
      for (auto const& cmd : table["commands"]) {
        EXPECT_EQ(cmd["kind"], "registerWrite");
        ASSERT_EQ(cmd["faps"].size(), 1u);
        EXPECT_EQ(cmd["data"], data.at(cmd["faps"][0].get<int>())) << name;
      }
      continue;
    }
    // Every row of every array of every FAP is on the chip, decoded.
    EXPECT_EQ(table["chipRows"].size(), table["cellsChecked"]) << name;
    EXPECT_EQ(table["bulkWrites"], table["commands"].size()) << name;
  }
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
