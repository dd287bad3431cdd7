// `hwtables demo` run as a separate process: all thirteen tables land on the simulated
// chip exactly as their shadows hold them, the memory shadows' stores are read back
// by a second process, and bad input is refused with one line.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
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

// A store root of its own for each test, removed afterwards.
class StoreRoot : public E2e::TempDir {
 public:
  StoreRoot() : E2e::TempDir("demo") {}
};

TEST(DemoTool, ProgramsAndVerifiesAllThirteenTablesAndAReaderProcessConfirmsTheMemories) {
  StoreRoot root;
  auto run = runTool({"demo", "--root", root.path()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  for (auto const* name : {"IppVttSpecialLabelValuesHwReg", "EtppCfgFheiMplsSwapRemarkMapHwReg",
                           "IppaTerminationProfileTableHwDirect", "IppdPphAttributeByEeiHwDirect",
                           "IppfPostMplsSpecialLabelAttributesTblHwDirect"}) {
    EXPECT_NE(run.out.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(run.out.find("MISMATCH"), std::string::npos);
  // The chip's contents, read back and decoded into fields.
  for (auto const* text :
       {"IppVttSpecialLabelValuesHwReg  ff ff ef ff ff 37 00 00", "vttSpecialLabelValue0 = 1048575",
        "phpMapFwdCode = 281424846386194", "bos0Label7Profile = 2   bos1Label7Profile = 6",
        "row  5  1e 00 00 00", "hasCw = 1   labelsToTerminate = 1"}) {
    EXPECT_NE(run.out.find(text), std::string::npos) << text;
  }
  EXPECT_NE(run.out.find("13 tables (4 registers, 9 memories) programmed and verified"),
            std::string::npos);
  EXPECT_NE(run.out.find("saw exactly the shadow's entries"), std::string::npos);
  EXPECT_NE(run.out.find("Every table was read back through its reader"), std::string::npos);
  EXPECT_NE(run.out.find(" 0 mismatches."), std::string::npos);
}

TEST(DemoTool, FlippedBitsAreEachNamedByTheReadBackAuditAndTheDemoFails) {
  StoreRoot root;
  for (auto const* seed : {"1", "42", "977"}) {
    auto run = runTool({"demo", "--json", "--root", root.path(), "--flip-bits", "5", "--seed", seed});
    ASSERT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("the read-back audit found"), std::string::npos) << run.err;
    auto document = nlohmann::json::parse(run.out);
    EXPECT_FALSE(document["ok"].get<bool>());
    EXPECT_EQ(document["seed"].get<std::uint64_t>(), std::stoull(seed));
    // A cell changed when an odd number of flips hit the same bit of it.
    using Cell = std::tuple<int, int, int, int, int>;
    auto cellOf = [](nlohmann::json const& where, char const* row) {
      return Cell{where["fap"].get<int>(), where["block"].get<int>(), where["address"].get<int>(),
                  where["arrayIndex"].get<int>(), where[row].get<int>()};
    };
    std::map<Cell, std::map<int, int>> flips;
    for (auto const& flip : document["flippedBits"]) {
      ++flips[cellOf(flip, "row")][flip["bit"].get<int>()];
    }
    std::set<Cell> changed;
    for (auto const& [cell, bits] : flips) {
      for (auto const& [bit, times] : bits) {
        if (times % 2 == 1) changed.insert(cell);
      }
    }
    std::set<Cell> named;
    for (auto const& table : document["tables"]) {
      for (auto const& difference : table["readBack"]["differences"]) {
        EXPECT_NE(difference["expected"], difference["read"]);
        named.insert(cellOf(difference, "entryIndex"));
      }
    }
    EXPECT_EQ(named, changed) << "seed " << seed;
    EXPECT_EQ(document["readBackDifferences"].get<std::size_t>(), named.size());
  }
}

TEST(DemoTool, JsonCarriesEachShadowsBytesTheCommandsAndTheChipsRows) {
  StoreRoot root;
  auto run = runTool({"demo", "--json", "--faps", "2,5-6", "--root", root.path(), "--dma-buffer",
                      "64"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto document = nlohmann::json::parse(run.out);
  EXPECT_TRUE(document["ok"].get<bool>());
  EXPECT_EQ(document["faps"], nlohmann::json::array({2, 5, 6}));
  EXPECT_EQ(document["revision"], "bcm88490_a0");
  EXPECT_EQ(document["storeRoot"], root.path());
  EXPECT_GT(document["readerProcess"].get<int>(), 0);

  std::vector<unsigned> swapMap(32, 0);
  for (unsigned step = 0; step < 7; ++step) swapMap[6 + 2 * step] = step + 1;
  std::map<std::string, std::pair<std::string, std::size_t>> registers{
      {"IppVttSpecialLabelValuesHwReg", {"ffffefffff370000", 2}},
      {"IppVttSpecialLabelsProfileHwReg", {"899dd8b66dcbb66ddbb66ddb", 2}},
      {"EtppPhpMapFwdCodeHwReg", {"12f4ff53f4ff0000", 1}},
      {"EtppCfgFheiMplsSwapRemarkMapHwReg", {hexOf(swapMap), 1}},
  };
  // Stored entries per shadow, and bulk writes per shadow with 64-byte buffers.
  std::map<std::string, std::pair<std::size_t, std::size_t>> memories{
      {"IppaTerminationProfileTableHwDirect", {5, 1}},
      {"IppdPphAttributeByEeiHwDirect", {3, 1}},
      {"IppaBsplProfileTblHwDirect", {64, 4}},
      {"IppaMplsSpecialLabelAttributesTblHwDirect", {64, 14}},   // 5 rows a buffer
      {"IppfPostMplsSpecialLabelAttributesTblHwDirect", {16, 2}},  // 8 rows a buffer
  };
  ASSERT_EQ(document["tables"].size(), 13u);
  for (auto const& table : document["tables"]) {
    auto name = table["table"].get<std::string>();
    EXPECT_TRUE(table["ok"].get<bool>()) << name;
    ASSERT_EQ(table["shadows"].size(), 3u);
    if (auto found = registers.find(name); found != registers.end()) {
      auto const& [data, members] = found->second;
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
      continue;
    }
    EXPECT_EQ(table["kind"], "memory") << name;
    EXPECT_TRUE(table["readerMismatches"].empty()) << name;
    // Every row of every array of every FAP is on the chip, decoded.
    EXPECT_EQ(table["chipRows"].size(), table["cellsChecked"]) << name;
    for (auto const& cmd : table["commands"]) EXPECT_EQ(cmd["kind"], "memoryBulkWrite") << name;
    if (auto found = memories.find(name); found != memories.end()) {
      for (auto const& shadow : table["shadows"]) {
        EXPECT_EQ(shadow["entries"].size(), found->second.first) << name;
      }
      EXPECT_EQ(table["bulkWrites"], found->second.second * 3) << name;
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
      {{"demo", "--flip-bits", "-1"}, "--flip-bits"},
      {{"demo", "--seed", "x"}, "--seed"},
  };
  for (auto const& testCase : cases) {
    E2e::expectOneLineError(runTool(testCase.args), 2, testCase.message);
  }
}

}  // namespace
