// The README's examples, run as written (with $HWTABLES_ROOT pointing at a directory
// of the test's own). A README example this test does not run fails the first test.

#include "tests/e2e/E2eTest.h"

namespace {

// Every line of the README's code blocks that runs the tool, without its comment.
std::set<std::string> readmeCommandLines() {
  std::ifstream readme(std::string(HWTABLES_SOURCE_DIR) + "/README.md");
  std::set<std::string> lines;
  bool inBlock = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.starts_with("```")) {
      inBlock = !inBlock;
      continue;
    }
    if (!inBlock || !(line.starts_with("hwtables ") || line.starts_with("hwtables> ") ||
                      line.starts_with("HWTABLES_TRACE="))) {
      continue;
    }
    if (auto comment = line.find(" #"); comment != std::string::npos) line.erase(comment);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.insert(line);
  }
  return lines;
}

// An environment variable set as a user would set it, for one test.
struct Variable {
  Variable(char const* name, std::string const& value) : name(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~Variable() { ::unsetenv(name); }
  char const* name;
};

// The examples' store root, and the tool run with `input` on its standard input, as
// typed into a pipe.
struct ReadmeExamples : ::testing::Test {
  E2e::TempDir root{"readme"};
  Variable variable{"HWTABLES_ROOT", root.path()};
  E2e::Run runWithInput(std::vector<std::string> args, std::string const& input) {
    std::ofstream(root.file("input")) << input;
    int saved = ::dup(STDIN_FILENO);
    int fed = ::open(root.file("input").c_str(), O_RDONLY | O_CLOEXEC);
    ::dup2(fed, STDIN_FILENO);
    auto run = runTool(std::move(args));
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    ::close(fed);
    return run;
  }
};

TEST_F(ReadmeExamples, EveryExampleInTheReadmeIsOneThisTestRuns) {
  std::set<std::string> const run{
      "hwtables agent --faps 0-1",
      "hwtables> set IppdPphAttributeByEeiHwDirect 1 {value=9} fheiType=5 fheiSize=3",
      "hwtables> schan IppdPphAttributeByEeiHwDirect 1 {value=9}",
      "hwtables> audit",
      "hwtables demo --hold &",
      "hwtables show IppdPphAttributeByEeiHwDirect --faps 0-1",
      "hwtables watch IppaTerminationProfileTableHwDirect --fap 0",
      "hwtables store fill --entries 100000 --remove 1000",
      "hwtables store fill --entries 1000 --update-for 60 &",
      "hwtables store watch",
      "hwtables store check --json",
      "hwtables store dump | head",
      "hwtables chip serve &",
      "hwtables agent --chip \"$HWTABLES_CHIP_SOCKET\"",
      "hwtables> set IppaTerminationProfileTableHwDirect 0 {value=3} labelsToTerminate=2",
      "hwtables> schan IppaTerminationProfileTableHwDirect 0 {value=3}",
      "hwtables> quit",
      "hwtables chip flip-bits 3 --seed 9",
      "hwtables agent --chip \"$HWTABLES_CHIP_SOCKET\" --warm",
      "hwtables> get IppaTerminationProfileTableHwDirect 0 {value=3}",
      "hwtables> reconcile",
      "hwtables demo --warm --flip-bits 3 --seed 9",
      "HWTABLES_TRACE='IppaTermination*=0-9,Brell*=5,IppVttSpecialLabelValuesHwReg=3' "
      "build/bin/hwtables demo",
  };
  EXPECT_EQ(readmeCommandLines(), run);
}

TEST_F(ReadmeExamples, TheAgentProgramsARowByFieldNameAndTracesAreTurnedOnByName) {
  auto run = runWithInput({"agent", "--faps", "0-1"},
                          "set IppdPphAttributeByEeiHwDirect 1 {value=9} fheiType=5 fheiSize=3\n"
                          "schan IppdPphAttributeByEeiHwDirect 1 {value=9}\n"
                          "audit\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  expectHas(run.out, {"fheiType = 5   fheiSize = 3", "1 command(s), sent to the chip",
                      "0 differ from the shadows"});

  Variable traces("HWTABLES_TRACE",
                  "IppaTermination*=0-9,Brell*=5,IppVttSpecialLabelValuesHwReg=3");
  auto demo = runTool({"demo"});
  EXPECT_EQ(demo.status, 0) << demo.err.substr(0, 2000);
  expectHas(demo.err, {"IppaTerminationProfileTableHwDirect"});
}

