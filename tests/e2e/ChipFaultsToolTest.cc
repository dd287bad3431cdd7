// An agent on a chip process that fails on purpose (`chip serve --faults`): a script
// that programs every table, audits, reconciles and audits again reports every
// command the chip did not complete, by table, FAP and rows, in text and in JSON, exits
// 1, and ends with a clean audit; the same seed gives the same run.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

using E2e::expectHas;
constexpr char const* kFaults = "refuse-rate=0.1,partial-rate=0.3,seed=7";
constexpr char const* kScript = "download all\naudit\nreconcile\naudit\n";

class ChipFaultsTool : public ::testing::Test {
 protected:
  void serve(std::string const& faults) {
    chip_ = std::make_unique<E2e::LiveTool>(
        std::vector<std::string>{"chip", "serve", "--socket", socket_, "--faults", faults},
        "failing on purpose: " + faults);
  }
  E2e::Run agent(std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"--chip", socket_, "--faps", "0-7"});
    return E2e::runAgentScript(dir_, kScript, extra);
  }
  E2e::TempDir dir_{"faults"};
  std::string socket_ = dir_.file("chip.sock");
  std::unique_ptr<E2e::LiveTool> chip_;
};

// The failures of every JSON line, and each line's command and status.
struct Answers {
  std::vector<nlohmann::json> lines;
  std::vector<nlohmann::json> failures;
};

Answers answersOf(std::string const& out) {
  Answers answers;
  answers.lines = E2e::jsonLines(out);
  for (auto const& line : answers.lines) {
    for (auto const& failure : line.value("failures", nlohmann::json::array())) {
      answers.failures.push_back(failure);
    }
    if (line.contains("reconcile")) {
      for (auto const& failure : line["reconcile"]["failures"]) answers.failures.push_back(failure);
    }
  }
  return answers;
}

TEST_F(ChipFaultsTool, EveryFailureIsReportedAndTheReconcileLeavesACleanAudit) {
  serve(kFaults);
  auto run = agent({"--json"});
  EXPECT_EQ(run.status, 1) << run.err;
  auto answers = answersOf(run.out);
  ASSERT_EQ(answers.lines.size(), 5u) << run.out;
  // The start downloads every table: its failures come with the first line.
  EXPECT_FALSE(answers.lines[0]["failures"].empty()) << answers.lines[0].dump();
  auto const& download = answers.lines[1];
  EXPECT_EQ(download["command"], "download");
  EXPECT_EQ(download["status"], "failed");
  EXPECT_FALSE(download["failures"].empty());
  auto const& audit = answers.lines[2];
  EXPECT_EQ(audit["status"], "failed");
  EXPECT_FALSE(audit["differences"].empty());
  auto const& reconcile = answers.lines[3];
  EXPECT_EQ(reconcile["command"], "reconcile");
  EXPECT_TRUE(reconcile["clean"].get<bool>()) << reconcile.dump();
  auto const& last = answers.lines[4];
  EXPECT_EQ(last["status"], "ok") << last.dump();
  EXPECT_TRUE(last["differences"].empty());

  std::set<std::string> tables;
  for (auto const& entry : reconcile["entries"]) tables.insert(entry["table"].get<std::string>());
  EXPECT_EQ(tables.size(), 13u);
  for (auto const& failure : answers.failures) {
    EXPECT_TRUE(tables.contains(failure["table"].get<std::string>())) << failure.dump();
    for (auto const& fap : failure["faps"]) EXPECT_LT(fap.get<int>(), 8) << failure.dump();
    EXPECT_LT(failure["rowsWritten"].get<int>(), failure["rows"].get<int>());
    auto fault = failure["fault"].get<std::string>();
    EXPECT_TRUE(fault == "refused" || fault == "partly written") << fault;
  }
  // The chip counted what it failed on purpose: every one of them was reported.
  auto stopped = chip_->stop();
  auto counted = "it failed " + std::to_string(answers.failures.size()) + " command(s) on purpose";
  expectHas(stopped.out, {counted});
}

TEST_F(ChipFaultsTool, TheConsoleNamesEachFailureOnAnErrorLineAndTheSameSeedRepeatsTheRun) {
  serve(kFaults);
  auto first = agent({});
  chip_->stop();
  serve(kFaults);
  auto second = agent({});
  EXPECT_EQ(first.status, 1);
  auto errors = [](std::string const& out) {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
      if (line.starts_with("error: ")) lines.push_back(line);
    }
    return lines;
  };
  auto firstErrors = errors(first.out);
  ASSERT_FALSE(firstErrors.empty()) << first.out;
  EXPECT_EQ(firstErrors, errors(second.out));
  // "error: TABLE FAP F rows A-B (MEMBER, array N): refused: ..."
  expectHas(firstErrors[0], {" FAP ", " row"});
  expectHas(first.err, {"script:1: failed: the chip did not complete"});
  expectHas(first.out, {"read back, nothing differs"});
}

TEST_F(ChipFaultsTool, ABadFaultPlanIsRefusedNamingItsBadPart) {
  auto run = E2e::runTool({"chip", "serve", "--socket", socket_, "--faults", "refuse-rate=2"});
  E2e::expectOneLineError(run, 2, "--faults: refuse-rate=2 is outside 0..1");
  run = E2e::runTool({"chip", "serve", "--socket", socket_, "--faults", "crash=1"});
  E2e::expectOneLineError(run, 2, "unknown fault 'crash'");
}

// The chip in the agent's own process takes the same plan (`agent --faults`; its run is
// tested in process in tests/agent/ChipFaultsTest.cc), but not a plan meant for a chip
// process.
TEST(ChipFaultsInProcess, APlanForAChipProcessOrABadPlanIsRefusedBeforeAnythingIsMade) {
  E2e::TempDir dir("faults-in-process");
  auto root = dir.file("root");
  auto run = E2e::runTool({"agent", "--root", root, "--chip", dir.file("chip.sock"), "--faults",
                           "refuse=1", "--script", "/dev/null"});
  E2e::expectOneLineError(run, 2, "chip serve --faults SPEC");
  run = E2e::runTool({"demo", "--root", root, "--faults", "refuse-rate=2"});
  E2e::expectOneLineError(run, 2, "--faults: refuse-rate=2 is outside 0..1");
  EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
