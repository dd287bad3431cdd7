// The tool as a new user meets it: two writers starting at once, files they may not
// read, fills interrupted or too large. (A killed writer's store: StoreWipe.)
#include <sys/statvfs.h>

#include "platform/sharedmem/OwnerFile.h"
#include "tests/e2e/E2eTest.h"

namespace {

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
