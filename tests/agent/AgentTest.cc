
#include "platform/sim/ChipClient.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/e2e/E2eTest.h"

namespace {

using namespace bcm88490_a0;
using namespace AgentTest;
using Hardware::Sand::FapRevision;
using Hardware::Sand::FapRevMajor;

HwAgent::ErrorKind kindOf(std::function<void()> const& action) {
  try {
    action();
  } catch (HwAgent::Error const& error) {
    return error.kind();
  }
  ADD_FAILURE() << "no HwAgent::Error";
  return HwAgent::ErrorKind::checkFailed;
}

TEST(Agent, BadOptionsAreRefusedBeforeAnythingIsMade) {
  TempDir dir;
  auto options = optionsFor(dir.file("stores"), "", false);
  std::ofstream(dir.file("file")) << "x";
  using Change = std::function<void(HwAgent::Options&)>;
  std::vector<std::pair<std::string, Change>> const changes{
      {"no FAPs", [](auto& o) { o.faps.clear(); }},
      {"FAP 128", [](auto& o) { o.faps = {0, 128}; }},
      {"a FAP twice", [](auto& o) { o.faps = {1, 1}; }},
      {"DMA buffers above 64 MiB", [](auto& o) { o.dmaBufferBytes = (64u << 20) + 1; }},
      {"another chip type", [](auto& o) { o.revision = FapRevision{FapRevMajor::FAPR_sim40_a0}; }},
      {"a store root below a file", [&](auto& o) { o.storeRoot = dir.file("file") + "/stores"; }}};
  for (auto const& [name, change] : changes) {
    auto changed = options;
    change(changed);
    EXPECT_EQ(kindOf([&] { HwAgent::Agent agent(changed); }), HwAgent::ErrorKind::badInput) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("stores")));
  EXPECT_EQ(kindOf([&] {
              HwAgent::Agent agent(optionsFor(dir.file("stores"), dir.file("no-chip"), false));
            }),
            HwAgent::ErrorKind::chipFailure);
  EXPECT_FALSE(std::filesystem::exists(dir.file("stores")))
      << "an agent without its chip touches no store";
}

TEST(Agent, StoresAreBusyWhileHeldOutliveACleanStopForAWarmSuccessorAndAColdStartEmptiesThem) {
  TempDir dir;
  auto chip = Vorl::makePtr<Sim::Chip>();
  auto options = optionsFor(dir.file("stores"), "", false);
  {
    HwAgent::Agent agent(options, HwAgent::inProcessChip(chip));
    agent.download();
    setByte0<IppaTerminationProfileTableHwDirect>(agent, 1, 2, 0x77);
    sendEntry<IppaTerminationProfileTableHwDirect>(agent, 1, 2);
    // A second agent on the same stores is busy and leaves the first intact.
    options.warm = true;
    EXPECT_EQ(kindOf([&] { HwAgent::Agent second(options, HwAgent::inProcessChip(chip)); }),
              HwAgent::ErrorKind::busy);
    EXPECT_EQ((byte0<IppaTerminationProfileTableHwDirect>(agent, 1, 2)), 0x77);
    EXPECT_EQ(auditDifferences(agent), 0u);
  }
  {
    HwAgent::Agent agent(options, HwAgent::inProcessChip(chip));
    EXPECT_EQ(agent.bringUp().takenOver(), 18u) << agent.bringUp().text();
    EXPECT_EQ((byte0<IppaTerminationProfileTableHwDirect>(agent, 1, 2)), 0x77);
    EXPECT_EQ(agent.reconcile().total().commandsSent, 0u);
  }
  options.warm = false;
  HwAgent::Agent agent(options, HwAgent::inProcessChip(chip));
  EXPECT_EQ(agent.bringUp().takenOver(), 0u);
  EXPECT_TRUE((isDefault<IppaTerminationProfileTableHwDirect>(agent, 1, 2)))
      << "a cold start starts from start-up rows";
  expectHas(agent.bringUp().text(), {"Cold start"});
}

TEST(Agent, AChipThatDiesIsReportedNotWaitedFor) {
  TempDir dir;
  auto chip = std::make_unique<ChipProcess>(dir.file("chip.sock"));
  auto options = optionsFor(dir.file("stores"), chip->socketPath(), false);
  options.chipTimeout = std::chrono::milliseconds(500);
  auto agent = std::make_unique<HwAgent::Agent>(options);
  agent->download();

  ::kill(chip->pid(), SIGSTOP);  // a chip that hangs
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(kindOf([&] { agent->audit(); }), HwAgent::ErrorKind::chipFailure);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  ::kill(chip->pid(), SIGCONT);

  chip->kill();
  chip = std::make_unique<ChipProcess>(dir.file("chip.sock"));  // a new chip starts empty
  EXPECT_EQ(kindOf([&] { agent->download(); }), HwAgent::ErrorKind::chipFailure)
      << "the agent's chip is gone, even though another serves the same socket";
  agent.reset();

  options.warm = true;
  options.chipTimeout = std::chrono::milliseconds(20000);
  HwAgent::Agent successor(std::move(options));
  EXPECT_EQ(Sim::ChipClient(chip->socketPath()).digest().cells, 0u);
  auto report = successor.reconcile();
  EXPECT_EQ(report.total().missingOnChip, report.total().rowsDiffering) << report.text();
  EXPECT_LT(report.total().commandsSent, report.total().rowsWritten) << "runs go in bulk writes";
  EXPECT_TRUE(report.clean());
  EXPECT_EQ(auditDifferences(successor), 0u);
}

}  // namespace
