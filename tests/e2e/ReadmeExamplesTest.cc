// The README's examples, run as written (with $HWTABLES_ROOT pointing at a directory
// of the test's own): what the README says a new user can type, the tool does. A
// README example this test does not run fails the first test, so the two stay
// together.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::runTool;

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

// The tool's store root for the examples, as a user would set it.
class ExampleRoot : public E2e::TempDir {
 public:
  ExampleRoot() : E2e::TempDir("readme") { ::setenv("HWTABLES_ROOT", path().c_str(), 1); }
  ~ExampleRoot() { ::unsetenv("HWTABLES_ROOT"); }
};

// Runs the tool with `input` on its standard input, as typed into a pipe.
E2e::Run runWithInput(std::vector<std::string> args, std::string const& input,
                      std::string const& file) {
  std::ofstream(file) << input;
  int saved = ::dup(STDIN_FILENO);
  int fed = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ::dup2(fed, STDIN_FILENO);
  auto run = runTool(std::move(args));
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  ::close(fed);
  return run;
}

TEST(ReadmeExamples, EveryExampleInTheReadmeIsOneThisTestRuns) {
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

TEST(ReadmeExamples, TheAgentProgramsARowByFieldNameSendsItAndTheAuditIsClean) {
  ExampleRoot root;
  auto run = runWithInput({"agent", "--faps", "0-1"},
                          "set IppdPphAttributeByEeiHwDirect 1 {value=9} fheiType=5 fheiSize=3\n"
                          "schan IppdPphAttributeByEeiHwDirect 1 {value=9}\n"
                          "audit\n",
                          root.file("typed"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  EXPECT_NE(run.out.find("fheiType = 5   fheiSize = 3"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1 command(s), sent to the chip"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("0 differ from the shadows"), std::string::npos) << run.out;
}

TEST(ReadmeExamples, TheDemoHoldsItsShadowsForShowAndWatch) {
  ExampleRoot root;
  int outFd = -1;
  int errFd = -1;
  auto demo = E2e::startTool({"demo", "--hold"}, outFd, errFd);
  ASSERT_GT(demo, 0);
  ASSERT_NE(E2e::readUntil(outFd, "Ctrl-C ends.").find("it takes no commands"), std::string::npos);
  auto show = runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "0-1"});
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_NE(show.out.find("IppdPphAttributeByEeiHwDirect FAP 1"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("{value=15}"), std::string::npos) << show.out;

  int watchOut = -1;
  int watchErr = -1;
  auto watch = E2e::startTool({"watch", "IppaTerminationProfileTableHwDirect", "--fap", "0"},
                              watchOut, watchErr);
  ASSERT_GT(watch, 0);
  EXPECT_NE(E2e::readUntil(watchOut, "\n"), "") << "the watch says what it follows";
  ::kill(watch, SIGINT);
  auto watched = E2e::finishTool(watch, watchOut, watchErr);
  EXPECT_LT(watched.status, 128) << "ends cleanly on Ctrl-C: " << watched.err;

  ::kill(demo, SIGINT);
  auto held = E2e::finishTool(demo, outFd, errFd);
  EXPECT_EQ(held.status, 0) << held.err;
}

TEST(ReadmeExamples, TheStoreIsFilledWatchedWhileLiveCheckedAndDumped) {
  ExampleRoot root;
  auto fill = runTool({"store", "fill", "--entries", "100000", "--remove", "1000"});
  ASSERT_EQ(fill.status, 0) << fill.err;
  EXPECT_NE(fill.out.find("100000 entries written, 1000 removed; 99000 in the store"),
            std::string::npos)
      << fill.out;

  int writerOut = -1;
  int writerErr = -1;
  auto writer = E2e::startTool({"store", "fill", "--entries", "1000", "--update-for", "60"},
                               writerOut, writerErr);
  ASSERT_GT(writer, 0);
  int watchOut = -1;
  int watchErr = -1;
  auto watch = E2e::startTool({"store", "watch"}, watchOut, watchErr);
  ASSERT_GT(watch, 0);
  EXPECT_NE(E2e::readUntil(watchOut, "changed"), "");
  ::kill(watch, SIGINT);
  auto watched = E2e::finishTool(watch, watchOut, watchErr);
  EXPECT_LT(watched.status, 128) << watched.err;
  ::kill(writer, SIGINT);
  auto written = E2e::finishTool(writer, writerOut, writerErr);
  E2e::expectOneLineError(written, 1, "interrupted; the store is valid");

  auto check = runTool({"store", "check", "--json"});
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_TRUE(nlohmann::json::parse(check.out)["valid"].get<bool>());
  auto dump = runTool({"store", "dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  std::istringstream lines(dump.out);
  std::string first;
  std::getline(lines, first);
  EXPECT_EQ(first, "store " + root.file("fill") + ": valid");
}

// A chip process started by the test (with $HWTABLES_CHIP_SOCKET in the test's root),
// killed when the test ends however it ends.
class ExampleChip {
 public:
  explicit ExampleChip(std::string socket) : socket_(std::move(socket)) {
    ::setenv("HWTABLES_CHIP_SOCKET", socket_.c_str(), 1);
    pid_ = E2e::startTool({"chip", "serve"}, out_, err_);
    if (pid_ > 0) E2e::readUntil(out_, "chip serving on");
  }
  ~ExampleChip() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      E2e::finishTool(pid_, out_, err_);
    }
    ::unsetenv("HWTABLES_CHIP_SOCKET");
  }
  ExampleChip(ExampleChip const&) = delete;
  ExampleChip& operator=(ExampleChip const&) = delete;
  bool serving() const { return pid_ > 0; }

 private:
  std::string socket_;
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

TEST(ReadmeExamples, AnAgentRestartsWarmOnItsChipAndWritesBackOnlyTheDamage) {
  ExampleRoot root;
  auto socket = root.file("chip.sock");
  ExampleChip chip(socket);
  ASSERT_TRUE(chip.serving());
  auto first =
      runWithInput({"agent", "--chip", socket},
                   "set IppaTerminationProfileTableHwDirect 0 {value=3} labelsToTerminate=2\n"
                   "schan IppaTerminationProfileTableHwDirect 0 {value=3}\n"
                   "quit\n",
                   root.file("first"));
  ASSERT_EQ(first.status, 0) << first.err;
  auto flips = runTool({"chip", "flip-bits", "3", "--seed", "9"});
  ASSERT_EQ(flips.status, 0) << flips.err;

  auto warm = runWithInput({"agent", "--chip", socket, "--warm"},
                           "get IppaTerminationProfileTableHwDirect 0 {value=3}\n"
                           "reconcile\n",
                           root.file("warm"));
  EXPECT_EQ(warm.status, 0) << warm.err;
  EXPECT_NE(warm.out.find("18 of 18 memory shadows took their store over"), std::string::npos)
      << warm.out;
  EXPECT_NE(warm.out.find("labelsToTerminate = 2"), std::string::npos) << warm.out;
  // The start's reconcile wrote the damaged rows back; the one asked for finds none.
  EXPECT_NE(warm.out.find("3 differed, 3 written"), std::string::npos) << warm.out;
  EXPECT_NE(warm.out.find("0 differed, 0 written in 0 command(s)"), std::string::npos) << warm.out;

  auto demo = runTool({"demo", "--warm", "--flip-bits", "3", "--seed", "9"});
  EXPECT_EQ(demo.status, 0) << demo.err;
  EXPECT_NE(demo.out.find("found 3 rows differing and wrote exactly those"), std::string::npos)
      << demo.out;
}

TEST(ReadmeExamples, TracesAreTurnedOnByName) {
  ExampleRoot root;
  ::setenv("HWTABLES_TRACE", "IppaTermination*=0-9,Brell*=5,IppVttSpecialLabelValuesHwReg=3", 1);
  auto demo = runTool({"demo"});
  ::unsetenv("HWTABLES_TRACE");
  EXPECT_EQ(demo.status, 0) << demo.err.substr(0, 2000);
  EXPECT_NE(demo.err.find("IppaTerminationProfileTableHwDirect"), std::string::npos);
}

}  // namespace
