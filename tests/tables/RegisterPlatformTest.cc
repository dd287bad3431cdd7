#include <gtest/gtest.h>

#include "platform/glimmet/Glimmet.h"
#include "platform/sim/SimChip.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using Pelcar::Fapmask;
using Pelcar::SchanCmd;
using Pelcar::SchanCmdKind;

// The agent's download records go to a ring for as long as it runs: old records must
// make way whole, and one that can never fit must not overrun it.
TEST(RegisterGlimmet, AFullRingEvictsTheOldestWholeRecordsAndDropsOneLargerThanItself) {
  Glimmet::Ring ring(100);  // 24 bytes a record: 15 of header, 9 for the number
  Glimmet::MessageDescriptor descriptor("row {}", __FILE__, __LINE__);
  for (std::uint32_t row = 0; row < 10; ++row) Glimmet::trace(ring, descriptor, row);
  auto records = ring.records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records.front().text(), "row 6");
  EXPECT_EQ(records.back().text(), "row 9");
  Glimmet::trace(ring, descriptor, std::string(100, 'x'));
  EXPECT_EQ(ring.records().size(), 4u);
  EXPECT_EQ(ring.droppedRecords(), 1u);
}

Vorl::Ptr<SchanCmd> write(SchanCmdKind kind, Fapmask mask, U32 row, std::vector<U8> data,
                          U32 rowCount = 1) {
  auto cmd = Vorl::makePtr<SchanCmd>();
  cmd->kind = kind;
  cmd->fapmask = mask;
  cmd->block = 38;
  cmd->address = 0x1A5;
  cmd->row = row;
  cmd->rowCount = rowCount;
  cmd->entrySize = static_cast<U32>(data.size() / rowCount);
  cmd->data = std::move(data);
  return cmd;
}

TEST(RegisterSimChip, WritesLandOnEveryFapOfTheMask) {
  Sim::Chip chip;
  auto cmds = Pelcar::schanCmdsFactory();
  cmds->cmdEnq(write(SchanCmdKind::registerWrite, Fapmask::of({0, 2}), 0, {1, 2, 3, 4}));
  cmds->cmdEnq(write(SchanCmdKind::memoryBulkWrite, Fapmask::of({1}), 5, {1, 1, 2, 2, 3, 3}, 3));
  chip.execute(cmds);
  EXPECT_EQ(chip.registerValue(Pelcar::FapId(0), 38, 0x1A5), (std::vector<U8>{1, 2, 3, 4}));
  EXPECT_EQ(chip.registerValue(Pelcar::FapId(2), 38, 0x1A5), (std::vector<U8>{1, 2, 3, 4}));
  EXPECT_FALSE(chip.registerValue(Pelcar::FapId(1), 38, 0x1A5));
  EXPECT_EQ(chip.memoryRow(Pelcar::FapId(1), 38, 0x1A5, 0, 7), (std::vector<U8>{3, 3}));
  EXPECT_FALSE(chip.memoryRow(Pelcar::FapId(1), 38, 0x1A5, 0, 8));
  ASSERT_EQ(chip.log().size(), 2u);
  EXPECT_EQ(chip.log()[1].sequence, 2u);
  // Commands that write nowhere, do not write, or end past the last row are refused.
  EXPECT_THROW(chip.execute(*write(SchanCmdKind::registerWrite, Fapmask(), 0, {1})),
               Vorl::RangeException);
  EXPECT_THROW(chip.execute(*write(SchanCmdKind::registerRead, Fapmask::of({0}), 0, {1})),
               Vorl::RangeException);
  EXPECT_THROW(
      chip.execute(*write(SchanCmdKind::memoryBulkWrite, Fapmask::of({0}), 0xFFFFFFFF, {1, 2}, 2)),
      Vorl::RangeException);
}

TEST(RegisterSimChip, TheTableCheckFindsWrongMissingAndStrayCells) {
  using Table = bcm88490_a0::EtppPhpMapFwdCodeHwReg;
  auto manager = Vorl::makePtr<Tessar::TableManager>();
  auto table = RegisterTest::makeTable<Table>(manager);
  table->addShadow(0);
  Sim::Chip chip;
  auto mask = Fapmask::of({0});
  EXPECT_FALSE(Sim::verifyTable(chip, *table, mask).ok());  // nothing written yet

  chip.execute(table->download("4", mask));
  auto check = Sim::verifyTable(chip, *table, mask);
  EXPECT_TRUE(check.ok());
  EXPECT_EQ(check.cellsChecked, 1u);

  // Another FAP's copy of the register is not any shadow's.
  auto stray = table->schanCmds(0, 0);
  (*stray->begin())->fapmask = Fapmask::of({3});
  chip.execute(stray);
  EXPECT_EQ(Sim::verifyTable(chip, *table, mask).mismatches.size(), 1u);

  // A changed shadow no longer matches the chip.
  Table::Entry entry(Table::EntryKey(0));
  table->setEntry(0, entry);
  check = Sim::verifyTable(chip, *table, mask);
  ASSERT_EQ(check.mismatches.size(), 2u);
  EXPECT_EQ(check.mismatches[0],
            "FAP 0 etppcPhpMapFwdCode (block 27 address 0x85f array 0 entry 0): chip holds "
            "12f4ff53f4ff0000, shadow holds 0000000000000000");
}

}  // namespace
