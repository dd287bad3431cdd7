#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/asic/Assert.h"
#include "platform/sim/SimChip.h"
#include "store/BrellReader.h"
#include "tests/e2e/ToolRunner.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using namespace bcm88490_a0;
using RegisterTest::bytesOf;
using RegisterTest::linesOf;
using RegisterTest::makeTable;
using Tessar::HwShadowKey;

class MemoryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = Vorl::makePtr<Tessar::TableManager>();
    manager_->entityManagerIs(Vorl::makePtr<Ordex::EntityManager>(root_));
  }
  void TearDown() override {
    manager_->tableCollDelAll();
    manager_ = nullptr;
  }

  void withPool(U32 bufferBytes) {
    manager_->dmaMemPoolManagerIs(Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(bufferBytes));
  }

  // Runs `cmds` on `chip` and checks that it then holds exactly what `table` shadows.
  static void expectChipMatches(Sim::Chip& chip, Vorl::Ptr<Pelcar::SchanCmds> const& cmds,
                                Tessar::HwCommonShadowTableBase const& table,
                                Pelcar::Fapmask const& mask, std::size_t cells) {
    chip.execute(cmds);
    auto check = Sim::verifyTable(chip, table, mask);
    EXPECT_TRUE(check.ok()) << (check.mismatches.empty() ? "" : check.mismatches.front());
    EXPECT_EQ(check.cellsChecked, cells);
  }

  E2e::TempDir dir_{"memory"};
  std::string root_ = dir_.path();
  Vorl::Ptr<Tessar::TableManager> manager_;
};

TEST_F(MemoryFixture, NewShadowsHoldTheirStartUpRows) {
  auto termination = makeTable<IppaTerminationProfileTableHwDirect>(manager_);
  auto ippd = makeTable<IppdPphAttributeByEeiHwDirect>(manager_);
  auto bspl = makeTable<IppaBsplProfileTblHwDirect>(manager_);
  auto mpls = makeTable<IppfMplsSpecialLabelAttributesTblHwDirect>(manager_);
  auto postMpls = makeTable<IppfPostMplsSpecialLabelAttributesTblHwDirect>(manager_);
  std::vector<std::size_t> stored;
  for (auto* table : std::initializer_list<Tessar::HwCommonShadowTableBase*>{
           termination.get(), ippd.get(), bspl.get(), mpls.get(), postMpls.get()}) {
    table->addShadow(HwShadowKey(0));
    stored.push_back(table->hwShadowColl(HwShadowKey(0))->storedEntries().size());
  }
  EXPECT_EQ(stored, (std::vector<std::size_t>{5, 3, 64, 64, 16}));

  std::map<U32, U8> terminationByte0{{3, 0x16}, {4, 0x26}, {5, 0x1E}, {6, 0x2E}, {7, 0x36}};
  for (auto const& [row, byte0] : terminationByte0) {
    EXPECT_EQ(termination->getEntry(0, row).dataByte0(0), byte0) << row;
  }
  // Rows not written read as the default (all zero) entry.
  EXPECT_EQ(bytesOf(termination->getEntry(0, 0)), std::vector<U8>(4, 0));
  EXPECT_EQ(ippd->getEntry(0, 15).fheiSize(), 2);
  EXPECT_EQ(bspl->getEntry(0, {3, 14}).plusOneMplsSpecialLabelProfileValid(), 1);
  EXPECT_EQ(mpls->getEntry(0, {1, 2}).specialLabelCheckBos(), 1);
  EXPECT_EQ(postMpls->getEntry(0, 2).specialForceParserContextValue(), 4);
}

TEST_F(MemoryFixture, ADeletedShadowLeavesItsFilesEmpty) {
  using Storage = IppaTerminationProfileTableHwDirect::Shadow::EntryStorage;
  auto table = makeTable<IppaTerminationProfileTableHwDirect>(manager_);
  table->addShadow(0);
  auto directory = root_ + "/" + table->shadow(0)->shadowPath();
  table->delShadow(0);  // empties and unmounts, the files stay
  Brell::BrellReader<Storage::Traits> reader("test", directory);
  ASSERT_TRUE(reader.initialize("test"));
  EXPECT_EQ(reader.members(), 0u);
}

TEST_F(MemoryFixture, OneRowWritesItsDataAtItsArrayRowAndAddress) {
  auto table = makeTable<IppaPostMplsSpecialLabelAttributesTblHwDirect>(manager_);
  table->addShadow(1);
  auto cmds = table->schanCmds(1, {3, 2});
  ASSERT_TRUE(cmds);
  EXPECT_EQ(linesOf(*cmds), std::vector<std::string>{
                                "memoryWrite ippaPostMplsSpecialLabelAttributes faps={1} block=38 "
                                "addr=0xce0020 array=3 row=2 size=8 rows=1 data=0100002000480000"});
}

