#include <set>
#include <tuple>

#include "framework/ReadBackAudit.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/readers/ReaderTestSupport.h"

namespace {

using Cell = std::tuple<U32, U32, U32, U32, U32>;  // FAP, block, address, array, row

std::vector<Framework::TableAudit> audit(ReaderTest::BroughtUpChip& upChip, Sim::Chip& chip,
                                       Framework::AuditScope const& scope = {}) {
  auto readers = Vorl::makePtr<Tessar::ReadTableManager>(upChip.faps());
  readers->bulkReadEntriesIs(5);  // many small bulk reads, split mid-array
  return Framework::auditReadBack(*upChip.manager(), readers,
                                [&chip](auto const& cmds) { chip.answer(cmds); }, scope);
}

std::set<Cell> differingCells(std::vector<Framework::TableAudit> const& audits) {
  std::set<Cell> cells;
  for (auto const& table : audits) {
    for (auto const& difference : table.differences) {
      cells.insert({difference.fapId, difference.block, difference.address, difference.arrayIndex,
                    difference.entryIndex});
    }
  }
  return cells;
}

TEST(ReadBackAudit, AChipAsDownloadedReadsBackWithoutADifferenceInEveryTableOrInAScope) {
  ReaderTest::BroughtUpChip upChip({0, 3});
  auto audits = audit(upChip, upChip.chip);
  ASSERT_EQ(audits.size(), 13u);
  for (auto const& table : audits) {
    EXPECT_EQ(table.shadows, 2u) << table.table;
    EXPECT_GT(table.entriesRead, 0u) << table.table;
    EXPECT_TRUE(table.differences.empty()) << table.table << ": " << table.differences.front().toString();
  }
  // The scope narrows to one table and one FAP; unknown names are refused.
  auto one = audit(upChip, upChip.chip, {"EtppPhpMapFwdCodeHwReg", 3});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].readCommands, 1u);
  EXPECT_THROW(audit(upChip, upChip.chip, {"NoSuchTable", {}}), Vorl::RangeException);
}

TEST(ReadBackAudit, NamesExactlyTheEntriesThatFlippedBitsChangedOverManySeeds) {
  ReaderTest::BroughtUpChip upChip({0, 1});
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    Sim::Chip damaged = upChip.chip;
    damaged.flipBits(static_cast<U32>(1 + seed % 8), seed);
    std::set<Cell> changed;
    for (auto const& [address, cell] : damaged.cells()) {
      if (upChip.chip.cells().at(address).data != cell.data) {
        changed.insert({address.fapId, address.block, address.address, address.arrayIndex,
                        address.row});
      }
    }
    EXPECT_EQ(differingCells(audit(upChip, damaged)), changed) << "seed " << seed;
  }
}

TEST(ReadBackAudit, ADifferenceSaysWhatWasExpectedWhatWasReadAndWhichFieldsDiffer) {
  ReaderTest::BroughtUpChip upChip({0});
  Sim::Chip damaged = upChip.chip;
  // IppaTerminationProfileTable row 3 holds 0x16 (rejectTtl0, rejectTtl1,
  // labelsToTerminate 1); clearing the whole row makes it read back as absent.
  auto const& member = bcm88490_a0::IppaTerminationProfileTableHwDirect::Model::Desc::kMembers[0];
  Sim::CellAddress row3{0, member.block, member.address, 0, 3};
  ASSERT_TRUE(damaged.cells().contains(row3));
  damaged.execute(*AgentTest::memoryWrite({0}, 3, {0, 0, 0, 0}, 1, member.block, member.address));
  auto audits = audit(upChip, damaged, {"IppaTerminationProfileTableHwDirect", 0});
  ASSERT_EQ(audits.size(), 1u);
  ASSERT_EQ(audits[0].differences.size(), 1u);
  auto const& difference = audits[0].differences[0];
  EXPECT_EQ(difference.key, "{value=3}");
  EXPECT_EQ(difference.expected, (std::vector<U8>{0x16, 0, 0, 0}));
  EXPECT_FALSE(difference.read);
  EXPECT_EQ(difference.fields,
            (std::vector<std::string>{"rejectTtl0", "rejectTtl1", "labelsToTerminate"}));
}

}  // namespace
