// A restart's reconcile against a cold bring-up, all thirteen tables on 48 FAPs, the
// chip in this process, in the same run:
//
//   Restart_ColdDownload              a cold bring-up (new stores, start-up rows) and
//                                     the download of every table: the baseline
//   Restart_WarmReconcile             a warm bring-up on the stores a cold agent left
//                                     (every memory shadow taken over) and the
//                                     reconcile of every table and FAP with a chip
//                                     that holds them already: nothing may be sent
//   Restart_WarmReconcileOnePercent   the same, with 1 % of the chip's rows changed
//                                     beforehand (not timed): exactly those are written
//
// Only the bring-up and its download or reconcile are timed; making stores ready and
// tearing agents down are not. The summary compares the warm restart with the cold
// one (goal: at most 1.5 times as long) and checks the counts.
#include "bench/tables/RestartBench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

#include <fmt/format.h>

#include "agent/Agent.h"

namespace RestartBench {
namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double coldMs = 0;
  double warmMs = 0;
  double onePercentMs = 0;
  std::uint64_t warmCommands = 0;
  std::uint64_t warmDiffering = 0;
  std::size_t rowsChanged = 0;
  std::uint64_t onePercentDiffering = 0;
  std::uint64_t onePercentWritten = 0;
  std::uint64_t onePercentCommands = 0;
  std::uint64_t onePercentStill = 0;
};
Figures figures;

// Stores a cold agent left below a root, and the chip it downloaded to.
struct LeftBehind {
  LeftBehind() : root(freshRoot()), chip(Vorl::makePtr<Sim::Chip>()) {
    HwAgent::Agent agent(agentOptions(root), HwAgent::inProcessChip(chip));
    agent.download();
  }
  ~LeftBehind() { std::filesystem::remove_all(root); }
  HwAgent::Options warm() const {
    auto options = agentOptions(root);
    options.warm = true;
    return options;
  }
  std::string root;
  Vorl::Ptr<Sim::Chip> chip;
};

template <class Work>
double timed(benchmark::State& state, Work&& work) {
  auto started = Clock::now();
  work();
  std::chrono::duration<double> elapsed = Clock::now() - started;
  state.SetIterationTime(elapsed.count());
  return elapsed.count() * 1000;
}

