// `hwtables demo` run as a separate process: the registers land on the simulated chip
// exactly as their shadows hold them, and bad input is refused with one line.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::Run;
using E2e::runTool;

std::string hexOf(std::vector<unsigned> const& bytes) {
  std::string text;
  for (auto byte : bytes) text += fmt::format("{:02x}", byte);
  return text;
}

TEST(DemoTool, ProgramsAndVerifiesTheFourRegisters) {
  auto run = runTool({"demo"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  for (auto const* name : {"IppVttSpecialLabelValuesHwReg", "IppVttSpecialLabelsProfileHwReg",
                           "EtppPhpMapFwdCodeHwReg", "EtppCfgFheiMplsSwapRemarkMapHwReg"}) {
    EXPECT_NE(run.out.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(run.out.find("MISMATCH"), std::string::npos);
  // The chip's contents, read back and decoded into fields.
  for (auto const* text :
       {"IppVttSpecialLabelValuesHwReg  ff ff ef ff ff 37 00 00", "vttSpecialLabelValue0 = 0xfffff",
        "phpMapFwdCode = 0xfff453fff412", "bos0Label7Profile = 2   bos1Label7Profile = 6"}) {
    EXPECT_NE(run.out.find(text), std::string::npos) << text;
  }
  EXPECT_NE(run.out.find("4 registers programmed and verified on the simulated chip."),
            std::string::npos);
}

TEST(DemoTool, JsonCarriesEachShadowsBytesAndTheCommandsThatWroteThem) {
  auto run = runTool({"demo", "--json", "--faps", "2,5-6"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto document = nlohmann::json::parse(run.out);
  EXPECT_TRUE(document["ok"].get<bool>());
  EXPECT_EQ(document["faps"], nlohmann::json::array({2, 5, 6}));
  EXPECT_EQ(document["revision"], "bcm88490_a0");

  std::vector<unsigned> swapMap(32, 0);
  for (unsigned step = 0; step < 7; ++step) swapMap[6 + 2 * step] = step + 1;
  std::map<std::string, std::pair<std::string, std::size_t>> expected{
      {"IppVttSpecialLabelValuesHwReg", {"ffffefffff370000", 2}},
      {"IppVttSpecialLabelsProfileHwReg", {"899dd8b66dcbb66ddbb66ddb", 2}},
      {"EtppPhpMapFwdCodeHwReg", {"12f4ff53f4ff0000", 1}},
      {"EtppCfgFheiMplsSwapRemarkMapHwReg", {hexOf(swapMap), 1}},
  };
  ASSERT_EQ(document["tables"].size(), expected.size());
  for (auto const& table : document["tables"]) {
    auto name = table["table"].get<std::string>();
    ASSERT_TRUE(expected.contains(name)) << name;
    auto const& [data, members] = expected[name];
    EXPECT_TRUE(table["ok"].get<bool>()) << name;
    ASSERT_EQ(table["shadows"].size(), 3u);
    for (auto const& shadow : table["shadows"]) {
      ASSERT_EQ(shadow["entries"].size(), 1u);
      EXPECT_EQ(shadow["entries"][0]["data"], data) << name;
      EXPECT_EQ(shadow["servedFaps"], nlohmann::json::array({shadow["fapId"]}));
    }
    // One write per member per shadow, each to its shadow's FAP only, with its bytes.
    ASSERT_EQ(table["commands"].size(), members * 3) << name;
    for (auto const& cmd : table["commands"]) {
      EXPECT_EQ(cmd["kind"], "registerWrite");
      EXPECT_EQ(cmd["faps"].size(), 1u);
      EXPECT_EQ(cmd["data"], data);
    }
  }
}

TEST(DemoTool, BadInputIsRefusedWithOneLineAndNoOutput) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> cases{
      {{"demo", "--faps", "256"}, "FAP id 256 is above 255"},
      {{"demo", "--faps", "0,x"}, "'x' is not a FAP id"},
      {{"demo", "--faps", "127-129"}, "FAP id 128 is reserved"},
      {{"demo", "--revision", "sim24_a0"}, "chip type 24"},
      {{"demo", "--revision", "bcm88490_z9"}, "unknown revision 'bcm88490_z9'"},
  };
  for (auto const& testCase : cases) {
    E2e::expectOneLineError(runTool(testCase.args), 2, testCase.message);
  }
}

}  // namespace
