// `hwtables journal`: a demo's journal replays to the recorded chip's digest, here and
// on a chip process; the committed journals of every version replay to the digest they
// were recorded with (a format change that breaks replay fails here).
#include <list>

#include "tests/e2e/E2eTest.h"

namespace {

// Recorded with `hwtables demo --faps 0-1 --chip S --journal F` on a chip process
// whose `hwtables chip digest` then said this: by this version, and by the hwtables
// that wrote versions 3, 2 and 1 (their files must keep replaying).
constexpr char const* kCommitted = HWTABLES_SOURCE_DIR "/tests/e2e/data/demo-faps-0-1.journal";
constexpr char const* kCommittedV3 = HWTABLES_SOURCE_DIR "/tests/e2e/data/demo-faps-0-1-v3.journal";
constexpr char const* kCommittedV2 = HWTABLES_SOURCE_DIR "/tests/e2e/data/demo-faps-0-1-v2.journal";
constexpr char const* kCommittedV1 = HWTABLES_SOURCE_DIR "/tests/e2e/data/demo-faps-0-1-v1.journal";
constexpr char const* kCommittedDigest = "0xd2815206f1080591";
constexpr int kCommittedCells = 684;

class JournalTool : public ::testing::Test {
 protected:
  std::string serve(std::string const& name) {
    chips_.emplace_back(std::vector<std::string>{"chip", "serve", "--socket", dir_.file(name)},
                        "chip serving on");
    return dir_.file(name);
  }
  static json parsed(E2e::Run const& run) {
    EXPECT_EQ(run.status, 0) << run.err;
    return json::parse(run.out);
  }
  json digestOf(std::string const& socket) {
    return parsed(runTool({"chip", "digest", "--socket", socket, "--json"}));
  }
  TempDir dir_{"journal"};
  std::list<LiveTool> chips_;
};

TEST_F(JournalTool, TheDemosJournalReplaysToTheRecordedChipsDigest) {
  auto recorded = serve("recorded.sock");
  auto journal = dir_.file("demo.journal");
  auto demo = runTool({"demo", "--faps", "0-7", "--chip", recorded, "--root", dir_.file("stores"),
                       "--journal", journal});
  ASSERT_EQ(demo.status, 0) << demo.err;
  auto digest = digestOf(recorded);

  auto here = parsed(runTool({"journal", "replay", journal, "--json"}));
  EXPECT_EQ(std::tuple(here["digest"], here["cells"], here["replayed"]),
            std::tuple(digest["digest"], digest["cells"], digest["commandsExecuted"]));
  auto fresh = serve("fresh.sock");
  auto there = parsed(runTool({"journal", "replay", journal, "--chip", fresh, "--json"}));
  EXPECT_EQ(there["digest"], digest["digest"]);
  EXPECT_EQ(digestOf(fresh)["digest"], digest["digest"]);

  // A chip that holds cells is not replayed onto: nothing of it changes.
  expectOneLineError(runTool({"journal", "replay", journal, "--chip", recorded}), 2,
                     "a replay needs an empty chip");
  EXPECT_EQ(digestOf(recorded)["digest"], digest["digest"]);
}

TEST_F(JournalTool, TheCommittedJournalsOfEveryVersionReplayAndAnotherVersionIsRefused) {
  std::uint16_t version = 4;
  for (auto const* committed : {kCommitted, kCommittedV3, kCommittedV2, kCommittedV1}) {
    auto replay = parsed(runTool({"journal", "replay", committed, "--json"}));
    EXPECT_EQ(std::tuple(replay["digest"], replay["cells"], replay["files"][0]["version"]),
              std::tuple(kCommittedDigest, kCommittedCells, version--))
        << committed;
  }
  // Every version holds the same commands (from version 3 some of their rows as
  // repeats, in version 4 some of them as copies): what show prints does not depend on it.
  auto shown = parsed(runTool({"journal", "show", kCommitted, "--json"}))["records"];
  for (auto const* older : {kCommittedV3, kCommittedV2, kCommittedV1}) {
    auto shownOlder = parsed(runTool({"journal", "show", older, "--json"}))["records"];
    ASSERT_EQ(shown.size(), shownOlder.size()) << older;
    for (std::size_t index = 0; index < shown.size(); ++index) {
      shownOlder[index]["timeNs"] = shown[index]["timeNs"];
      EXPECT_EQ(shown[index], shownOlder[index]) << older;
    }
  }
  auto other = readAll(kCommitted);
  other[8] = '\5';  // the version field
  writeAll(dir_.file("other.journal"), other);
  expectOneLineError(runTool({"journal", "replay", dir_.file("other.journal")}), 2,
                     "a journal of version 5; this hwtables reads versions 1, 2, 3 and 4");
}

TEST_F(JournalTool, ShowFiltersByTableAndFapACutOrDamagedFileIsReadToItsLastRecordAndNoOtherFile) {
  auto all = parsed(runTool({"journal", "show", kCommitted, "--json"}));
  auto total = all["records"].size();
  ASSERT_EQ(total, all["recordsInJournal"].get<std::size_t>());
  auto table = all["records"][0]["table"].get<std::string>();
  auto ofTable = parsed(runTool({"journal", "show", kCommitted, "--table", table, "--json"}));
  EXPECT_LT(ofTable["records"].size(), total);
  for (auto const& record : ofTable["records"]) EXPECT_EQ(record["table"], table);
  auto ofFap = parsed(runTool({"journal", "show", kCommitted, "--fap", "1", "--json"}));
  ASSERT_FALSE(ofFap["records"].empty());
  for (auto const& record : ofFap["records"]) expectHas(record["faps"].dump(), {"1"});
  auto mistyped = runTool({"journal", "show", kCommitted, "--table", table + "x"});
  EXPECT_EQ(mistyped.status, 1);
  expectHas(mistyped.err, {"no command of the journal is for table " + table + "x; its tables: "});

  // Cut inside its last record, as a kill in the middle of a write leaves it.
  auto whole = readAll(kCommitted);
  writeAll(dir_.file("cut.journal"), whole.substr(0, whole.size() - 5));
  auto cut = runTool({"journal", "show", dir_.file("cut.journal")});
  EXPECT_EQ(cut.status, 0) << cut.err;
  expectHas(cut.out, {fmt::format("{0} of {0} command(s) shown", total - 1), "cut short at byte"});
  // Damage is not a cut: what was read is replayed, and the command fails.
  whole[whole.size() / 2] ^= 1;
  writeAll(dir_.file("damaged.journal"), whole);
  auto replay = runTool({"journal", "replay", dir_.file("damaged.journal")});
  EXPECT_EQ(replay.status, 1) << replay.out;
  expectHas(replay.err, {"damaged at byte"});
  expectHas(replay.out, {"digest 0x"});

  // A file that is no journal is never taken for one.
  auto notes = dir_.file("notes");
  writeAll(notes, "keep me");
  expectOneLineError(runAgentScript(dir_, "quit\n", {"--journal", notes}), 2,
                     "is not a journal; it is left as it is");
  EXPECT_EQ(readAll(notes), "keep me");
  expectOneLineError(runTool({"journal", "show", notes}), 2, "is not a journal");
}

}  // namespace
