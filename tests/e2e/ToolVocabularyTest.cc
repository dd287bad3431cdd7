// One vocabulary across the tool's commands: errors in one style with the numbers
// that matter (and as JSON with --json), one text form of a store's keys, field values
// decoded once and shown as numbers, help where a user looks for it, and table names
// matched as people type them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::expectOneLineError;
using E2e::runTool;
using nlohmann::json;

class Root : public E2e::TempDir {
 public:
  Root() : E2e::TempDir("vocabulary") {}
};

TEST(VocabularyErrors, OneLineWithTheNumbersLongInputCutShortAndJsonWithJson) {
  Root root;
  expectOneLineError(runTool({"demo", "--root", root.path(), "--dma-buffer", "1"}), 2,
                     "a DMA buffer of 1 bytes is outside 12..67108864");
  std::string longName(5000, 'x');
  for (auto args : std::vector<std::vector<std::string>>{{"tables", longName},
                                                         {"show", longName},
                                                         {"demo", "--faps", longName},
                                                         {"demo", "--revision", longName}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_LT(run.err.size(), 400u) << run.err;
    EXPECT_NE(run.err.find("... ("), std::string::npos) << run.err;
  }
  // With --json an error is one JSON document on stderr, the system's text kept.
  for (auto args : std::vector<std::vector<std::string>>{
           {"tables", "NoSuchTable", "--json"},
           {"demo", "--faps", "256", "--json"},
           {"store", "check", root.file("none"), "--json"},
           {"show", "IppaBsplProfileTblHwDirect", "--root", root.path(), "--json"}}) {
    auto run = runTool(args);
    ASSERT_NE(run.status, 0);
    auto error = json::parse(run.err);
    EXPECT_EQ(error["exitStatus"], run.status);
    EXPECT_FALSE(error["error"].get<std::string>().empty());
  }
}

TEST(VocabularyKeys, StoreGetTakesTheKeyAsDumpPrintsItAndSaysHowItReadIt) {
  Root root;
  auto dir = root.file("store");
  ASSERT_EQ(runTool({"store", "fill", dir, "--entries", "20", "--seed", "5"}).status, 0);
  auto dump = runTool({"store", "dump", dir, "--json"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  auto entries = json::parse(dump.out)["entries"];
  ASSERT_EQ(entries.size(), 20u);
  for (auto const& entry : entries) {
    auto key = entry["key"].get<std::string>();
    auto got = runTool({"store", "get", dir, key, "--json"});
    ASSERT_EQ(got.status, 0) << key << ": " << got.err;
    auto document = json::parse(got.out);
    EXPECT_EQ(document["entry"]["value"], entry["value"]);
    EXPECT_EQ(document["keyReadAs"], "bytes");
  }
  std::uint32_t key = E2e::fillKeys(5, 1)[0];
  auto number = runTool({"store", "get", dir, std::to_string(key)});
  ASSERT_EQ(number.status, 0) << number.err;
  EXPECT_NE(
      number.out.find(fmt::format("the number {}, whose key bytes are {}", key, E2e::hexWord(key))),
      std::string::npos)
      << number.out;
  // Eight decimal digits are key bytes too: the canonical form wins, and says so.
  auto both = runTool({"store", "get", dir, "12345678"});
  EXPECT_EQ(both.status, 1);
  EXPECT_NE(both.out.find("the key bytes, as dump prints them (--number reads it as a number)"),
            std::string::npos)
      << both.out;
  expectOneLineError(runTool({"store", "get", dir, "zz"}), 2,
                     "is neither 4 bytes in hex (as dump prints keys) nor a 32-bit number");
}

TEST(VocabularyValues, FieldsAreNumbersInJsonAndDecodedAlikeByDemoAgentAndShow) {
  Root root;
  auto demo = runTool({"demo", "--json", "--root", root.path(), "--faps", "0"});
  ASSERT_EQ(demo.status, 0) << demo.err;
  std::map<std::string, json> chip;
  auto document = json::parse(demo.out);
  for (auto const& table : document["tables"]) {
    for (auto const& row : table["chipRows"]) {
      for (auto const& [name, value] : row["fields"].items()) {
        if (name == "cfgFheiMplsSwapRemarkMap") {
          EXPECT_TRUE(value.is_string()) << "a 256-bit bitmap is a bit string";
        } else {
          EXPECT_TRUE(value.is_number_unsigned()) << name << " " << value;
        }
      }
      chip[fmt::format("{}/{}/{}", table["table"].get<std::string>(), row["arrayIndex"].get<int>(),
                       row["entryIndex"].get<int>())] = row["fields"];
    }
  }
  EXPECT_TRUE(chip.contains("EtppCfgFheiMplsSwapRemarkMapHwReg/0/0"));
  auto text = runTool({"demo", "--root", root.path(), "--faps", "0"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("cfgFheiMplsSwapRemarkMap = 0x"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("vttSpecialLabelValue0 = 1048575"), std::string::npos);
  EXPECT_FALSE(std::regex_search(text.out, std::regex("= 0(x0*)?( |\n)")))
      << "zero fields are left out of text";

  // The agent's get and a reader's show decode an entry as the demo decodes the chip.
  std::ofstream(root.file("script"))
      << "get IppdPphAttributeByEeiHwDirect 0 {value=15}\n"
         "get IppaBsplProfileTblHwDirect 0 {arrayIndex=3 entryIndex=14}\n";
  auto agent = runTool(
      {"agent", "--json", "--faps", "0", "--root", root.path(), "--script", root.file("script")});
  ASSERT_EQ(agent.status, 0) << agent.err;
  auto replies = E2e::jsonLines(agent.out);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[1]["fields"], chip.at("IppdPphAttributeByEeiHwDirect/0/15"));
  EXPECT_EQ(replies[2]["fields"], chip.at("IppaBsplProfileTblHwDirect/3/14"));
}

TEST(VocabularyHelp, NoCommandOrAnUnknownOptionListsTheCommandsAndHelpNamesOne) {
  for (auto args : std::vector<std::vector<std::string>>{{}, {"--frob"}, {"store"}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(run.err.rfind("hwtables: ", 0), 0u) << run.err;
    for (auto const* command : args.empty() || args[0] != "store"
                                   ? std::vector<char const*>{"agent", "demo", "store", "tables"}
                                   : std::vector<char const*>{"check", "dump", "fill"}) {
      EXPECT_NE(run.err.find(std::string("\n  ") + command), std::string::npos) << command << "\n"
                                                                                << run.err;
    }
  }
  EXPECT_NE(runTool({"--frob"}).err.find("unknown option --frob"), std::string::npos);
  auto store = runTool({"help", "store"});
  EXPECT_EQ(store.status, 0);
  EXPECT_NE(store.out.find("fill"), std::string::npos) << store.out;
  EXPECT_EQ(store.out.find("demo"), std::string::npos) << "the store's help, not the top's";
  auto fill = runTool({"help", "store", "fill"});
  EXPECT_EQ(fill.status, 0);
  EXPECT_NE(fill.out.find("--entries"), std::string::npos) << fill.out;
  expectOneLineError(runTool({"help", "stor"}), 2,
                     "no command 'stor' in 'hwtables' (did you mean 'store'?)");
}

TEST(VocabularyNames, TableNamesMatchIgnoringCaseAndUnknownOnesGetTheNearest) {
  auto run = runTool({"tables", "ippabsplprofiletblhwdirect", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(json::parse(run.out)[0]["class"], "IppaBsplProfileTblHwDirect");
  expectOneLineError(runTool({"show", "IppaBspl"}), 2,
                     "unknown table 'IppaBspl' (did you mean 'IppaBsplProfileTblHwDirect'?)");
  expectOneLineError(runTool({"describe", "IppaTerminationProfileTableHwDirekt"}), 2,
                     "(did you mean 'IppaTerminationProfileTableHwDirect'?)");
  // The catalogue shows the rows a single-index key names apart from its null value.
  auto catalogue = runTool({"tables", "IppaTerminationProfileTableHwDirect"});
  EXPECT_NE(catalogue.out.find("value 0..7 (null 8)"), std::string::npos) << catalogue.out;
}

}  // namespace
