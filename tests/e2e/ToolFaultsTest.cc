// The tool never passes off as done what was not, and never drops data it was not
// told to: each kind of fault as a user meets it.
#include <sys/resource.h>

#include "tests/e2e/E2eTest.h"

namespace {

// One script: a FAP that was never brought up is refused (by the agent, then by a
// reader); a DMA buffer that cannot hold a row is refused, and the console's size is
// used for the downloads after it.
TEST(FaultsRefused, AFapNeverBroughtUpOrABufferThatCannotHoldARowIsRefusedAndTheRestRuns) {
  TempDir root;
  for (auto const& [command, size] : {std::pair{"demo", "11"}, std::pair{"agent", "67108865"}}) {
    expectOneLineError(runTool({command, "--root", root.path(), "--dma-buffer", size}), 2,
                       "is outside 12..67108864");
  }
  auto run = runAgentScript(root,
                            "audit all 9\n"
                            "get IppaTerminationProfileTableHwDirect 7 {value=1}\n"
                            "download IppaMplsSpecialLabelAttributesTblHwDirect\n"
                            "dma-buffer 1\n"
                            "dma-buffer 12\n"
                            "download IppaMplsSpecialLabelAttributesTblHwDirect\n"
                            "audit\n",
                            {"--json"});
  EXPECT_EQ(run.status, 2) << run.err;
  auto replies = E2e::jsonLines(run.out);
  ASSERT_EQ(replies.size(), 8u) << run.out;
  for (std::size_t index = 1; index <= 2; ++index) {
    expectMembers(replies[index], {{"status", "refused"},
                                   {"where", root.file("script") + ":" + std::to_string(index)}});
    expectHas(replies[index]["error"].get<std::string>(), {"FAP", "(FAPs 0,1 are up)"});
  }
  // 21 rows of 12 bytes in a 256-byte buffer; then one row a buffer: 64 rows on 2 FAPs.
  EXPECT_EQ(json::array({replies[3]["commandCount"], replies[4]["status"],
                         replies[6]["commandCount"], replies[7]["status"]}),
            json::array({8, "refused", 128, "ok"}));
  auto all = runTool({"show", "all", "--faps", "9", "--root", root.path()});
  expectOneLineError(all, 1, "9 of the 9 shadows asked for could not be read");
}

// Runs the tool with a file-size limit, as `ulimit -f` gives one.
E2e::Run withFileSizeLimit(rlim_t bytes, std::vector<std::string> args) {
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit limited = before;
  limited.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limited);
  auto run = runTool(std::move(args));
  setrlimit(RLIMIT_FSIZE, &before);
  return run;
}

TEST(FaultsLimits, AFillPastTheFileSizeLimitIsRefusedOrStopsWithAValidStore) {
  TempDir root;
  auto dir = root.file("store");
  auto large = withFileSizeLimit(64 * 1024, {"store", "fill", dir, "--entries", "100000"});
  expectOneLineError(large, 2, "above this process's file-size limit of 65536 bytes (ulimit -f)");
  EXPECT_FALSE(fs::exists(dir)) << "nothing is made for a fill refused up front";

  // Files the fill cannot foresee (the slots fit in 4 KiB, the notification ring does
  // not): whatever stops it, it is said, and what it leaves is a valid store or none.
  auto small = withFileSizeLimit(4 * 1024, {"store", "fill", dir, "--entries", "100"});
  EXPECT_NE(small.status, 0);
  EXPECT_LT(small.status, 128) << "killed by a signal: " << small.err;
  EXPECT_EQ(small.err.rfind("hwtables: ", 0), 0u) << small.err;
  if (fs::exists(dir + "/slots")) {
    auto check = runTool({"store", "check", dir});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
}

TEST(FaultsRoots, TheRootIsMadeOnlyWhenItsParentExists) {
  TempDir root;
  auto deep = root.file("missing/deeper/root");
  for (auto args : std::vector<std::vector<std::string>>{
           {"agent", "--root", deep}, {"store", "fill", deep, "--entries", "1"}}) {
    expectOneLineError(runTool(args), 2, "does not exist");
  }
  EXPECT_FALSE(fs::exists(root.file("missing")));
  // One level is made, as for the default root in /dev/shm.
  auto fill = runTool({"store", "fill", "--root", root.file("fresh"), "--entries", "3"});
  EXPECT_EQ(fill.status, 0) << fill.err;
  EXPECT_TRUE(fs::exists(root.file("fresh/fill/slots")));
  // HWTABLES_ROOT, the option's default, is what the README's examples run with.
  auto check = runTool({"store", "check", "--root", root.file("fresh"), "--json"});
  EXPECT_EQ(json::parse(check.out)["root"], root.file("fresh/fill")) << check.err;
}

}  // namespace
