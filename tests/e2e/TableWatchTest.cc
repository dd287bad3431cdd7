// `hwtables show` and `hwtables watch` against a live agent in another process: the
// demo holding its shadows, then letting them go.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::runTool;

class LiveAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/dev/shm/hwtables-watch-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    for (pid_t pid : {agent_, watcher_}) {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
    std::filesystem::remove_all(root_);
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

  std::string root_;
  pid_t agent_ = -1;
  pid_t watcher_ = -1;
  int agentOut_ = -1;
  int agentErr_ = -1;
};

TEST_F(LiveAgent, ShowReadsTheLiveShadowsAndWatchSeesThemGo) {
  int watchOut = -1;
  int watchErr = -1;
  watcher_ = E2e::startTool({"watch", "IppdPphAttributeByEeiHwDirect", "--fap", "1", "--root",
                             root_, "--json", "--max-events", "9"},
                            watchOut, watchErr);
  ASSERT_GT(watcher_, 0);
  startAgent();
  // The watch has found the live shadow before anything changes.
  std::string watchedFirst;
  readUntil(watchOut, watchedFirst, "\"synced\"");
  ASSERT_NE(watchedFirst.find("\"synced\""), std::string::npos) << watchedFirst;

  auto shown = runTool({"show", "IppdPphAttributeByEeiHwDirect", "--faps", "0-1", "--root", root_,
                        "--json"});
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
  // The watch ends by itself after nine events: waiting for the store, its first
  // reading of the shadow (resync, the entries the agent had written by then, synced),
  // the entries written after it, then entries leaving when the agent deleted its
  // shadows.
  // A watch that never sees its nine events is killed, not waited for forever.
  std::atomic<bool> finished{false};
  pid_t watcher = watcher_;
  std::thread guard([&] {
    for (int tick = 0; tick < 1200 && !finished; ++tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!finished) ::kill(watcher, SIGKILL);
  });
  auto watched = E2e::finishTool(watcher_, watchOut, watchErr);
  watched.out = watchedFirst + watched.out;
  finished = true;
  guard.join();
  watcher_ = -1;
  ASSERT_EQ(watched.status, 0) << watched.err << watched.out;
  std::size_t removed = 0;
  std::size_t lines = 0;
  std::istringstream stream(watched.out);
  for (std::string line; std::getline(stream, line);) {
    auto event = nlohmann::json::parse(line);
    ++lines;
    if (event["event"] == "removed") {
      ++removed;
      EXPECT_TRUE(event.dump().find("fheiSize") != std::string::npos) << line;
    }
  }
  EXPECT_EQ(lines, 9u) << watched.out;
  EXPECT_GE(removed, 1u) << watched.out;
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
