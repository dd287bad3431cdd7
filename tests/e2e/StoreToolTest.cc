// `hwtables store fill|check|dump` against real store directories: what a fill writes
// dump lists, and damage is reported with a reason, never crashes, is never written.

#include "tests/e2e/E2eTest.h"

namespace {

std::string fillValueHex(std::uint32_t key, std::uint32_t valueBytes) {
  std::string text = hexWord(key);
  for (std::uint32_t word = 0; word + 1 < valueBytes / 4; ++word) {
    text += hexWord(key ^ (0x9E3779B9u * (word + 1)));
  }
  return text;
}

TEST(StoreTool, DumpListsExactlyTheEntriesLeftAfterTheFillForEveryValueSize) {
  constexpr std::uint32_t kEntries = 300;
  constexpr std::uint32_t kRemoved = 40;
  constexpr std::uint32_t kLeft = kEntries - kRemoved;
  for (std::uint32_t valueBytes : {8u, 12u, 16u, 20u}) {
    SCOPED_TRACE(valueBytes);
    TempDir root;
    std::string dir = root.file("store");
    auto fill = runTool({"store", "fill", dir, "--entries", std::to_string(kEntries),
                         "--value-bytes", std::to_string(valueBytes), "--remove",
                         std::to_string(kRemoved), "--seed", "7", "--json"});
    ASSERT_EQ(fill.status, 0) << fill.err;
    EXPECT_TRUE(fill.err.empty()) << fill.err;
    expectMembers(json::parse(fill.out),
                  {{"written", kEntries}, {"removed", kRemoved}, {"occupancy", kLeft}});

    auto check = runTool({"store", "check", dir, "--json"});
    ASSERT_EQ(check.status, 0) << check.err << check.out;
    EXPECT_TRUE(check.err.empty()) << check.err;
    expectMembers(json::parse(check.out),
                  {{"result", "ok"},
                   {"header",
                    {{"valueType", fmt::format("Brell::RawValue<{}>", valueBytes)},
                     {"occupancy", kLeft},
                     {"largestOccupancy", kEntries}}}});

    auto dump = runTool({"store", "dump", dir, "--json"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    auto keys = fillKeys(7, kEntries);
    std::map<std::string, std::string> expected;  // key hex -> value hex
    for (std::uint32_t index = kRemoved; index < kEntries; ++index) {
      expected[hexWord(keys[index])] = fillValueHex(keys[index], valueBytes);
    }
    std::map<std::string, std::string> listed;
    auto dumped = json::parse(dump.out);
    for (auto const& entry : dumped["entries"]) {
      listed[entry["key"]] = entry["value"];
      EXPECT_EQ(entry["version"].get<std::uint32_t>() & 3u, 1u) << "occupied, not mid-rewrite";
    }
    EXPECT_EQ(listed, expected);

    // People get the same facts as readable text.
    auto text = runTool({"store", "dump", dir});
    ASSERT_EQ(text.status, 0) << text.err;
    expectHas(text.out, {fmt::format("store {}: valid", dir),
                         fmt::format("{} occupied slots in list order", kLeft),
                         fillValueHex(keys[kEntries - 1], valueBytes)});
  }
}

TEST(StoreTool, ARefillKeepsTheEntriesAndNothingElseIsOverwrittenNotEvenThroughALink) {
  TempDir root;
  std::string dir = root.file("store");
  ASSERT_EQ(runTool({"store", "fill", dir, "--entries", "100", "--seed", "1"}).status, 0);
  auto again = runTool(
      {"store", "fill", dir, "--entries", "100", "--seed", "2", "--remove", "10", "--json"});
  ASSERT_EQ(again.status, 0) << again.err;
  // Seeds 1 and 2 share no keys among their first hundred.
  EXPECT_EQ(json::parse(again.out)["occupancy"], 190);

  auto before = snapshot(dir);
  expectOneLineError(runTool({"store", "fill", dir, "--entries", "5", "--value-bytes", "12"}), 2,
                     "holds a store of Brell::RawValue<8> values");
  EXPECT_TRUE(snapshot(dir) == before) << "a refused fill changes nothing";

  // A directory with someone else's files is not a store and is left alone.
  TempDir other;
  writeAll(other.file("notes.txt"), "keep me");
  expectOneLineError(runTool({"store", "fill", other.path(), "--entries", "5"}), 2,
                     "is not empty and holds no store");
  EXPECT_EQ(snapshot(other.path()), (std::map<std::string, std::string>{{"notes.txt", "keep me"}}));

  // Nor through a symbolic link planted in the store directory.
  for (auto const* name : {"slots", "buckets", "owner", "pyrel", "control"}) {
    SCOPED_TRACE(name);
    TempDir planted;
    fs::create_symlink(other.file("notes.txt"), planted.file(name));
    expectOneLineError(runTool({"store", "fill", planted.path(), "--entries", "10"}), 2,
                       "symbolic link");
    EXPECT_EQ(readAll(other.file("notes.txt")), "keep me");
    EXPECT_TRUE(fs::is_symlink(planted.file(name)));
  }
}

TEST(StoreTool, BadArgumentsAndDirectoriesThatAreNotStoresAreRefusedWithOneLine) {
  TempDir root;
  writeAll(root.file("plain-file"), "x");
  fs::create_directory(root.file("empty"));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> cases{
      {{"store", "check", root.file("empty")}, "is not a store"},
      {{"store", "check", root.file("absent")}, "no store directory"},
      {{"store", "dump", root.file("plain-file")}, "is not a directory"},
      {{"store", "fill", root.file("plain-file"), "--entries", "1"}, "is not a directory"},
      {{"store", "fill", root.file("new")}, "--entries is required"},
      {{"store", "fill", root.file("new"), "--entries", "5", "--value-bytes", "10"},
       "--value-bytes"},
      {{"store", "fill", root.file("new"), "--entries", "5", "--remove", "6"},
       "--remove 6 is more than --entries 5"},
  };
  for (auto const& testCase : cases) {
    SCOPED_TRACE(fmt::format("{}", fmt::join(testCase.args, " ")));
    expectOneLineError(runTool(testCase.args), 2, testCase.message);
  }
  EXPECT_FALSE(fs::exists(root.file("new"))) << "nothing is created for a refused fill";
}

struct Damage {
  std::string name;
  std::string file;
  std::function<void(std::string& bytes)> apply;
  std::string reason;  // part of the reported reason
};

TEST(StoreTool, DamagedFilesAreReportedWithAReasonAndLeftAsTheyWere) {
  TempDir root;
  std::string dir = root.file("store");
  ASSERT_EQ(runTool({"store", "fill", dir, "--entries", "200", "--remove", "20"}).status, 0);
  auto pristine = snapshot(dir);
  // An occupied slot, from the dump; V = 8: header 632 bytes, slots of 24.
  auto listed = json::parse(runTool({"store", "dump", dir, "--json"}).out);
  std::size_t const kSlot = 632 + 24 * listed["entries"][0]["slot"].get<std::size_t>();
  std::vector<Damage> damages{
      {"critical section bit", "slots", [](std::string& b) { b[558] = 1; },
       "bad critical section runtimeFlags:1"},
      {"slots truncated to part of the header", "slots", [](std::string& b) { b.resize(300); },
       "bad header file size"},
      {"slots truncated inside the slot array", "slots",
       [](std::string& b) { b.resize(632 + 24 * 10 + 5); }, "bad shmem size"},
      // Single flipped bits: NoFlippedBitMakesTheToolCrash... below.
      {"occupied bit of an occupied slot cleared", "slots", [&](std::string& b) { b[kSlot] &= ~1; },
       ""},
      {"buckets truncated", "buckets", [](std::string& b) { b.resize(30); }, ""},
      {"pyrel file gone", "pyrel", [](std::string& b) { b.clear(); }, "failed to read pyrel file"},
      {"owner file damaged", "owner", [](std::string& b) { b.replace(8, 6, "damage"); },
       "damaged owner file"},
  };
  for (auto const& damage : damages) {
    SCOPED_TRACE(damage.name);
    std::string bytes = pristine.at(damage.file);
    damage.apply(bytes);
    writeAll(root.file("store/" + damage.file), bytes);
    auto damaged = snapshot(dir);
    for (auto const* command : {"check", "dump"}) {
      auto run = runTool({"store", command, dir, "--json"});
      expectOneLineError(run, 1, "is invalid: ");
      auto report = json::parse(run.out);
      expectMembers(report, {{"result", "invalid"}, {"valid", false}});
      std::string reason = report["reason"];
      expectHas(reason, {damage.reason});
      expectHas(run.err, {reason.substr(0, 20)});
    }
    expectHas(runTool({"store", "check", dir}).out, {"INVALID"});
    EXPECT_TRUE(snapshot(dir) == damaged) << "inspection never writes to the store";
    // A fill does not overwrite a damaged store either.
    expectOneLineError(runTool({"store", "fill", dir, "--entries", "1"}), 2, "damaged store");
    EXPECT_TRUE(snapshot(dir) == damaged);
    for (auto const& [name, content] : pristine) writeAll(root.file("store/" + name), content);
  }
}

TEST(StoreTool, NoFlippedBitMakesTheToolCrashAndNoStructuralOneGoesUnnoticed) {
  TempDir root;
  std::string dir = root.file("store");
  auto fill =
      runTool({"store", "fill", dir, "--entries", "40", "--value-bytes", "12", "--remove", "5"});
  ASSERT_EQ(fill.status, 0) << fill.err;
  auto pristine = snapshot(dir);
  auto listed = json::parse(runTool({"store", "dump", dir, "--json"}).out);
  // Flips at random places are the fuzz target's part (tests/fuzz/StoreFilesFuzz.cc);
  // here, the places a flip must be noticed at, and some it may pass.
  struct Spot {
    std::string file;
    std::size_t offset;
    int bit;
    bool mustFail;
  };
  std::vector<Spot> spots;
  // The header: its checksummed part, critical section, occupancy, free-list head,
  // hash seed, slot count; then fields a flip may leave harmless.
  for (std::size_t offset : {0, 8, 12, 16, 24, 28, 32, 36, 44, 48, 52, 56, 57, 92, 96, 100}) {
    spots.push_back({"slots", offset, 3, true});
  }
  for (std::size_t offset : {558, 564, 568, 576, 588}) spots.push_back({"slots", offset, 0, true});
  for (std::size_t offset : {72, 556, 572, 584, 592, 608, 612, 616}) {
    spots.push_back({"slots", offset, 2, false});
  }
  // Occupied slots (V = 12, S = 32, slot i at 640 + 32 i): occupied bit, next
  // reference, key, rhash.
  for (std::size_t index = 0; index < 4; ++index) {
    std::size_t slot = 640 + 32 * listed["entries"][index]["slot"].get<std::size_t>();
    for (std::size_t field : {0, 4, 8, 20}) spots.push_back({"slots", slot + field, 0, true});
  }
  // The bucket header and heads' references.
  for (std::size_t offset : {0, 8, 12, 20, 24 + 4, 24 + 8 * 3 + 4}) {
    spots.push_back({"buckets", offset, 0, true});
  }
  for (auto const& spot : spots) {
    SCOPED_TRACE(fmt::format("{} byte {} bit {}", spot.file, spot.offset, spot.bit));
    std::string bytes = pristine.at(spot.file);
    bytes[spot.offset] = static_cast<char>(bytes[spot.offset] ^ (1 << spot.bit));
    writeAll(root.file("store/" + spot.file), bytes);
    auto run = runTool({"store", spot.offset % 2 ? "dump" : "check", dir, "--json"});
    ASSERT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;
    auto report = json::parse(run.out);  // always one whole JSON document
    EXPECT_EQ(report["valid"].get<bool>(), run.status == 0);
    EXPECT_TRUE(run.status == 1 || !spot.mustFail) << run.out;
    if (run.status == 1) {
      EXPECT_FALSE(report["reason"].get<std::string>().empty());
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    } else {
      EXPECT_TRUE(run.err.empty()) << run.err;
    }
    writeAll(root.file("store/" + spot.file), pristine.at(spot.file));
  }
}

}  // namespace
