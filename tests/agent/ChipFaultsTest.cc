#include "tests/agent/AgentTestSupport.h"
#include "tests/e2e/E2eTest.h"

namespace {

using namespace bcm88490_a0;
using namespace AgentTest;

constexpr char const* kFaults = "refuse-rate=0.1,partial-rate=0.3,flip-every=40,seed=5";
std::vector<U32> const kFaps{0, 1, 2, 3};

Vorl::Ptr<Sim::Chip> cleanChip() {
  TempDir dir;
  auto chip = Vorl::makePtr<Sim::Chip>();
  HwAgent::Agent agent(optionsFor(dir.file("stores"), "", false, kFaps),
                       HwAgent::inProcessChip(chip));
  EXPECT_TRUE(agent.download().ok());
  return chip;
}

bool allZero(std::vector<U8> const& bytes) {
  return std::ranges::all_of(bytes, [](U8 byte) { return byte == 0; });
}

// Cells that read differently on the two chips: a cell one chip never had reads as
// zeros (a row whose download failed and whose desired entry is all zeros is not
// rewritten: it already reads right).
std::size_t cellsReadingDifferently(Sim::Chip const& one, Sim::Chip const& other) {
  std::size_t differing = 0;
  for (auto const& [address, cell] : one.cells()) {
    auto found = other.cells().find(address);
    if (found == other.cells().end() ? !allZero(cell.data) : found->second.data != cell.data) {
      ++differing;
    }
  }
  for (auto const& [address, cell] : other.cells()) {
    if (!one.cells().contains(address) && !allZero(cell.data)) ++differing;
  }
  return differing;
}

TEST(ChipFaults, EveryFailureIsNamedAReconcileLeavesTheChipWholeAndARowThatNeverTakesIsGivenUpOn) {
  TempDir dir;
  auto chip = Vorl::makePtr<Sim::Chip>();
  // The plan goes in as the tool's `agent --faults` gives it: through the options.
  auto options = optionsFor(dir.file("stores"), "", false, kFaps);
  options.chipFaults = Sim::FaultPlan::parse(kFaults);
  HwAgent::Agent agent(options, HwAgent::inProcessChip(chip));
  auto download = agent.download();
  ASSERT_FALSE(download.failures().empty());
  for (auto const& failure : download.failures()) {
    EXPECT_LT(failure.rowsWritten, failure.rowCount) << failure.text();
  }
  // Never counted as done: only the commands the chip completed are.
  EXPECT_EQ(agent.commandsSent(), download.commands() - download.failures().size());
  EXPECT_GT(auditDifferences(agent), 0u);
  // The chip still fails one command in ten while the reconcile writes: it writes again.
  auto report = agent.reconcile();
  EXPECT_FALSE(report.failures().empty());
  EXPECT_GT(report.total().retries, 0u);
  EXPECT_TRUE(report.clean());
  EXPECT_EQ(auditDifferences(agent), 0u);
  // The shadows kept the desired state through it all: the chip ends as a download
  // that never failed leaves it.
  auto clean = cleanChip();
  EXPECT_EQ(cellsReadingDifferently(*chip, *clean), 0u);
  EXPECT_GT(cellsReadingDifferently(Sim::Chip(), *clean), 0u) << "the comparison compares";

  // A refused write is named, and the shadow keeps its entry.
  auto sent = agent.commandsSent();
  chip->faultPlanIs(Sim::FaultPlan::parse("refuse=1"));
  setByte0<IppdPphAttributeByEeiHwDirect>(agent, 1, 9, 0x35);
  try {
    sendEntry<IppdPphAttributeByEeiHwDirect>(agent, 1, 9);
    FAIL() << "the refused write was not reported";
  } catch (HwAgent::ChipFault const& fault) {
    EXPECT_EQ(fault.kind(), HwAgent::ErrorKind::chipFailure);
    ASSERT_EQ(fault.failures().size(), 1u);
    auto const& failure = fault.failures()[0];
    EXPECT_EQ(
        std::tuple(failure.table, failure.faps, failure.firstRow, failure.rowCount, failure.kind),
        std::tuple(IppdPphAttributeByEeiHwDirect::tableName(), std::vector<U32>{1}, 9u, 1u,
                   Sim::FaultKind::refused));
    expectHas(failure.text(), {"FAP 1 row 9 "});
    expectHas(std::string(fault.what()), {"did not complete 1 of 1"});
  }
  EXPECT_EQ(agent.commandsSent(), sent);
  EXPECT_EQ((byte0<IppdPphAttributeByEeiHwDirect>(agent, 1, 9)), 0x35);
  EXPECT_EQ(auditDifferences(agent), 1u);
  // The plan's one refusal is spent: the reconcile's write lands.
  report = agent.reconcile();
  EXPECT_EQ(
      std::tuple(report.total().rowsWritten, report.failures().size(), auditDifferences(agent)),
      std::tuple(1u, 0u, 0u));

  // A row that never takes is left differing after a bounded number of rounds: one write
  // a round, eight rounds.
  setByte0<IppdPphAttributeByEeiHwDirect>(agent, 0, 3, 0x21);
  chip->faultPlanIs(Sim::FaultPlan::parse("refuse-rate=1"));
  report = agent.reconcile({IppdPphAttributeByEeiHwDirect::tableName(), 0});
  EXPECT_EQ(std::tuple(report.clean(), report.total().rowsStillDiffering, report.failures().size(),
                       report.total().retries),
            std::tuple(false, 1u, 8u, 7u));
  expectHas(report.text(), {"1 rows STILL DIFFER"});
}

}  // namespace
