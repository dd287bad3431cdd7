// `hwtables show` and `hwtables watch` against a live agent in another process: the
// demo holding its shadows, then letting them go.

#include "tests/e2e/E2eTest.h"

namespace {

TEST(LiveAgent, ShowReadsTheLiveShadowsAndWatchSeesTheWriterGoAndTheEntriesStay) {
  E2e::TempDir dir("watch");
  std::string const& root = dir.path();
  E2e::LiveTool watch(
      {"watch", "IppdPphAttributeByEeiHwDirect", "--fap", "1", "--root", root, "--json"});
  E2e::LiveTool agent({"demo", "--hold", "--root", root}, "Holding the shadows live");
  // The watch has found the live shadow before anything changes.
  ASSERT_NE(watch.waitFor("\"synced\"").find("\"synced\""), std::string::npos) << watch.said();

  auto shown =
      runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "0-1", "--root", root, "--json"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  json const row15 = {{"key", {{"entryIndex", 15}}}, {"fields", {{"fheiSize", 2}}}};
  json const shadow = {{"entries", json::array({json::object(), json::object(), row15})}};
  expectMembers(json::parse(shown.out), {{"shadows", json::array({shadow, shadow})}});

  auto held = agent.stop(SIGINT);
  EXPECT_EQ(held.status, 0) << held.err;
  // The agent detaches from its stores when it stops: the watch sees its writer go
  // away, and no entry leave; the store still holds them for a successor.
  watch.waitFor("\"event\":\"writer\"");
  std::string watched = watch.said();
  auto ended = watch.stop(SIGINT);
  watched += ended.out;
  EXPECT_LT(ended.status, 128) << "ends cleanly on Ctrl-C: " << ended.err;
  std::size_t entries = 0;
  bool wentAway = false;
  for (auto const& event : E2e::jsonLines(watched)) {
    EXPECT_NE(event["event"], "removed") << event.dump();
    entries += event["event"] == "added";
    wentAway = wentAway || (event["event"] == "writer" && event["state"] != "attached");
  }
  EXPECT_TRUE(wentAway) << watched;
  EXPECT_EQ(entries, 3u) << watched;
  auto after =
      runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "1", "--root", root, "--json"});
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(json::parse(after.out)["shadows"][0]["entries"].size(), 3u);
}

TEST(ShowTool, UnknownTablesRegistersAndMissingStoresAreReportedInOneLine) {
  E2e::expectOneLineError(runTool({"show", "EtppPhpMapFwdCodeHwReg"}), 2, "is a register");
  E2e::expectOneLineError(runTool({"watch", "NoSuchTable"}), 2, "unknown table 'NoSuchTable'");
  auto missing = runTool({"show", "IppaBsplProfileTblHwDirect", "--root", "/nonexistent-root"});
  EXPECT_EQ(missing.status, 1);
  expectHas(missing.err, {"no store"});
}

}  // namespace
