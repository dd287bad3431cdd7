// `hwtables journal`: the journal of `demo --faps 0-7` replays to the digest `chip
// digest` gives for the recorded chip, in this process and on a chip process; the
// journal committed beside this test replays to the digest it was recorded with (a
// format change that breaks replay fails here); another version is refused naming
// those read; show filters by table and FAP; a file cut short is read to its last record.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::runTool;

// Recorded with `hwtables demo --faps 0-1 --chip S --journal F` on a chip process
// whose `hwtables chip digest` then said this: by this version, and by the hwtables
// that wrote versions 2 and 1 (their files must keep replaying).
constexpr char const* kCommitted = HWTABLES_SOURCE_DIR "/tests/e2e/data/demo-faps-0-1.journal";
constexpr char const* kCommittedV2 = HWTABLES_SOURCE_DIR "/tests/e2e/data/demo-faps-0-1-v2.journal";
constexpr char const* kCommittedV1 = HWTABLES_SOURCE_DIR "/tests/e2e/data/demo-faps-0-1-v1.journal";
constexpr char const* kCommittedDigest = "0xd2815206f1080591";
constexpr int kCommittedCells = 684;

class JournalTool : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& chip : chips_) {
      if (chip.pid > 0) {
        ::kill(chip.pid, SIGTERM);
        E2e::finishTool(chip.pid, chip.out, chip.err);
      }
    }
  }
  std::string serve(std::string const& name) {
    Chip chip{dir_.file(name)};
    chip.pid = E2e::startTool({"chip", "serve", "--socket", chip.socket}, chip.out, chip.err);
    EXPECT_GT(chip.pid, 0);
    E2e::readUntil(chip.out, "chip serving on");
    chips_.push_back(chip);
    return chip.socket;
  }
  static nlohmann::json json(E2e::Run const& run) {
    EXPECT_EQ(run.status, 0) << run.err;
    return nlohmann::json::parse(run.out);
  }

  struct Chip {
    std::string socket;
    pid_t pid = -1;
    int out = -1;
    int err = -1;
  };
  E2e::TempDir dir_{"journal"};
  std::vector<Chip> chips_;
};

TEST_F(JournalTool, TheDemosJournalReplaysToTheRecordedChipsDigest) {
  auto recorded = serve("recorded.sock");
  auto journal = dir_.file("demo.journal");
  auto demo = runTool({"demo", "--faps", "0-7", "--chip", recorded, "--root", dir_.file("stores"),
                       "--journal", journal});
  ASSERT_EQ(demo.status, 0) << demo.err;
  auto digest = json(runTool({"chip", "digest", "--socket", recorded, "--json"}));

  auto here = json(runTool({"journal", "replay", journal, "--json"}));
  EXPECT_EQ(here["digest"], digest["digest"]);
  EXPECT_EQ(here["cells"], digest["cells"]);
  EXPECT_EQ(here["replayed"], digest["commandsExecuted"]);

  auto fresh = serve("fresh.sock");
  auto there = json(runTool({"journal", "replay", journal, "--chip", fresh, "--json"}));
  EXPECT_EQ(there["digest"], digest["digest"]);
  EXPECT_EQ(json(runTool({"chip", "digest", "--socket", fresh, "--json"}))["digest"],
            digest["digest"]);

  // A chip that holds cells is not replayed onto: nothing of it changes.
  auto busy = runTool({"journal", "replay", journal, "--chip", recorded});
  E2e::expectOneLineError(busy, 2, "a replay needs an empty chip");
  EXPECT_EQ(json(runTool({"chip", "digest", "--socket", recorded, "--json"}))["digest"],
            digest["digest"]);
}