// The demo holds its shadows for show and watch in other processes: a watch started
// before it finds the live shadow, sees the writer go when the demo stops and no entry
// leave, and the store still holds them for a successor.
TEST_F(ReadmeExamples, TheDemoHoldsItsShadowsForShowAndWatchAndLetsThemGoWhole) {
  E2e::LiveTool follower({"watch", "IppdPphAttributeByEeiHwDirect", "--fap", "1", "--json"});
  E2e::LiveTool demo({"demo", "--hold"}, "Ctrl-C ends.");
  expectHas(demo.said(), {"it takes no commands"});
  ASSERT_NE(follower.waitFor("\"synced\"").find("\"synced\""), std::string::npos)
      << follower.said();
  auto show = runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "0-1"});
  EXPECT_EQ(show.status, 0) << show.err;
  expectHas(show.out, {"IppdPphAttributeByEeiHwDirect FAP 1", "{value=15}"});
  auto shown = runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "0-1", "--json"});
  json const row15 = {{"key", {{"entryIndex", 15}}}, {"fields", {{"fheiSize", 2}}}};
  json const shadow = {{"entries", json::array({json::object(), json::object(), row15})}};
  expectMembers(json::parse(shown.out), {{"shadows", json::array({shadow, shadow})}});
  E2e::LiveTool watch({"watch", "IppaTerminationProfileTableHwDirect", "--fap", "0"}, "\n");
  EXPECT_LT(watch.stop(SIGINT).status, 128) << "the watch ends cleanly on Ctrl-C";
  EXPECT_EQ(demo.stop(SIGINT).status, 0);

  follower.waitFor("\"event\":\"writer\"");
  std::string watched = follower.said();
  auto ended = follower.stop(SIGINT);
  watched += ended.out;
  EXPECT_LT(ended.status, 128) << ended.err;
  std::size_t entries = 0;
  bool wentAway = false;
  for (auto const& event : E2e::jsonLines(watched)) {
    EXPECT_NE(event["event"], "removed") << event.dump();
    entries += event["event"] == "added";
    wentAway = wentAway || (event["event"] == "writer" && event["state"] != "attached");
  }
  EXPECT_TRUE(wentAway) << watched;
  EXPECT_EQ(entries, 3u) << watched;
  auto after = runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "1", "--json"});
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(json::parse(after.out)["shadows"][0]["entries"].size(), 3u);
}

TEST_F(ReadmeExamples, TheStoreIsFilledWatchedWhileLiveCheckedAndDumped) {
  auto fill = runTool({"store", "fill", "--entries", "100000", "--remove", "1000"});
  ASSERT_EQ(fill.status, 0) << fill.err;
  expectHas(fill.out, {"100000 entries written, 1000 removed; 99000 in the store"});
  E2e::LiveTool writer({"store", "fill", "--entries", "1000", "--update-for", "60"});
  E2e::LiveTool watch({"store", "watch"}, "changed");
  EXPECT_LT(watch.stop(SIGINT).status, 128);
  E2e::expectOneLineError(writer.stop(SIGINT), 1, "interrupted; the store is valid");
  auto check = runTool({"store", "check", "--json"});
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_TRUE(json::parse(check.out)["valid"].get<bool>());
  auto dump = runTool({"store", "dump"});
  EXPECT_TRUE(dump.out.starts_with("store " + root.file("fill") + ": valid\n")) << dump.out;
}

TEST_F(ReadmeExamples, AnAgentRestartsWarmOnItsChipAndWritesBackOnlyTheDamage) {
  auto socket = root.file("chip.sock");
  Variable chipSocket("HWTABLES_CHIP_SOCKET", socket);
  E2e::LiveTool chip({"chip", "serve"}, "chip serving on");
  auto first =
      runWithInput({"agent", "--chip", socket},
                   "set IppaTerminationProfileTableHwDirect 0 {value=3} labelsToTerminate=2\n"
                   "schan IppaTerminationProfileTableHwDirect 0 {value=3}\n"
                   "quit\n");
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(runTool({"chip", "flip-bits", "3", "--seed", "9"}).status, 0);
  auto warm = runWithInput({"agent", "--chip", socket, "--warm"},
                           "get IppaTerminationProfileTableHwDirect 0 {value=3}\n"
                           "reconcile\n");
  EXPECT_EQ(warm.status, 0) << warm.err;
  // The start's reconcile wrote the damaged rows back; the one asked for finds none.
  expectHas(warm.out, {"18 of 18 memory shadows took their store over", "labelsToTerminate = 2",
                       "3 differed, 3 written", "0 differed, 0 written in 0 command(s)"});
  auto demo = runTool({"demo", "--warm", "--flip-bits", "3", "--seed", "9"});
  EXPECT_EQ(demo.status, 0) << demo.err;
  expectHas(demo.out, {"found 3 rows differing and wrote exactly those"});
}

}  // namespace