std::vector<std::tuple<unsigned, unsigned, unsigned>> bulkLayout(Pelcar::SchanCmds const& cmds) {
  std::vector<std::tuple<unsigned, unsigned, unsigned>> layout;
  for (auto const& cmd : cmds) {
    EXPECT_EQ(cmd->kind, Pelcar::SchanCmdKind::memoryBulkWrite);
    layout.emplace_back(cmd->arrayIndex, cmd->row, cmd->rowCount);
  }
  return layout;
}

TEST_F(MemoryFixture, DownloadsPackRowsIntoDmaBuffersOneBulkWritePerBuffer) {
  withPool(12);  // 3 rows of 4 bytes
  auto table = makeTable<IppaTerminationProfileTableHwDirect>(manager_);
  table->addShadow(0);
  auto cmds = table->download("4", Pelcar::Fapmask::of({0}));
  ASSERT_TRUE(cmds);
  using Layout = std::vector<std::tuple<unsigned, unsigned, unsigned>>;
  EXPECT_EQ(bulkLayout(*cmds), (Layout{{0, 0, 3}, {0, 3, 3}, {0, 6, 2}}));
  // Each buffer carries its rows back to back: rows 3..5 are the first three written.
  auto second = *std::next(cmds->begin());
  EXPECT_EQ(second->data, (std::vector<U8>{0x16, 0, 0, 0, 0x26, 0, 0, 0, 0x1E, 0, 0, 0}));
  // Every row lands where the shadow has it, the last partly filled buffer's too.
  Sim::Chip chip;
  expectChipMatches(chip, cmds, *table, Pelcar::Fapmask::of({0}), 8);

  // A buffer never spans two arrays: 32 rows per array in buffers of 20 rows.
  withPool(20 * 12);
  auto mpls = makeTable<IppaMplsSpecialLabelAttributesTblHwDirect>(manager_);
  mpls->addShadow(0);
  auto mplsCmds = mpls->download("4", Pelcar::Fapmask::of({0}));
  EXPECT_EQ(bulkLayout(*mplsCmds), (Layout{{2, 0, 20}, {2, 20, 12}, {3, 0, 20}, {3, 20, 12}}));
  expectChipMatches(chip, mplsCmds, *mpls, Pelcar::Fapmask::of({0}), 64);
}

TEST_F(MemoryFixture, APoolTooSmallForOneRowIsRefusedBeforeAnyCommandIsBuilt) {
  withPool(8);  // rows of 12 bytes
  auto mpls = makeTable<IppaMplsSpecialLabelAttributesTblHwDirect>(manager_);
  mpls->addShadow(0);
  EXPECT_THROW(mpls->download("4", Pelcar::Fapmask::of({0})), Vorl::RangeException);
}

TEST_F(MemoryFixture, DownloadsWithoutAPoolWriteRowByRowAndTheChipMatchesTheShadow) {
  auto table = makeTable<IppfBsplProfileTblHwDirect>(manager_);
  table->addShadow(0);
  table->addShadow(1);
  auto cmds = table->download("4", Pelcar::Fapmask::of({0, 1}));
  ASSERT_TRUE(cmds);
  EXPECT_EQ(cmds->size(), 2u * 64u);
  Sim::Chip chip;
  expectChipMatches(chip, cmds, *table, Pelcar::Fapmask::of({0, 1}), 128);
}

TEST_F(MemoryFixture, ClearingWritesDefaultsAndEmptiesTheStoreEvenWhenNoFapApplies) {
  withPool(64);
  auto table = makeTable<IppdPphAttributeByEeiHwDirect>(manager_);
  table->addShadow(0);
  auto cmds = table->shadow(0)->clearShadow(table->fapRevision(), Pelcar::Fapmask::of({0}));
  ASSERT_TRUE(cmds);
  for (auto const& cmd : *cmds) {
    EXPECT_EQ(cmd->data, std::vector<U8>(cmd->data.size(), 0));
  }
  EXPECT_TRUE(table->shadow(0)->storedEntries().empty());

  table->setEntry(0, IppdPphAttributeByEeiHwDirect::Entry(4));
  EXPECT_FALSE(table->shadow(0)->clearShadow(table->fapRevision(), Pelcar::Fapmask::of({9})));
  EXPECT_TRUE(table->shadow(0)->storedEntries().empty());
}

TEST_F(MemoryFixture, OnlyAStoredEntryIsPublishedWhenDeleted) {
  using Table = IppaTerminationProfileTableHwDirect;
  std::vector<std::pair<U32, U32>> published;  // (attribute, row); outlives the table
  auto table = makeTable<Table>(manager_);
  table->addShadow(0);
  table->shadow(0)->entryStorage()->subscriberIs(
      [&published](U32 attribute, Table::EntryKey const& key) { published.emplace_back(attribute, key.entryIndex()); });
  table->deleteEntry(0, 1);  // row 1 holds no start-up entry
  EXPECT_TRUE(published.empty());
  table->setEntry(0, Table::Entry(1));
  table->deleteEntry(0, 1);
  table->deleteEntry(0, 1);
  EXPECT_EQ(published, (std::vector<std::pair<U32, U32>>{{258, 1}, {258, 1}}));
}

}  // namespace
