
#include "tests/agent/AgentTestSupport.h"
#include "tests/e2e/E2eTest.h"

namespace {

using namespace bcm88490_a0;
using namespace AgentTest;

class ReconcileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_ = std::make_unique<HwAgent::Agent>(optionsFor(dir_.file("stores"), "", false),
                                              HwAgent::inProcessChip(chip_));
    agent_->download();
  }

  // A memory write straight to the chip, as damage would make it.
  void onChip(U32 fap, U32 block, U32 address, U8 arrayIndex, U32 row, std::vector<U8> data) {
    auto cmd = memoryWrite({fap}, row, std::move(data), 1, block, address, arrayIndex);
    chip_->execute(*cmd);
  }

  TempDir dir_;
  Vorl::Ptr<Sim::Chip> chip_ = Vorl::makePtr<Sim::Chip>();
  std::unique_ptr<HwAgent::Agent> agent_;
};

HwAgent::TableReconcile find(HwAgent::ReconcileReport const& report, std::string const& table,
                             U32 fap) {
  for (auto const& entry : report.entries) {
    if (entry.table == table && entry.fapId == fap) return entry;
  }
  ADD_FAILURE() << table << " FAP " << fap << " not reconciled";
  return {};
}

TEST_F(ReconcileTest, EachKindOfDifferenceIsWrittenBackToItsFapAndARegisterToItsBlockOnly) {
  // PPH attributes live at block 41, address 0x2020000; rows 1, 2 and 15 are start-up rows.
  onChip(1, 41, 0x2020000, 0, 15, {0x3f, 0, 0, 0});               // held differently
  onChip(1, 41, 0x2020000, 0, 5, {0x01, 0, 0, 0});                // extra on the chip
  setByte0<IppdPphAttributeByEeiHwDirect>(*agent_, 1, 9, 0x09);   // missing on the chip
  setByte0<IppdPphAttributeByEeiHwDirect>(*agent_, 1, 10, 0x0a);  // adjacent: one bulk write
  auto logged = chip_->log().size();
  auto report = agent_->reconcile();
  auto entry = find(report, "IppdPphAttributeByEeiHwDirect", 1);
  // Rows 5 and 15 alone, rows 9-10 in one bulk write: three commands.
  EXPECT_EQ(std::tuple(entry.rowsDiffering, entry.extraOnChip, entry.missingOnChip,
                       entry.rowsWritten, entry.commandsSent, entry.rowsStillDiffering),
            std::tuple(4u, 1u, 2u, 4u, 3u, 0u));
  EXPECT_EQ(report.total().rowsDiffering, 4u) << report.text();
  ASSERT_EQ(chip_->log().size(), logged + 3);
  for (auto index = logged; index < chip_->log().size(); ++index) {
    auto const& cmd = *chip_->log()[index].cmd;
    EXPECT_EQ(cmd.fapmask, Pelcar::Fapmask::of({1})) << cmd.toString();
  }
  EXPECT_EQ(auditDifferences(*agent_), 0u);
  EXPECT_EQ(chip_->memoryRow(Pelcar::FapId(1), 41, 0x2020000, 0, 5), std::vector<U8>(4, 0))
      << "the extra row is back to the default entry";

  // A register is rewritten in the block that differs only.
  auto table = agent_->table("IppVttSpecialLabelValuesHwReg");
  auto const& members = table->hwShadowColl().begin()->second->bcmGroupAddrInfo()->members();
  ASSERT_EQ(members.size(), 2u);
  auto const& second = *std::next(members.begin())->second;
  auto const& instance = *second.instances.begin()->second;
  auto bytes = chip_->registerValue(Pelcar::FapId(0), instance.block, instance.address).value();
  bytes[0] ^= 0x10;
  auto cmd = memoryWrite({0}, 0, bytes, 1, instance.block, instance.address);
  cmd->kind = Pelcar::SchanCmdKind::registerWrite;
  chip_->execute(*cmd);
  logged = chip_->log().size();
  report = agent_->reconcile({"IppVttSpecialLabelValuesHwReg", 0});
  ASSERT_EQ(report.entries.size(), 1u);
  EXPECT_EQ(
      std::tuple(report.entries[0].rowsDiffering, report.entries[0].rowsWritten, report.clean()),
      std::tuple(1u, 1u, true));
  ASSERT_EQ(chip_->log().size(), logged + 1);
  EXPECT_EQ(std::tuple(chip_->log().back().cmd->block, chip_->log().back().cmd->memberName),
            std::tuple(instance.block, second.name));
}

TEST_F(ReconcileTest, AReconcileOfAnEmptiedChipKeepsToItsScope) {
  chip_->clear();
  auto one = agent_->reconcile({"IppaBsplProfileTblHwDirect", 1});
  ASSERT_EQ(one.entries.size(), 1u);
  EXPECT_GT(one.entries[0].rowsWritten, 0u);
  EXPECT_EQ(agent_->reconcile({"IppaBsplProfileTblHwDirect", 1}).total().rowsDiffering, 0u);
  EXPECT_GT(agent_->reconcile({"IppaBsplProfileTblHwDirect", 0}).total().rowsDiffering, 0u)
      << "FAP 0 was left to its own reconcile";

  auto refused = [](std::function<void()> const& request) {
    try {
      request();
      ADD_FAILURE() << "accepted";
    } catch (HwAgent::Error const& error) {
      EXPECT_EQ(error.kind(), HwAgent::ErrorKind::badInput) << error.what();
    }
  };
  for (auto const& scope : {Framework::AuditScope{"NoSuchTable", {}},
                            Framework::AuditScope{"all", 5}, Framework::AuditScope{"all", 128}}) {
    refused([&] { agent_->reconcile(scope); });
  }
  refused([&] { agent_->dmaBufferIs(0); });
  agent_->dmaBufferIs(2);  // smaller than any row: nothing can be read or downloaded
  refused([&] { agent_->reconcile(); });
  refused([&] { agent_->download(); });
  agent_->dmaBufferIs(4096);
  auto all = agent_->reconcile();
  EXPECT_TRUE(all.clean());
  EXPECT_EQ(auditDifferences(*agent_), 0u);
}

}  // namespace
