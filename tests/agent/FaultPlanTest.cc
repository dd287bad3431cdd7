
#include "tests/agent/AgentTestSupport.h"
#include "tests/e2e/E2eTest.h"

namespace {

using Sim::FaultKind;
using Sim::FaultPlan;

// A bulk write of `rows` rows of 4 bytes at `row` on the FAPs given; row r holds r+1 in
// every byte, so that no written row is all zeros.
Vorl::Ptr<Pelcar::SchanCmd> bulkWrite(U32 row, U32 rows, std::vector<U32> faps = {0}) {
  std::vector<U8> data;
  for (U32 index = 0; index < rows; ++index) data.insert(data.end(), 4, U8(row + index + 1));
  return AgentTest::memoryWrite(faps, row, data, rows);
}

using AgentTest::listOf;

std::vector<std::tuple<std::uint32_t, FaultKind, std::uint32_t>> faultsOf(
    Sim::WriteOutcome const& outcome) {
  std::vector<std::tuple<std::uint32_t, FaultKind, std::uint32_t>> faults;
  for (auto const& fault : outcome.faults)
    faults.emplace_back(fault.index, fault.kind, fault.rowsWritten);
  return faults;
}

// 200 lists of five commands: three bulk writes of 8 rows, two one-row writes.
std::vector<Vorl::Ptr<Pelcar::SchanCmds>> workload() {
  std::vector<Vorl::Ptr<Pelcar::SchanCmds>> lists;
  for (U32 list = 0; list < 200; ++list) {
    U32 base = list * 64;
    lists.push_back(listOf({bulkWrite(base, 8), bulkWrite(base + 8, 1), bulkWrite(base + 16, 8),
                            bulkWrite(base + 24, 1), bulkWrite(base + 32, 8, {0, 1})}));
  }
  return lists;
}

TEST(FaultPlan, TextIsReadBackToTheSamePlanAndBadTextIsRefusedByName) {
  auto plan = FaultPlan::parse(
      "refuse=3,refuse-rate=0.25,timeout=2,timeout-rate=0.5,partial=4,partial-rate=1,"
      "partial-rows=7,flip-every=9,seed=42");
  EXPECT_EQ(
      std::tuple(plan.refuseNth, plan.refuseRate, plan.partialRows, plan.flipEvery, plan.seed),
      std::tuple(3u, 0.25, 7u, 9u, 42u));
  EXPECT_EQ(FaultPlan::parse(plan.text()).text(), plan.text());
  EXPECT_TRUE(FaultPlan::parse("seed=5").empty());

  std::vector<std::pair<std::string, std::string>> const bad{
      {"", "empty"},
      {"refuse", "name=value"},
      {"refuse=0", "at least 1"},
      {"refuse=3x", "whole number"},
      {"refuse-rate=1.5", "outside 0..1"},
      {"refuse-rate=nan", "not a number"},
      {"partial-rows=99999999999", "too large"},
      {"explode=1", "unknown fault 'explode'"}};
  for (auto const& [text, named] : bad) {
    try {
      FaultPlan::parse(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (Sim::FaultPlanError const& error) {
      expectHas(error.what(), {named});
    }
  }
}

TEST(FaultPlan, TheNthCommandFailsAndNoOtherWhateverListItIsIn) {
  // Counted over the run, not per list (five writes and three bulk writes a list): the
  // 7th write is the second list's 2nd command, its 4th bulk write the second list's
  // 1st, the 9th bulk write the third list's 5th.
  Sim::Chip chip;
  chip.faultPlanIs(FaultPlan::parse("refuse=7,timeout=4,partial=9,partial-rows=5"));
  auto lists = workload();
  EXPECT_TRUE(chip.execute(lists[0]).ok());
  auto second = chip.execute(lists[1]);
  EXPECT_EQ(std::tuple(second.commands, second.completed()), std::tuple(5u, 3u));
  EXPECT_EQ(faultsOf(second),
            (decltype(faultsOf(second)){{0, FaultKind::timedOut, 0}, {1, FaultKind::refused, 0}}));
  auto third = chip.execute(lists[2]);
  EXPECT_EQ(faultsOf(third), (decltype(faultsOf(third)){{4, FaultKind::partial, 5}}));
  EXPECT_TRUE(chip.execute(lists[3]).ok());

  auto row = [&chip](U32 fap, U32 at) {
    return chip.memoryRow(Pelcar::FapId(fap), 38, 0x770000, 0, at).has_value();
  };
  // Timed out and refused: nothing of them; the commands after them: written.
  for (U32 at = 64; at < 72; ++at) EXPECT_FALSE(row(0, at)) << at;
  EXPECT_EQ(std::tuple(row(0, 72), row(0, 80), row(0, 88)), std::tuple(false, true, true));
  EXPECT_EQ(chip.faults()->faultsInjected(), 3u);
  // Refused and timed out commands are not counted as executed; a partial one is.
  EXPECT_EQ(chip.commandsExecuted(), 20u - 2u);
}

// A seeded plan repeats its run; timeouts and partial writes strike DMA bulk writes only.
TEST(FaultPlan, TheSameSeedGivesTheSameRunAnotherSeedAnotherAndTimeoutsAndPartialsStrikeBulkWrites) {
  auto plan = FaultPlan::parse("refuse-rate=0.1,timeout-rate=0.3,partial-rate=0.5,seed=11");
  Sim::Chip one, two, three;
  one.faultPlanIs(plan);
  two.faultPlanIs(plan);
  auto lists = workload();
  for (auto const& list : lists) {
    auto outcome = one.execute(list);
    EXPECT_EQ(two.execute(list).faults, outcome.faults);
    for (auto const& fault : outcome.faults) {
      auto const& cmd = *std::next(list->begin(), fault.index);
      if (fault.kind == FaultKind::refused) continue;
      EXPECT_EQ(cmd->kind, Pelcar::SchanCmdKind::memoryBulkWrite);
      EXPECT_LT(fault.rowsWritten, cmd->rowCount) << "a faulty write never lands whole";
    }
  }
  plan.seed = 12;
  three.faultPlanIs(plan);
  for (auto const& list : lists) three.execute(list);
  EXPECT_EQ(one.digest(), two.digest());
  EXPECT_NE(one.digest(), three.digest());
}

}  // namespace
