// An agent restarting through the tool, on a chip process that outlives it. (What a
// warm successor writes is RestartTest's part, in process.)

#include "tests/e2e/E2eTest.h"

namespace {

class RestartTool : public ::testing::Test {
 protected:
  // An agent on the chip reading commands from a pipe, as --json lines.
  void startAgent() {
    agent_ = std::make_unique<E2e::LiveTool>(
        std::vector<std::string>{"agent", "--json", "--faps", "0-1", "--root", root_, "--chip",
                                 socket_},
        "", dir_.file("commands"));
  }
  // Waits for the reply to `command` ("command":"NAME" in its line).
  std::string awaitReply(std::string const& command) {
    return agent_->waitFor("\"command\":\"" + command + "\"");
  }

  E2e::TempDir dir_{"restart"};
  std::string root_ = dir_.path();  // where E2e::runAgentScript puts its stores
  std::string socket_ = dir_.file("chip.sock");
  E2e::LiveTool chip_{{"chip", "serve", "--socket", socket_}, "chip serving on"};
  std::unique_ptr<E2e::LiveTool> agent_;
};

// A script through a pipe programs, reads back and audits; the last entry set is never
// sent.
TEST_F(RestartTool, SigtermEndsAnAgentWaitingOnAQuietPipeAndItsStoresStayForTheNext) {
  startAgent();
  agent_->send(
      "set IppdPphAttributeByEeiHwDirect 1 {value=9} fheiType=5 fheiSize=3\n"
      "set IppaBsplProfileTblHwDirect 0 {arrayIndex=3 entryIndex=20} "
      "curMplsSpecialLabelProfile=0x7\n"
      "delete IppdPphAttributeByEeiHwDirect 1 {value=2}\n"
      "download all\n"
      "read IppdPphAttributeByEeiHwDirect 1\n"
      "audit\n"
      "set IppdPphAttributeByEeiHwDirect 1 {value=5} fheiSize=1\n"
      "get IppdPphAttributeByEeiHwDirect 1 {value=5}\n");
  auto replies = jsonLines(awaitReply("get"));
  ASSERT_EQ(replies.size(), 9u) << agent_->said();
  for (auto const& reply : replies) EXPECT_TRUE(reply.value("ok", true)) << reply;
  // The read-back holds the new row 9 and no longer the deleted row 2.
  std::string read = replies[5]["entries"].dump();
  expectHas(read, {"{entryKey={value=9} dataByte0=35000000}"});
  expectLacks(read, {"{value=2}"});
  EXPECT_TRUE(replies[6]["differences"].empty()) << replies[6].dump();
  // The pipe stays open and says nothing more: the signal alone must end the agent.
  auto stopped = agent_->stop(SIGTERM);
  EXPECT_EQ(stopped.status, 0) << stopped.err;

  // A warm successor takes every memory's store over and writes the entry set and
  // never sent.
  auto warm =
      E2e::runAgentScript(dir_, "", {"--json", "--faps", "0-1", "--chip", socket_, "--warm"});
  EXPECT_EQ(warm.status, 0) << warm.err;
  auto ready = jsonLines(warm.out).at(0);
  E2e::expectMembers(ready, {{"start", "warm"},
                             {"bringUp", {{"takenOver", 18}}},
                             {"reconcile", {{"total", {{"rowsWritten", 1}}}}}});
}

TEST_F(RestartTool, AChipThatIsGoneOrGoesAwayIsAFailureNotAHang) {
  E2e::TempDir other("restart");
  auto gone = runTool({"agent", "--root", other.file("stores"), "--chip", other.file("no.sock"),
                       "--script", "/dev/null"});
  E2e::expectOneLineError(gone, 1, "no chip to reach");
  EXPECT_FALSE(fs::exists(other.file("stores") + "/bcm88490_a0")) << "no chip, no store";

  startAgent();
  agent_->send("download all\n");
  ASSERT_NE(awaitReply("download").find("\"ok\":true"), std::string::npos);
  chip_.stop(SIGKILL);
  agent_->send(
      "schan IppaTerminationProfileTableHwDirect 0 {value=3}\nget "
      "IppaTerminationProfileTableHwDirect 0 {value=3}\n");
  auto run = agent_->stop(0);
  EXPECT_EQ(run.status, 1) << run.err;
  auto lines = jsonLines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  EXPECT_EQ(lines[0]["status"], "failed");
  expectHas(lines[0]["error"].get<std::string>(), {"chip"});
  EXPECT_TRUE(lines[1]["ok"].get<bool>()) << "the shadows still answer";
}

}  // namespace
