#include "platform/sim/ChipClient.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/e2e/E2eTest.h"

namespace {

using namespace bcm88490_a0;
using namespace AgentTest;

// Changes in several memories, on both FAPs: rows added, and a start-up row deleted
// (back to its default).
void changeMemories(HwAgent::Agent& agent, bool send) {
  setByte0<IppaTerminationProfileTableHwDirect>(agent, 0, 1, 0x55);
  setByte0<IppdPphAttributeByEeiHwDirect>(agent, 1, 9, 0x35);
  setByte0<IppaBsplProfileTblHwDirect>(agent, 1, {3, 7}, 0x0f);
  tableOf<IppfPostMplsSpecialLabelAttributesTblHwDirect>(agent)->deleteEntry(
      Tessar::HwShadowKey::of(0, 0), 2);
  if (!send) return;
  sendEntry<IppaTerminationProfileTableHwDirect>(agent, 0, 1);
  sendEntry<IppdPphAttributeByEeiHwDirect>(agent, 1, 9);
  sendEntry<IppaBsplProfileTblHwDirect>(agent, 1, {3, 7});
  sendEntry<IppfPostMplsSpecialLabelAttributesTblHwDirect>(agent, 0, 2);
}

class RestartTest : public ::testing::Test {
 protected:
  HwAgent::Options cold() const { return optionsFor(root_, chip_.socketPath(), false); }
  HwAgent::Options warm() const { return optionsFor(root_, chip_.socketPath(), true); }
  int killAnAgentThatSentChanges() {
    return runAndKill([&] {
      HwAgent::Agent agent(cold());
      agent.download();
      changeMemories(agent, true);
    });
  }
  std::string storeOf(std::string const& table, U32 fap) const {
    return fmt::format("{}/bcm88490_a0/bcm88490_a0::{}/{}", root_, table, fap);
  }

