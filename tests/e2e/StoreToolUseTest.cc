// The tool as a new user meets it: commands they mistype, asking for the version, a
// store left by a killed writer and how to recover it, two writers starting at once,
// files they may not read, a fill interrupted at once and one too large for the
// machine. (Looking up one key: VocabularyKeys.)
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "platform/sharedmem/OwnerFile.h"
#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::expectHas;
using E2e::expectLacks;
namespace fs = std::filesystem;
using nlohmann::json;

using E2e::expectOneLineError;
using E2e::runTool;

using E2e::TempDir;

void patchByte(std::string const& path, std::size_t offset, char byte) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  file.put(byte);
}

// What help lists: VocabularyHelp (ToolVocabularyTest.cc).
TEST(ToolCommands, MistypedCommandsAreNamedWithTheNearestAndVersionAnswers) {
  auto top = runTool({"stor", "check"});
  expectOneLineError(top, 2, "unknown command 'stor' (did you mean 'store'?)");
  auto nested = runTool({"store", "chek", "/nowhere"});
  expectOneLineError(nested, 2, "unknown command 'chek' (did you mean 'check'?)");
  // lists the commands there are
  expectHas(nested.err, {"wipe"});
  expectOneLineError(runTool({"frobnicate"}), 2, "unknown command 'frobnicate'");

  auto version = runTool({"--version"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out.rfind("hwtables ", 0), 0u) << version.out;
}

TEST(ToolKilledWriter, TheStoreIsExplainedInTheUsersWordsAndWipeRecoversIt) {
  TempDir root;
  std::string dir = root.file("store");
  ASSERT_EQ(runTool({"store", "fill", dir, "--entries", "100"}).status, 0);
  patchByte(dir + "/slots", 558, 1);  // what a writer killed mid-operation leaves

  auto check = runTool({"store", "check", dir});
  expectOneLineError(check, 1, "stopped in the middle of a change (killed or crashed)");
  expectHas(check.err, {fmt::format("hwtables store wipe {}", dir)});
  expectHas(check.out, {"what happened"});

  auto wipe = runTool({"store", "wipe", dir, "--json"});
  ASSERT_EQ(wipe.status, 0) << wipe.err;
  EXPECT_EQ(json::parse(wipe.out)["occupancy"], 100);
  EXPECT_TRUE(fs::is_directory(dir)) << "the directory stays";
  expectOneLineError(runTool({"store", "check", dir}), 2, "is not a store");
  ASSERT_EQ(runTool({"store", "fill", dir, "--entries", "10"}).status, 0);
  EXPECT_EQ(runTool({"store", "check", dir}).status, 0);
}

TEST(ToolBusy, AFillThatLosesTheStartUpRaceIsToldTheStoreIsBusy) {
  TempDir root;
  std::string dir = root.file("store");
  ASSERT_EQ(runTool({"store", "fill", dir, "--entries", "10"}).status, 0);
  {
    // Another writer holds the store while its files are still being made.
    std::ofstream(dir + "/slots", std::ios::trunc) << "half";
    SharedMem::OwnerFile other(dir);
    ASSERT_TRUE(other.tryLock());
    auto fill = runTool({"store", "fill", dir, "--entries", "10"});
    expectOneLineError(fill, 1, "is being written by another process");
    expectLacks(fill.err, {"damaged"});
    expectOneLineError(runTool({"store", "wipe", dir}), 1, "is being written by another process");
  }
}

TEST(ToolPermissions, FilesTheUserMayNotReadAreAnEnvironmentErrorNotAnInvalidStore) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  TempDir root;
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
  std::string dir = root.file("store");
  ASSERT_EQ(runTool({"store", "fill", dir, "--entries", "10"}).status, 0);
  ASSERT_EQ(chmod((dir + "/slots").c_str(), 0600), 0);
  constexpr uid_t kNobody = 65534;
  for (auto const* command : {"check", "dump"}) {
    SCOPED_TRACE(command);
    auto run = runTool({"store", command, dir, "--json"}, kNobody);
    expectOneLineError(run, 2, "cannot read store");
    expectHas(run.err, {"Permission denied"});
  }
}

TEST(ToolFillLimits, CtrlCRightAfterTheStartStopsCleanlyAndTheLargestFillIsRefusedUpFront) {
  TempDir root;
  std::string dir = root.file("store");
  E2e::LiveTool fill({"store", "fill", dir, "--entries", "20000000"});
  // The fill takes the signals before it makes the store: once the slot file exists,
  // Ctrl-C is the fill's to handle.
  for (int tries = 0; tries < 3000 && !fs::exists(dir + "/slots"); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  expectOneLineError(fill.stop(SIGINT), 1, "interrupted; the store is valid");
  EXPECT_EQ(runTool({"store", "check", dir}).status, 0);

  // 2^30 - 1 entries need about 32 GiB: refused before anything is made.
  struct statvfs space {};
  ASSERT_EQ(statvfs(root.path().c_str(), &space), 0);
  if (std::uint64_t{space.f_bavail} * space.f_frsize > (std::uint64_t{32} << 30)) {
    GTEST_SKIP() << "this machine has room for the largest fill";
  }
  auto largest = runTool({"store", "fill", root.file("largest"), "--entries", "1073741823"});
  expectOneLineError(largest, 2, "free");
  EXPECT_FALSE(fs::exists(root.file("largest")));
}

}  // namespace
