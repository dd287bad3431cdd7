// What recording costs: the download of all thirteen tables on 48 FAPs (the chip in
// this process) with the command journal on, against the same download without it,
// in the same run.
//
//   Journal_RecordingCost   each iteration brings two agents up on fresh roots (not
//                           timed) and times each one's download; the two go in
//                           turn, the first one alternating, so that the machine's
//                           drift falls on both alike. The journal file lies beside
//                           the stores, below /dev/shm.
//
// The summary's ratio is the median of each iteration's two downloads' ratio (goal: at
// most 1.03 times as long with the journal): the two of a pair run a few milliseconds
// apart, so a busy machine slows both, where medians taken apart would compare a busy
// moment with a quiet one. It also checks that the journal holds every command sent.
#include "bench/tables/JournalBench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

#include <fmt/format.h>

#include "agent/Agent.h"
#include "agent/Journal.h"
#include "bench/tables/RestartBench.h"

namespace JournalBench {
namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  std::vector<double> withoutMs;
  std::vector<double> withMs;
  std::vector<double> recordOnlyMs;
  std::uint64_t commands = 0;
  std::uint64_t recorded = 0;
  std::uintmax_t journalBytes = 0;
};
Figures figures;

double downloadMs(bool journal) {
  auto root = RestartBench::freshRoot();
  auto options = RestartBench::agentOptions(root);
  if (journal) options.journal = std::make_shared<HwAgent::JournalWriter>(root + "/journal");
  double ms = 0;
  {
    HwAgent::Agent agent(options, HwAgent::inProcessChip());
    auto started = Clock::now();
    agent.download();
    ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    if (journal) {
      figures.commands = agent.commandsSent();
      figures.recorded = options.journal->recorded();
      figures.journalBytes = std::filesystem::file_size(root + "/journal");
    }
  }
  options.journal.reset();
  std::filesystem::remove_all(root);
  return ms;
}

void Journal_RecordingCost(benchmark::State& state) {
  std::size_t turn = 0;
  for (auto _ : state) {
    bool journalFirst = turn++ % 2 == 1;
    double first = downloadMs(journalFirst);
    double second = downloadMs(!journalFirst);
    figures.withMs.push_back(journalFirst ? first : second);
    figures.withoutMs.push_back(journalFirst ? second : first);
    state.SetIterationTime((first + second) / 1000);
  }
}
BENCHMARK(Journal_RecordingCost)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(41);

// Recording alone: the lists of one download written to a journal, untimed download.
void Journal_RecordOnly(benchmark::State& state) {
  auto root = RestartBench::freshRoot();
  HwAgent::DownloadReport download;
  {
    HwAgent::Agent agent(RestartBench::agentOptions(root), HwAgent::inProcessChip());
    download = agent.download();
  }
  std::vector<Sim::WriteOutcome> outcomes;
  for (auto const& table : download.tables) {
    outcomes.push_back({static_cast<std::uint32_t>(table.commands()), {}});
  }
  for (auto _ : state) {
    HwAgent::JournalWriter writer(root + "/journal");
    auto started = Clock::now();
    for (std::size_t index = 0; index < download.tables.size(); ++index) {
      if (download.tables[index].cmds) {
        writer.record(*download.tables[index].cmds, download.tables[index].table, &outcomes[index]);
      }
    }
    auto ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    figures.recordOnlyMs.push_back(ms);
    state.SetIterationTime(ms / 1000);
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(Journal_RecordOnly)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(41);

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

bool printSummary() {
  if (figures.withMs.empty()) return true;  // the benchmark did not run
  double without = median(figures.withoutMs);
  double with = median(figures.withMs);
  std::vector<double> ratios;
  for (std::size_t index = 0; index < figures.withMs.size(); ++index) {
    ratios.push_back(figures.withMs[index] / figures.withoutMs[index]);
  }
  double ratio = median(ratios);
  bool complete = figures.recorded == figures.commands;
  fmt::print("\nJournal, the download of 13 tables on {} FAPs, the chip in this process (medians of {}):\n",
             RestartBench::kFaps, figures.withMs.size());
  fmt::print("  without the journal                 {:8.2f} ms\n", without);
  fmt::print(
      "  with the journal                    {:8.2f} ms  {:.3f} x, the median of the pairs' "
      "ratios (goal <= 1.03: {}); {} of {} commands recorded in {} KiB\n",
      with, ratio, ratio <= 1.03 ? "met" : "MISSED", figures.recorded, figures.commands,
      figures.journalBytes / 1024);
  if (!figures.recordOnlyMs.empty()) {
    fmt::print("  recording alone (the same lists)    {:8.2f} ms  {:.3f} x the download without it\n",
               median(figures.recordOnlyMs), median(figures.recordOnlyMs) / without);
  }
  // A missed time goal is printed as such; only a journal that missed commands fails
  // the run, as the restart's summary fails only on wrong counts.
  return complete;
}

}  // namespace JournalBench
