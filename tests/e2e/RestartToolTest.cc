// An agent restarting through the tool, on a chip process that outlives it: what a
// warm start reports in JSON, an agent ended by a signal while its pipe is quiet, and
// a chip that is gone. (What a warm successor writes after kills, flipped bits and
// damaged stores is tested in process in tests/agent/RestartTest.cc; the text report
// of a warm start by the README's example.) Every child (the chip, the agents) is
// killed in TearDown, so a failed assertion leaves no process behind; the stores and
// the socket live in a TempDir.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::jsonLines;
using E2e::runTool;

class RestartTool : public ::testing::Test {
 protected:
  void SetUp() override {
    chip_ = E2e::startTool({"chip", "serve", "--socket", socket_}, chipOut_, chipErr_);
    ASSERT_GT(chip_, 0);
    ASSERT_NE(E2e::readUntil(chipOut_, "chip serving on").find("chip serving on"),
              std::string::npos);
  }
  void TearDown() override {
    for (pid_t pid : {agent_, chip_}) {
      if (pid <= 0) continue;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    for (int fd : {agentOut_, agentErr_, chipOut_, chipErr_, commands_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // An agent on the chip reading commands from a pipe, as --json lines.
  void startAgent(std::vector<std::string> extra = {}) {
    auto fifo = dir_.file("commands");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> args{"agent", "--json", "--faps", "0-1",      "--root",
                                  root_,   "--chip", socket_,  "--script", fifo};
    args.insert(args.end(), extra.begin(), extra.end());
    agent_ = E2e::startTool(args, agentOut_, agentErr_);
    ASSERT_GT(agent_, 0);
    commands_ = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(commands_, 0);
  }
  void send(std::string const& lines) {
    ASSERT_EQ(::write(commands_, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  }
  // Waits for the reply to the command of `marker` ("command":"NAME" in its line).
  std::string awaitReply(std::string const& command) {
    return E2e::readUntil(agentOut_, "\"command\":\"" + command + "\"");
  }
  void killAgent() {
    ::kill(agent_, SIGKILL);
    E2e::finishTool(agent_, agentOut_, agentErr_);
    agent_ = -1;
    agentOut_ = agentErr_ = -1;
    ::close(commands_);
    commands_ = -1;
  }

  // A warm agent on the same root and chip running `script`: its ready line first.
  std::vector<nlohmann::json> warm(std::string const& script, int status = 0) {
    auto run =
        E2e::runAgentScript(dir_, script, {"--json", "--faps", "0-1", "--chip", socket_, "--warm"});
    EXPECT_EQ(run.status, status) << run.err;
    auto lines = jsonLines(run.out);
    EXPECT_FALSE(lines.empty()) << run.err;
    if (lines.empty()) return {nlohmann::json::object()};
    EXPECT_EQ(lines[0]["start"], "warm") << lines[0].dump();
    return lines;
  }

  // Sets entries in three memories on both FAPs and sends them all to the chip.
  static constexpr char const* kProgrammed =
      "set IppdPphAttributeByEeiHwDirect 1 {value=9} fheiType=5 fheiSize=3\n"
      "set IppaBsplProfileTblHwDirect 0 {arrayIndex=3 entryIndex=20} curMplsSpecialLabelProfile=7\n"
      "set IppaTerminationProfileTableHwDirect 0 {value=3} hasCw=1\n"
      "download all\n";

  E2e::TempDir dir_{"restart"};
  std::string root_ = dir_.path();  // where E2e::runAgentScript puts its stores
  std::string socket_ = dir_.file("chip.sock");
  pid_t chip_ = -1;
  pid_t agent_ = -1;
  int chipOut_ = -1;
  int chipErr_ = -1;
  int agentOut_ = -1;
  int agentErr_ = -1;
  int commands_ = -1;
};

nlohmann::json const& total(nlohmann::json const& ready) {
  return ready["reconcile"]["total"];
}

TEST_F(RestartTool, AKilledAgentsWarmSuccessorWritesNothingAndAnswersWhatWasSet) {
  startAgent();
  send(kProgrammed);
  ASSERT_NE(awaitReply("download").find("\"ok\":true"), std::string::npos);
  killAgent();

  auto lines = warm(
      "get IppdPphAttributeByEeiHwDirect 1 {value=9}\n"
      "get IppaBsplProfileTblHwDirect 0 {arrayIndex=3 entryIndex=20}\n"
      "audit\n");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["bringUp"]["takenOver"], 18) << "9 memories on 2 FAPs";
  EXPECT_EQ(total(lines[0])["rowsWritten"], 0) << lines[0].dump();
  EXPECT_EQ(total(lines[0])["commandsSent"], 0);
  EXPECT_TRUE(lines[0]["reconcile"]["clean"].get<bool>());
  EXPECT_EQ(lines[1]["fields"]["fheiType"], 5);
  EXPECT_EQ(lines[1]["fields"]["fheiSize"], 3);
  EXPECT_EQ(lines[2]["fields"]["curMplsSpecialLabelProfile"], 7);
  EXPECT_TRUE(lines[3]["differences"].empty()) << lines[3].dump();
}

TEST_F(RestartTool, SigtermEndsAnAgentWaitingOnAQuietPipeAndItsStoresStayForTheNext) {
  startAgent();
  send("set IppdPphAttributeByEeiHwDirect 1 {value=5} fheiSize=1\n");
  awaitReply("set");
  // The pipe stays open and says nothing more: the signal alone must end the agent.
  ::kill(agent_, SIGTERM);
  auto stopped = E2e::finishTool(agent_, agentOut_, agentErr_);
  agent_ = -1;
  agentOut_ = agentErr_ = -1;
  EXPECT_EQ(stopped.status, 0) << stopped.err;

  auto lines = warm("");
  EXPECT_EQ(lines[0]["bringUp"]["takenOver"], 18) << lines[0].dump();
  EXPECT_EQ(total(lines[0])["rowsWritten"], 1) << "the entry set and never sent";
}

TEST_F(RestartTool, AChipThatIsGoneOrGoesAwayIsAFailureNotAHang) {
  E2e::TempDir other("restart");
  auto gone = runTool({"agent", "--root", other.file("stores"), "--chip", other.file("no.sock"),
                       "--script", "/dev/null"});
  E2e::expectOneLineError(gone, 1, "no chip to reach");
  EXPECT_FALSE(std::filesystem::exists(other.file("stores") + "/bcm88490_a0"))
      << "an agent that cannot reach its chip makes no store";
  E2e::expectOneLineError(
      runTool({"demo", "--root", other.file("stores"), "--chip", other.file("no.sock")}), 1,
      "no chip to reach");

  startAgent();
  send("download all\n");
  ASSERT_NE(awaitReply("download").find("\"ok\":true"), std::string::npos);
  ::kill(chip_, SIGKILL);
  ::waitpid(chip_, nullptr, 0);
  chip_ = -1;
  send(
      "schan IppaTerminationProfileTableHwDirect 0 {value=3}\nget "
      "IppaTerminationProfileTableHwDirect 0 {value=3}\n");
  ::close(commands_);
  commands_ = -1;
  auto run = E2e::finishTool(agent_, agentOut_, agentErr_);
  agent_ = -1;
  agentOut_ = agentErr_ = -1;
  EXPECT_EQ(run.status, 1) << run.err;
  auto lines = jsonLines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  EXPECT_EQ(lines[0]["status"], "failed");
  EXPECT_NE(lines[0]["error"].get<std::string>().find("chip"), std::string::npos)
      << lines[0].dump();
  EXPECT_TRUE(lines[1]["ok"].get<bool>()) << "the shadows still answer";
}

}  // namespace
