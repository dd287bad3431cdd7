// `hwtables chip`: a chip process and its socket.

#include "tests/e2e/E2eTest.h"

namespace {

class ChipTool : public ::testing::Test {
 protected:
  void serve(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"chip", "serve", "--socket", socket_});
    chip_ = std::make_unique<E2e::LiveTool>(extra, "chip serving on " + socket_);
  }
  std::vector<std::string> on(std::vector<std::string> args) {
    args.insert(args.end(), {"--socket", socket_});
    return args;
  }
  E2e::TempDir dir_{"chip"};
  std::string socket_ = dir_.file("chip.sock");
  std::unique_ptr<E2e::LiveTool> chip_;
};

TEST_F(ChipTool, ServesUntilStoppedOnASocketOnlyItsOwnerReaches) {
  ::chmod(dir_.path().c_str(), 0755);  // the directory lets others in; the socket must not
  serve();
  struct stat status {};
  ASSERT_EQ(::stat(socket_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  if (::geteuid() == 0) {
    expectOneLineError(runTool(on({"chip", "digest"}), 65534), 1, "Permission denied");
  }
  // Its companions (digest, flip-bits) are the journal's and the README's; reset empties it.
  expectHas(runTool(on({"chip", "reset"})).out, {"0 cells removed"});
  auto stopped = chip_->stop();
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  expectHas(stopped.out, {"chip stopped"});
  EXPECT_FALSE(fs::exists(socket_)) << "the chip removes its socket";
}

// A bad fault plan is refused naming its bad part, and so is a plan meant for a chip
// process given to the agent's own chip (`agent --faults` takes the same plan).
TEST_F(ChipTool, BadInputIsRefusedAndAMissingChipIsAFailure) {
  expectOneLineError(runTool(on({"chip", "flip-bits", "0"})), 2, "");
  expectOneLineError(runTool(on({"chip", "serve", "--faults", "refuse-rate=2"})), 2,
                     "--faults: refuse-rate=2 is outside 0..1");
  expectOneLineError(runTool({"agent", "--root", dir_.file("root"), "--chip", socket_, "--faults",
                              "refuse=1", "--script", "/dev/null"}),
                     2, "chip serve --faults SPEC");
  EXPECT_FALSE(fs::exists(dir_.file("root")));
  EXPECT_FALSE(fs::exists(socket_));
  expectOneLineError(runTool({"chip", "digest", "--socket", std::string(200, 'x')}), 2,
                     "longer than");
  expectOneLineError(runTool(on({"chip", "digest"})), 1, "no chip to reach");
  expectOneLineError(runTool(on({"chip", "serve", "--group", "no-such-group-here"})), 2,
                     "no group");
  std::ofstream(socket_) << "precious";
  expectOneLineError(runTool(on({"chip", "serve"})), 2, "not a socket");
  EXPECT_EQ(E2e::readAll(socket_), "precious");
}

// An agent on a chip that fails on purpose (`chip serve --faults`; what each failure
// says is ChipFaults' part, in tests/agent): a script that programs every table,
// audits, reconciles and audits again. Each command the chip failed is reported and
// counted by the chip, the run exits 1 and ends with a clean audit.
TEST_F(ChipTool, OnPurposeFailuresAreEachReportedAndTheReconcileLeavesACleanAudit) {
  serve({"--faults", "refuse-rate=0.1,partial-rate=0.3,seed=7"});
  auto run = runAgentScript(dir_, "download all\naudit\nreconcile\naudit\n",
                            {"--json", "--chip", socket_, "--faps", "0-7"});
  EXPECT_EQ(run.status, 1) << run.err;
  auto lines = jsonLines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  // The start downloads every table: its failures come with the first line.
  EXPECT_FALSE(lines[0]["failures"].empty()) << lines[0].dump();
  expectMembers(json(lines), {json::object(),
                              {{"command", "download"}, {"status", "failed"}},
                              {{"status", "failed"}},
                              {{"command", "reconcile"}, {"clean", true}},
                              {{"status", "ok"}, {"differences", json::array()}}});
  EXPECT_FALSE(lines[2]["differences"].empty());
  std::vector<json> failures;
  for (auto const& line : lines) {
    for (auto const& failure : line.value("failures", json::array())) failures.push_back(failure);
    for (auto const& failure :
         line.value("reconcile", json::object()).value("failures", json::array())) {
      failures.push_back(failure);
    }
  }
  ASSERT_FALSE(failures.empty());
  for (auto const& failure : failures) {
    EXPECT_LT(failure["rowsWritten"].get<int>(), failure["rows"].get<int>());
    EXPECT_TRUE(failure["fault"] == "refused" || failure["fault"] == "partly written") << failure;
  }
  expectHas(chip_->stop().out,
            {"it failed " + std::to_string(failures.size()) + " command(s) on purpose"});
}

}  // namespace
