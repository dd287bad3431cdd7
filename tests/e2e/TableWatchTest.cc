// `hwtables show` and `hwtables watch` against a live agent in another process: the
// demo holding its shadows, then letting them go.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::runTool;

class LiveAgent : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t pid : {agent_, watcher_}) {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
  }

  // Reads `fd` into `said` until it holds `text` (or two minutes pass).
  static void readUntil(int fd, std::string& said, std::string const& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (said.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char buffer[4096];
      ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count <= 0) break;
      said.append(buffer, static_cast<std::size_t>(count));
    }
  }

  // Starts `demo --hold`; returns once it holds its shadows (it says so on stdout).
  void startAgent() {
    agent_ = E2e::startTool({"demo", "--hold", "--root", root_}, agentOut_, agentErr_);
    ASSERT_GT(agent_, 0);
    std::string said;
    readUntil(agentOut_, said, "Holding the shadows live");
    ASSERT_NE(said.find("Holding the shadows live"), std::string::npos) << said;
  }

  E2e::Run stopAgent() {
    ::kill(agent_, SIGINT);
    auto run = E2e::finishTool(agent_, agentOut_, agentErr_);
    agent_ = -1;
    return run;
  }

  E2e::TempDir dir_{"watch"};
  std::string root_ = dir_.path();
  pid_t agent_ = -1;
  pid_t watcher_ = -1;
  int agentOut_ = -1;
  int agentErr_ = -1;
};

TEST_F(LiveAgent, ShowReadsTheLiveShadowsAndWatchSeesTheWriterGoAndTheEntriesStay) {
  int watchOut = -1;
  int watchErr = -1;
  watcher_ = E2e::startTool(
      {"watch", "IppdPphAttributeByEeiHwDirect", "--fap", "1", "--root", root_, "--json"}, watchOut,
      watchErr);
  ASSERT_GT(watcher_, 0);
  startAgent();
  // The watch has found the live shadow before anything changes.
  std::string watched;
  readUntil(watchOut, watched, "\"synced\"");
  ASSERT_NE(watched.find("\"synced\""), std::string::npos) << watched;

  auto shown = runTool(
      {"show", "IppdPphAttributeByEeiHwDirect", "--faps", "0-1", "--root", root_, "--json"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  auto document = nlohmann::json::parse(shown.out);
  ASSERT_EQ(document["shadows"].size(), 2u);
  for (auto const& shadow : document["shadows"]) {
    ASSERT_EQ(shadow["entries"].size(), 3u);
    EXPECT_EQ(shadow["entries"][2]["key"]["entryIndex"], 15);
    EXPECT_EQ(shadow["entries"][2]["fields"]["fheiSize"], 2);
  }

  auto agent = stopAgent();
  EXPECT_EQ(agent.status, 0) << agent.err;
  // The agent detaches from its stores when it stops: the watch sees its writer go
  // away, and no entry leave; the store still holds them for a successor.
  readUntil(watchOut, watched, "\"event\":\"writer\"");
  ::kill(watcher_, SIGINT);
  auto ended = E2e::finishTool(watcher_, watchOut, watchErr);
  watcher_ = -1;
  watched += ended.out;
  EXPECT_LT(ended.status, 128) << "ends cleanly on Ctrl-C: " << ended.err;
  std::size_t entries = 0;
  bool wentAway = false;
  std::istringstream stream(watched);
  for (std::string line; std::getline(stream, line);) {
    auto event = nlohmann::json::parse(line);
    EXPECT_NE(event["event"], "removed") << line;
    if (event["event"] == "added") ++entries;
    if (event["event"] == "writer" && event["state"] != "attached") {
      wentAway = true;
    }
  }
  EXPECT_TRUE(wentAway) << watched;
  EXPECT_EQ(entries, 3u) << watched;
  auto after =
      runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "1", "--root", root_, "--json"});
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(nlohmann::json::parse(after.out)["shadows"][0]["entries"].size(), 3u);
}

TEST(ShowTool, UnknownTablesRegistersAndMissingStoresAreReportedInOneLine) {
  E2e::expectOneLineError(runTool({"show", "NoSuchTable"}), 2, "unknown table 'NoSuchTable'");
  E2e::expectOneLineError(runTool({"show", "EtppPhpMapFwdCodeHwReg"}), 2, "is a register");
  E2e::expectOneLineError(runTool({"watch", "NoSuchTable"}), 2, "unknown table 'NoSuchTable'");
  auto missing = runTool({"show", "IppaBsplProfileTblHwDirect", "--root", "/nonexistent-root"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no store"), std::string::npos) << missing.err;
}

}  // namespace