void Restart_ColdDownload(benchmark::State& state) {
  double total = 0;
  for (auto _ : state) {
    auto root = freshRoot();
    auto chip = Vorl::makePtr<Sim::Chip>();
    std::unique_ptr<HwAgent::Agent> agent;
    total += timed(state, [&] {
      agent = std::make_unique<HwAgent::Agent>(agentOptions(root), HwAgent::inProcessChip(chip));
      agent->download();
    });
    state.counters["commands"] = static_cast<double>(agent->commandsSent());
    agent.reset();
    std::filesystem::remove_all(root);
  }
  figures.coldMs = total / static_cast<double>(state.iterations());
}
BENCHMARK(Restart_ColdDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void Restart_WarmReconcile(benchmark::State& state) {
  LeftBehind stores;
  double total = 0;
  for (auto _ : state) {
    std::unique_ptr<HwAgent::Agent> agent;
    HwAgent::ReconcileReport report;
    total += timed(state, [&] {
      agent = std::make_unique<HwAgent::Agent>(stores.warm(), HwAgent::inProcessChip(stores.chip));
      report = agent->reconcile();
    });
    figures.warmCommands += agent->commandsSent();
    figures.warmDiffering += report.total().rowsDiffering;
    state.counters["rowsCompared"] = static_cast<double>(report.total().rowsCompared);
    state.counters["commands"] = static_cast<double>(agent->commandsSent());
  }
  figures.warmMs = total / static_cast<double>(state.iterations());
}
BENCHMARK(Restart_WarmReconcile)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// Changes byte 0 of `count` cells of the chip, chosen at random.
void changeRows(Sim::Chip& chip, std::size_t count, std::uint64_t seed) {
  std::vector<Sim::CellAddress> addresses;
  for (auto const& [address, cell] : chip.cells()) addresses.push_back(address);
  std::mt19937_64 random(seed);
  std::shuffle(addresses.begin(), addresses.end(), random);
  addresses.resize(count);
  for (auto const& address : addresses) {
    auto const& cell = chip.cells().at(address);
    Pelcar::SchanCmd cmd;
    cmd.kind =
        cell.isRegister ? Pelcar::SchanCmdKind::registerWrite : Pelcar::SchanCmdKind::memoryWrite;
    cmd.fapmask.fapIdIs(Pelcar::FapId(address.fapId), true);
    cmd.block = address.block;
    cmd.address = address.address;
    cmd.arrayIndex = address.arrayIndex;
    cmd.row = address.row;
    cmd.entrySize = static_cast<U32>(cell.data.size());
    cmd.data = cell.data;
    cmd.data[0] ^= 0x01;
    chip.execute(cmd);
  }
}

void Restart_WarmReconcileOnePercent(benchmark::State& state) {
  LeftBehind stores;
  double total = 0;
  std::uint64_t seed = 1;
  for (auto _ : state) {
    auto chip = Vorl::makePtr<Sim::Chip>(*stores.chip);
    figures.rowsChanged = chip->cells().size() / 100;
    changeRows(*chip, figures.rowsChanged, seed++);
    std::unique_ptr<HwAgent::Agent> agent;
    HwAgent::ReconcileReport report;
    total += timed(state, [&] {
      agent = std::make_unique<HwAgent::Agent>(stores.warm(), HwAgent::inProcessChip(chip));
      report = agent->reconcile();
    });
    auto sum = report.total();
    figures.onePercentDiffering = sum.rowsDiffering;
    figures.onePercentWritten = sum.rowsWritten;
    figures.onePercentCommands = sum.commandsSent;
    figures.onePercentStill += sum.rowsStillDiffering;
    if (sum.rowsDiffering != figures.rowsChanged || sum.rowsWritten != sum.rowsDiffering) {
      state.SkipWithError("the rows written are not the rows that differ");
      break;
    }
    state.counters["rowsDiffering"] = static_cast<double>(sum.rowsDiffering);
    state.counters["rowsWritten"] = static_cast<double>(sum.rowsWritten);
  }
  figures.onePercentMs = total / static_cast<double>(state.iterations());
}
BENCHMARK(Restart_WarmReconcileOnePercent)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace

std::string freshRoot() {
  char pattern[] = "/dev/shm/hwtables-table-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  return pattern;
}

HwAgent::Options agentOptions(std::string const& root) {
  HwAgent::Options options;
  options.faps.clear();
  for (unsigned fap = 0; fap < kFaps; ++fap) options.faps.push_back(fap);
  options.storeRoot = root;
  options.dmaBufferBytes = kBufferBytes;
  return options;
}

bool printSummary() {
  if (figures.coldMs == 0 || figures.warmMs == 0)
    return true;  // the restart benchmarks did not run
  double ratio = figures.warmMs / figures.coldMs;
  bool countsHold = figures.warmCommands == 0 && figures.warmDiffering == 0 &&
                    figures.onePercentDiffering == figures.rowsChanged &&
                    figures.onePercentWritten == figures.onePercentDiffering &&
                    figures.onePercentStill == 0;
  fmt::print("\nRestart, 13 tables on {} FAPs, {}-byte DMA buffers, the chip in this process:\n",
             kFaps, kBufferBytes);
  fmt::print("  cold bring-up + download            {:8.2f} ms\n", figures.coldMs);
  fmt::print(
      "  warm bring-up + reconcile           {:8.2f} ms  {:.2f} x cold (goal <= 1.5: {}); "
      "commands sent {} (goal 0)\n",
      figures.warmMs, ratio, ratio <= 1.5 ? "met" : "MISSED", figures.warmCommands);
  fmt::print(
      "  the same, 1 % of the rows changed   {:8.2f} ms  rows differing {}, rows written {} "
      "in {} commands (goal: written = differing = {}): {}\n",
      figures.onePercentMs, figures.onePercentDiffering, figures.onePercentWritten,
      figures.onePercentCommands, figures.rowsChanged, countsHold ? "met" : "MISSED");
  return countsHold;
}

}  // namespace RestartBench
