// An agent on a chip process that fails on purpose (`chip serve --faults`). What each
// failure says is ChipFaults' part (tests/agent); here, the tool's reports of them.

#include "tests/e2e/E2eTest.h"

namespace {

constexpr char const* kFaults = "refuse-rate=0.1,partial-rate=0.3,seed=7";

class ChipFaultsTool : public ::testing::Test {
 protected:
  void serve() {
    chip_.emplace(
        std::vector<std::string>{"chip", "serve", "--socket", socket_, "--faults", kFaults},
        std::string("failing on purpose: ") + kFaults);
  }
  E2e::Run agent(std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"--chip", socket_, "--faps", "0-7"});
    return runAgentScript(dir_, "download all\naudit\nreconcile\naudit\n", extra);
  }
  TempDir dir_{"faults"};
  std::string socket_ = dir_.file("chip.sock");
  std::optional<LiveTool> chip_;
};

// A script that programs every table, audits, reconciles and audits again: each command
// the chip failed is reported and counted by the chip, the run exits 1 and ends with a
// clean audit.
TEST_F(ChipFaultsTool, EveryFailureIsReportedAndTheReconcileLeavesACleanAudit) {
  serve();
  auto run = agent({"--json"});
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

// The chip in the agent's own process takes the same plan (`agent --faults`), but not
// a plan meant for a chip process; a bad plan is refused naming its bad part.
TEST(ChipFaultsPlans, ABadPlanOrOneForAChipProcessIsRefusedBeforeAnythingIsMade) {
  TempDir dir("faults-plans");
  auto root = dir.file("root");
  auto socket = dir.file("chip.sock");
  for (auto const& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"chip", "serve", "--socket", socket, "--faults", "refuse-rate=2"},
            "--faults: refuse-rate=2 is outside 0..1"},
           {{"agent", "--root", root, "--chip", socket, "--faults", "refuse=1", "--script",
             "/dev/null"},
            "chip serve --faults SPEC"}}) {
    expectOneLineError(runTool(args), 2, message);
  }
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(fs::exists(socket));
}

}  // namespace
