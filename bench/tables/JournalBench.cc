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
// moment with a quiet one. Three clocks are read: the downloading thread's CPU time
// (what recording costs the download itself: the goal), the process's CPU time (that
// and the journal's file thread, which lays the records out and writes them: what
// recording costs the machine) and the wall time, which on a shared machine also holds
// whatever else ran, and the wait for the file thread to be scheduled at the end of
// the download. It also checks that the journal holds every command sent.
#include "bench/tables/JournalBench.h"

#include <benchmark/benchmark.h>

#include <time.h>

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
  std::vector<double> withoutCpuMs;
  std::vector<double> withCpuMs;
  std::vector<double> withoutProcessCpuMs;
  std::vector<double> withProcessCpuMs;
  std::vector<double> recordOnlyMs;
  std::uint64_t commands = 0;
  std::uint64_t recorded = 0;
  std::uintmax_t journalBytes = 0;
};
Figures figures;

double cpuMs(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct Timed {
  double wallMs = 0;
  double cpuMs = 0;         // the downloading thread's
  double processCpuMs = 0;  // with the journal's file thread
};

Timed download(bool journal) {
  auto root = RestartBench::freshRoot();
  auto options = RestartBench::agentOptions(root);
  if (journal) options.journal = std::make_shared<HwAgent::JournalWriter>(root + "/journal");
  Timed timed;
  {
    HwAgent::Agent agent(options, HwAgent::inProcessChip());
    auto started = Clock::now();
    auto startedCpu = cpuMs(CLOCK_THREAD_CPUTIME_ID);
    auto startedProcessCpu = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
    agent.download();
    timed.cpuMs = cpuMs(CLOCK_THREAD_CPUTIME_ID) - startedCpu;
    timed.processCpuMs = cpuMs(CLOCK_PROCESS_CPUTIME_ID) - startedProcessCpu;
    timed.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    if (journal) {
      figures.commands = agent.commandsSent();
      figures.recorded = options.journal->recorded();
      figures.journalBytes = std::filesystem::file_size(root + "/journal");
    }
  }
  options.journal.reset();
  std::filesystem::remove_all(root);
  return timed;
}

void Journal_RecordingCost(benchmark::State& state) {
  std::size_t turn = 0;
  for (auto _ : state) {
    bool journalFirst = turn++ % 2 == 1;
    auto first = download(journalFirst);
    auto second = download(!journalFirst);
    auto const& with = journalFirst ? first : second;
    auto const& without = journalFirst ? second : first;
    figures.withMs.push_back(with.wallMs);
    figures.withoutMs.push_back(without.wallMs);
    figures.withCpuMs.push_back(with.cpuMs);
    figures.withoutCpuMs.push_back(without.cpuMs);
    figures.withProcessCpuMs.push_back(with.processCpuMs);
    figures.withoutProcessCpuMs.push_back(without.processCpuMs);
    state.SetIterationTime((first.wallMs + second.wallMs) / 1000);
  }
}
BENCHMARK(Journal_RecordingCost)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(41);

// Recording alone: the lists of one download written to a journal until the file holds
// them, untimed download.
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
        writer.record(download.tables[index].cmds, download.tables[index].table, &outcomes[index]);
      }
    }
    writer.flush();  // until the file holds them: the file thread's work counts here
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

// The median of the pairs' ratios.
double pairRatio(std::vector<double> const& with, std::vector<double> const& without) {
  std::vector<double> ratios;
  for (std::size_t index = 0; index < with.size(); ++index) ratios.push_back(with[index] / without[index]);
  return median(ratios);
}

}  // namespace

bool printSummary() {
  if (figures.withMs.empty()) return true;  // the benchmark did not run
  double cpuRatio = pairRatio(figures.withCpuMs, figures.withoutCpuMs);
  double processRatio = pairRatio(figures.withProcessCpuMs, figures.withoutProcessCpuMs);
  double wallRatio = pairRatio(figures.withMs, figures.withoutMs);
  bool complete = figures.recorded == figures.commands;
  fmt::print("\nJournal, the download of 13 tables on {} FAPs, the chip in this process (medians of {}):\n",
             RestartBench::kFaps, figures.withMs.size());
  fmt::print("                                      its thread's CPU   process CPU        wall\n");
  fmt::print("  without the journal                 {:10.2f} ms {:10.2f} ms {:10.2f} ms\n",
             median(figures.withoutCpuMs), median(figures.withoutProcessCpuMs), median(figures.withoutMs));
  fmt::print("  with the journal                    {:10.2f} ms {:10.2f} ms {:10.2f} ms\n",
             median(figures.withCpuMs), median(figures.withProcessCpuMs), median(figures.withMs));
  fmt::print("  ratio, the median of the pairs'     {:10.3f} x  {:10.3f} x  {:10.3f} x\n", cpuRatio,
             processRatio, wallRatio);
  fmt::print(
      "  recording cost to the download: {:.3f} x its thread's CPU time (goal <= 1.03: {}); the "
      "journal's file thread adds the process's difference; {} of {} commands recorded in {} KiB\n",
      cpuRatio, cpuRatio <= 1.03 ? "met" : "MISSED", figures.recorded, figures.commands,
      figures.journalBytes / 1024);
  if (!figures.recordOnlyMs.empty()) {
    double without = median(figures.withoutMs);
    fmt::print("  recording alone (the same lists)    {:8.2f} ms wall  {:.3f} x the download without it\n",
               median(figures.recordOnlyMs), median(figures.recordOnlyMs) / without);
  }
  // A missed time goal is printed as such; only a journal that missed commands fails
  // the run, as the restart's summary fails only on wrong counts.
  return complete;
}

}  // namespace JournalBench