  TempDir dir_;
  std::string root_ = dir_.file("stores");
  ChipProcess chip_{dir_.file("chip.sock")};
};

// The rows a warm successor writes: none after a kill, then exactly the rows whose bits
// flipped while no agent ran; then start-up rows for the stores that are gone or damaged.
TEST_F(RestartTest, AWarmSuccessorWritesNothingAfterAKillThenOnlyFlippedRowsThenLostStoresRows) {
  ASSERT_EQ(killAnAgentThatSentChanges(), 128 + SIGKILL);
  Sim::ChipClient chip(chip_.socketPath());
  auto intact = chip.digest();
  {
    HwAgent::Agent agent(warm());
    EXPECT_EQ(agent.bringUp().takenOver(), 18u) << agent.bringUp().text();
    auto report = agent.reconcile();
    EXPECT_EQ(std::tuple(report.total().rowsDiffering, report.total().rowsWritten),
              std::tuple(0u, 0u))
        << report.text();
    EXPECT_EQ(agent.commandsSent(), 0u);
    EXPECT_EQ(chip.digest().commandsExecuted, intact.commandsExecuted)
        << "nothing reached the chip";
    // The chip holds the changes, so the shadows taken over hold them too.
    EXPECT_EQ(auditDifferences(agent), 0u);
    EXPECT_EQ((byte0<IppaTerminationProfileTableHwDirect>(agent, 0, 1)), 0x55);
  }
  std::map<Sim::CellAddress, std::vector<U8>> before;
  for (auto& [address, cell] : chip.cells()) before[address] = cell.data;
  chip.flipBits(24, 20261207);
  std::size_t touched = 0;
  for (auto& [address, cell] : chip.cells()) touched += before.at(address) != cell.data ? 1 : 0;
  ASSERT_GT(touched, 0u);
  auto agent = std::make_unique<HwAgent::Agent>(warm());
  auto report = agent->reconcile();
  EXPECT_EQ(std::tuple(report.total().rowsDiffering, report.total().rowsWritten, report.clean()),
            std::tuple(touched, touched, true))
      << report.text();
  EXPECT_EQ(chip.digest().digest, intact.digest) << "the chip holds what it held before the flips";
  agent.reset();

  // A removed and a damaged store start from start-up rows, and the chip follows.
  std::filesystem::remove_all(storeOf("IppaTerminationProfileTableHwDirect", 0));
  // A writer killed inside an operation leaves the critical-section flag set; and damage
  // of any other kind.
  std::fstream(storeOf("IppdPphAttributeByEeiHwDirect", 1) + "/slots",
               std::ios::in | std::ios::out | std::ios::binary)
      .seekp(558)
      .put(1);
  std::fstream(storeOf("IppaBsplProfileTblHwDirect", 1) + "/slots",
               std::ios::in | std::ios::out | std::ios::binary)
      .write("garbage!", 8);

  HwAgent::Agent third(warm());
  auto const& bringUp = third.bringUp();
  EXPECT_EQ(bringUp.takenOver(), 15u);
  std::map<std::pair<std::string, U32>, std::string> reasons;
  for (auto const& shadow : bringUp.shadows) {
    if (shadow.isMemory && shadow.start.kind != Tessar::ShadowStart::Kind::takenOver) {
      reasons[{shadow.table, shadow.fapId}] = shadow.start.reason;
    }
  }
  ASSERT_EQ(reasons.size(), 3u) << bringUp.text();
  EXPECT_EQ((reasons[{"IppaTerminationProfileTableHwDirect", 0}]), "there was no store");
  expectHas((reasons[{"IppdPphAttributeByEeiHwDirect", 1}]), {"left mid-operation"});
  expectHas((reasons[{"IppaBsplProfileTblHwDirect", 1}]), {"invalid"});
  expectHas(bringUp.text(), {"IppaTerminationProfileTableHwDirect FAP 0: start-up rows, because "
                             "there was no store"});

  // Those shadows hold their start-up rows; the chip still holds the changes.
  EXPECT_TRUE((isDefault<IppaTerminationProfileTableHwDirect>(third, 0, 1)));
  report = third.reconcile();  // the three rows are start-up defaults again
  EXPECT_EQ(std::tuple(report.total().rowsWritten, report.total().extraOnChip, report.clean()),
            std::tuple(3u, 3u, true))
      << report.text();
  EXPECT_EQ(auditDifferences(third), 0u);
}

// Kills the agent before the write that would follow `writes` more writes.
class KillingLink : public HwAgent::ChipLink {
 public:
  explicit KillingLink(std::unique_ptr<HwAgent::ChipLink> link) : link_(std::move(link)) {}
  void killAfter(int writes) { left_ = writes; }
  std::string description() const override { return link_->description(); }
  Sim::WriteOutcome write(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override {
    if (left_ == 0) ::raise(SIGKILL);
    if (left_ > 0) --left_;
    return link_->write(cmds);
  }
  void read(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override { link_->read(cmds); }
  Vorl::Ptr<Sim::Chip> contents() override { return link_->contents(); }
  std::vector<Sim::FlippedBit> flipBits(U32 count, std::uint64_t seed) override {
    return link_->flipBits(count, seed);
  }

 private:
  std::unique_ptr<HwAgent::ChipLink> link_;
  int left_ = -1;
};

TEST_F(RestartTest, AKillInTheMiddleOfADownloadLeavesExactlyTheUnsentRowsToWrite) {
  constexpr int kTablesDownloaded = 6;
  // The memories changed below, by their place in the download order.
  std::map<std::string, std::size_t> order;
  auto options = cold();
  auto ended = runAndKill([&] {
    auto link = std::make_unique<KillingLink>(
        HwAgent::chipProcess(options.chipSocket, options.chipTimeout));
    auto* killing = link.get();
    HwAgent::Agent agent(options, std::move(link));
    agent.download();
    changeMemories(agent, false);                                      // not sent
    setByte0<IppfTerminationProfileTableHwDirect>(agent, 1, 0, 0x66);  // sent
    sendEntry<IppfTerminationProfileTableHwDirect>(agent, 1, 0);
    setByte0<IppfBsplProfileTblHwDirect>(agent, 0, {1, 30}, 0x21);  // not sent
    killing->killAfter(kTablesDownloaded);
    agent.download();
  });
  ASSERT_EQ(ended, 128 + SIGKILL);

  HwAgent::Agent agent(warm());
  for (std::size_t index = 0; index < agent.tables().size(); ++index) {
    order[agent.tables()[index]->hwTableKey().tableName] = index;
  }
  // The unsent rows of the tables the download did not reach still differ.
  std::size_t expected = 0;
  for (auto const* table :
       {"IppaTerminationProfileTableHwDirect", "IppdPphAttributeByEeiHwDirect",
        "IppaBsplProfileTblHwDirect", "IppfPostMplsSpecialLabelAttributesTblHwDirect",
        "IppfBsplProfileTblHwDirect"}) {
    expected += order.at(table) >= kTablesDownloaded ? 1 : 0;
  }
  ASSERT_GT(expected, 0u) << "the kill must leave some rows unsent";
  ASSERT_LT(expected, 5u) << "the kill must come in the middle of the download";
  EXPECT_EQ(auditDifferences(agent), expected);
  auto report = agent.reconcile();
  EXPECT_EQ(std::tuple(report.total().rowsDiffering, report.total().rowsWritten, report.clean()),
            std::tuple(expected, expected, true))
      << report.text();
  EXPECT_EQ(auditDifferences(agent), 0u);
  EXPECT_EQ((byte0<IppfBsplProfileTblHwDirect>(agent, 0, {1, 30})), 0x21);
}

}  // namespace