TEST_F(JournalTool, TheCommittedJournalsOfEveryVersionReplayAndAnotherVersionIsRefusedNamingThem) {
  std::uint16_t version = 3;
  for (auto const* committed : {kCommitted, kCommittedV2, kCommittedV1}) {
    auto replay = json(runTool({"journal", "replay", committed, "--json"}));
    EXPECT_EQ(replay["digest"], kCommittedDigest) << committed;
    EXPECT_EQ(replay["cells"], kCommittedCells) << committed;
    EXPECT_EQ(replay["files"][0]["version"], version--) << committed;
  }
  // Every version holds the same commands (version 3 some of their rows as repeats):
  // what show prints does not depend on it.
  auto shown = json(runTool({"journal", "show", kCommitted, "--json"}))["records"];
  for (auto const* older : {kCommittedV2, kCommittedV1}) {
    auto shownOlder = json(runTool({"journal", "show", older, "--json"}))["records"];
    ASSERT_EQ(shown.size(), shownOlder.size()) << older;
    for (std::size_t index = 0; index < shown.size(); ++index) {
      shownOlder[index]["timeNs"] = shown[index]["timeNs"];
      EXPECT_EQ(shown[index], shownOlder[index]) << older;
    }
  }

  auto whole = E2e::readAll(kCommitted);
  for (char version : {'\0', '\4'}) {
    auto other = whole;
    other[8] = version;  // the version field
    E2e::writeAll(dir_.file("other.journal"), other);
    auto refused = runTool({"journal", "replay", dir_.file("other.journal")});
    E2e::expectOneLineError(refused, 2,
                            fmt::format("a journal of version {}; this hwtables reads versions 1, 2 and 3",
                                        int{version}));
    refused = runTool({"journal", "show", dir_.file("other.journal"), "--json"});
    E2e::expectOneLineError(refused, 2, fmt::format("version {}", int{version}));
  }
}

TEST_F(JournalTool, ShowFiltersByTableAndFapAndReadsACutFileToItsLastRecord) {
  auto all = json(runTool({"journal", "show", kCommitted, "--json"}));
  auto total = all["records"].size();
  ASSERT_EQ(total, all["recordsInJournal"].get<std::size_t>());
  auto table = all["records"][0]["table"].get<std::string>();

  auto ofTable = json(runTool({"journal", "show", kCommitted, "--table", table, "--json"}));
  ASSERT_FALSE(ofTable["records"].empty());
  EXPECT_LT(ofTable["records"].size(), total);
  for (auto const& record : ofTable["records"]) EXPECT_EQ(record["table"], table);

  auto ofFap = json(runTool({"journal", "show", kCommitted, "--fap", "1", "--json"}));
  ASSERT_FALSE(ofFap["records"].empty());
  for (auto const& record : ofFap["records"]) {
    auto const& faps = record["faps"];
    EXPECT_NE(std::find(faps.begin(), faps.end(), 1), faps.end()) << record.dump();
  }
  auto none = runTool({"journal", "show", kCommitted, "--fap", "7"});
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_NE(none.out.find("0 of " + std::to_string(total) + " command(s) shown"), std::string::npos)
      << none.out;
  auto mistyped = runTool({"journal", "show", kCommitted, "--table", table + "x"});
  EXPECT_EQ(mistyped.status, 1);
  EXPECT_NE(mistyped.err.find("no command of the journal is for table " + table + "x; its tables: "),
            std::string::npos)
      << mistyped.err;

  // Cut inside its last record, as a kill in the middle of a write leaves it.
  auto whole = E2e::readAll(kCommitted);
  E2e::writeAll(dir_.file("cut.journal"), whole.substr(0, whole.size() - 5));
  auto cut = runTool({"journal", "show", dir_.file("cut.journal")});
  ASSERT_EQ(cut.status, 0) << cut.err;
  EXPECT_NE(cut.out.find(std::to_string(total - 1) + " of " + std::to_string(total - 1) + " command(s) shown"),
            std::string::npos)
      << cut.out;
  EXPECT_NE(cut.out.find("cut short at byte"), std::string::npos) << cut.out;

  // Damage is not a cut: what was read is shown, and the command fails.
  auto damaged = whole;
  damaged[whole.size() / 2] = static_cast<char>(damaged[whole.size() / 2] ^ 1);
  E2e::writeAll(dir_.file("damaged.journal"), damaged);
  auto replay = runTool({"journal", "replay", dir_.file("damaged.journal")});
  EXPECT_EQ(replay.status, 1) << replay.out;
  EXPECT_NE(replay.err.find("damaged at byte"), std::string::npos) << replay.err;
  EXPECT_NE(replay.out.find("digest 0x"), std::string::npos) << replay.out;
}

TEST_F(JournalTool, AFileThatIsNoJournalIsNeverTakenForOne) {
  auto notes = dir_.file("notes");
  E2e::writeAll(notes, "keep me");
  auto agent = E2e::runAgentScript(dir_, "quit\n", {"--journal", notes});
  E2e::expectOneLineError(agent, 2, "is not a journal; it is left as it is");
  EXPECT_EQ(E2e::readAll(notes), "keep me");
  E2e::expectOneLineError(runTool({"journal", "show", notes}), 2, "is not a journal");
  E2e::expectOneLineError(runTool({"journal", "show", dir_.file("missing")}), 2,
                          "cannot read the journal");
}

}  // namespace
