// What recording costs: the download of all thirteen tables on 48 FAPs (the chip in
// this process) with the command journal on, against the same download without it,
// in the same run.
//
//   Journal_RecordingCost/alike      each iteration brings two agents up on fresh
//                           roots (not timed) and times each one's download; the two
//                           go in turn, the first one alternating, so that the
//                           machine's drift falls on both alike. The journal file
//                           lies beside the stores, below /dev/shm. Every FAP comes
//                           up with the same rows, so the journal writes most rows as
//                           repeats of the first FAP's.
//   Journal_RecordingCost/different  the same, but every command's rows are made
//                           different (a count stamped into them on their way to the
//                           chip, in both downloads of a pair): no repeats to find,
//                           what looking for them costs when there are none.
//
// The benchmark runs three times (repetitions of 41 pairs); for each run the summary
// prints each clock's medians and its ratio, the median of the pairs' ratios, against
// the goal (at most 1.03 times with the journal): the two of a pair run a few
// milliseconds apart, so a busy machine slows both, where medians taken apart would
// compare a busy moment with a quiet one. Three clocks are read: the downloading
// thread's CPU time (what recording costs the download itself), the process's CPU time
// (that and the journal's file thread, which lays the records out and writes them:
// what recording costs the machine) and the wall time, which on a shared machine also
// holds whatever else ran, and the wait for the file thread to be scheduled at the end
// of the download. It also checks that the journal holds every command sent, and
// prints the bytes recorded against the command data the download moves.
#include "bench/tables/JournalBench.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "agent/Agent.h"
#include "agent/ChipLink.h"
#include "agent/Journal.h"
#include "bench/tables/RestartBench.h"

namespace JournalBench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRuns = 3;
constexpr double kGoal = 1.03;

// One clock's readings over a run, a pair at a time.
struct Pairs {
  std::vector<double> withoutMs;
  std::vector<double> withMs;
};

// One run of the benchmark: its pairs on the three clocks.
struct Run {
  Pairs thread;   // the downloading thread's CPU time
  Pairs process;  // the process's CPU time, with the journal's file thread
  Pairs wall;
};

// One case: FAPs with the same rows, or every command's rows different.
struct Case {
  explicit Case(char const* caseName) : name(caseName) {}
  char const* name;
  std::vector<Run> runs;
  std::uint64_t commands = 0;
  std::uint64_t recorded = 0;
  std::uintmax_t journalBytes = 0;
  std::uintmax_t dataBytes = 0;  // the commands' data, what the download moves
};

struct Figures {
  Case cases[2] = {Case("every FAP with the same rows"), Case("every command's rows different")};
  std::vector<double> recordOnlyMs;
};
Figures figures;

// The chip in this process, each command's rows stamped with a count on their way to
// it: no two commands of a download carry the same rows. A bulk write's rows are its
// DMA buffer's, shared: stamping gives each command its own copy first, in both
// downloads of a pair alike.
class DifferentRows final : public HwAgent::ChipLink {
 public:
  DifferentRows() : chip_(HwAgent::inProcessChip()) {}
  std::string description() const override { return chip_->description(); }
  Sim::WriteOutcome write(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override {
    if (cmds) {
      for (auto const& cmd : *cmds) {
        if (cmd->data.size() < sizeof count_) continue;
        ++count_;
        std::memcpy(cmd->data.mutableData(), &count_, sizeof count_);
      }
    }
    return chip_->write(cmds);
  }
  void read(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override { chip_->read(cmds); }
  Sim::Chip* localChip() override { return chip_->localChip(); }
  Vorl::Ptr<Sim::Chip> contents() override { return chip_->contents(); }
  std::vector<Sim::FlippedBit> flipBits(U32 count, std::uint64_t seed) override {
    return chip_->flipBits(count, seed);
  }

 private:
  std::unique_ptr<HwAgent::ChipLink> chip_;
  std::uint64_t count_ = 0;
};

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

Timed download(bool journal, Case& figures, bool different) {
  auto root = RestartBench::freshRoot();
  auto options = RestartBench::agentOptions(root);
  if (journal) options.journal = std::make_shared<HwAgent::JournalWriter>(root + "/journal");
  Timed timed;
  {
    HwAgent::Agent agent(options, different ? std::make_unique<DifferentRows>() : HwAgent::inProcessChip());
    auto started = Clock::now();
    auto startedCpu = cpuMs(CLOCK_THREAD_CPUTIME_ID);
    auto startedProcessCpu = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
    auto report = agent.download();
    timed.cpuMs = cpuMs(CLOCK_THREAD_CPUTIME_ID) - startedCpu;
    timed.processCpuMs = cpuMs(CLOCK_PROCESS_CPUTIME_ID) - startedProcessCpu;
    timed.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    if (journal) {
      figures.commands = agent.commandsSent();
      figures.recorded = options.journal->recorded();
      figures.journalBytes = std::filesystem::file_size(root + "/journal");
      figures.dataBytes = 0;
      for (auto const& table : report.tables) {
        if (!table.cmds) continue;
        for (auto const& cmd : *table.cmds) figures.dataBytes += cmd->data.size();
      }
    }
  }
  options.journal.reset();
  std::filesystem::remove_all(root);
  return timed;
}

void Journal_RecordingCost(benchmark::State& state) {
  bool different = state.range(0) == 1;
  auto& figuresOfCase = figures.cases[different];
  auto& run = figuresOfCase.runs.emplace_back();  // each repetition is a run of its own
  std::size_t turn = 0;
  for (auto _ : state) {
    bool journalFirst = turn++ % 2 == 1;
    auto first = download(journalFirst, figuresOfCase, different);
    auto second = download(!journalFirst, figuresOfCase, different);
    auto const& with = journalFirst ? first : second;
    auto const& without = journalFirst ? second : first;
    run.wall.withMs.push_back(with.wallMs);
    run.wall.withoutMs.push_back(without.wallMs);
    run.thread.withMs.push_back(with.cpuMs);
    run.thread.withoutMs.push_back(without.cpuMs);
    run.process.withMs.push_back(with.processCpuMs);
    run.process.withoutMs.push_back(without.processCpuMs);
    state.SetIterationTime((first.wallMs + second.wallMs) / 1000);
  }
}
BENCHMARK(Journal_RecordingCost)
    ->ArgName("different")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(41)
    ->Repetitions(kRuns)
    ->DisplayAggregatesOnly();

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
double pairRatio(Pairs const& clock) {
  std::vector<double> ratios;
  for (std::size_t index = 0; index < clock.withMs.size(); ++index) {
    ratios.push_back(clock.withMs[index] / clock.withoutMs[index]);
  }
  return median(ratios);
}

// One case's runs; false when its journal missed commands.
bool printCase(Case const& figures) {
  if (figures.runs.empty()) return true;  // the case did not run
  fmt::print("\nJournal, the download of 13 tables on {} FAPs, {}, the chip in this process ({} runs of {}\n"
             "pairs; medians, and each ratio the median of the run's pairs'; goal <= {:.2f} x):\n",
             RestartBench::kFaps, figures.name, figures.runs.size(), figures.runs.front().wall.withMs.size(), kGoal);
  fmt::print("  run  clock                  without        with     ratio  goal\n");
  int met[3] = {};
  for (std::size_t number = 0; number < figures.runs.size(); ++number) {
    auto const& run = figures.runs[number];
    std::pair<char const*, Pairs const*> const clocks[] = {
        {"its thread's CPU", &run.thread}, {"process CPU", &run.process}, {"wall", &run.wall}};
    for (auto const& [name, clock] : clocks) {
      double ratio = pairRatio(*clock);
      met[clock - &run.thread] += ratio <= kGoal;
      fmt::print("  {:<4} {:<18} {:8.2f} ms {:8.2f} ms {:8.3f} x  {}\n",
                 clock == &run.thread ? std::to_string(number + 1) : "", name, median(clock->withoutMs),
                 median(clock->withMs), ratio, ratio <= kGoal ? "met" : "MISSED");
    }
  }
  bool complete = figures.recorded == figures.commands;
  fmt::print("  goal met in {}, {} and {} of {} runs (thread CPU, process CPU, wall); {} of {} commands recorded in\n"
             "  {} bytes ({:.0f} a command), for {} bytes of command data ({:.2f} x)\n",
             met[0], met[1], met[2], figures.runs.size(), figures.recorded, figures.commands, figures.journalBytes,
             figures.commands ? double(figures.journalBytes) / double(figures.commands) : 0.0, figures.dataBytes,
             figures.dataBytes ? double(figures.journalBytes) / double(figures.dataBytes) : 0.0);
  return complete;
}

}  // namespace

bool printSummary() {
  bool complete = true;
  for (auto const& figuresOfCase : figures.cases) complete &= printCase(figuresOfCase);
  auto const& alike = figures.cases[0];
  if (!figures.recordOnlyMs.empty() && !alike.runs.empty() && !alike.runs.back().wall.withoutMs.empty()) {
    double without = median(alike.runs.back().wall.withoutMs);
    fmt::print("  recording alone (the same lists)    {:8.2f} ms wall  {:.3f} x the download without it\n",
               median(figures.recordOnlyMs), median(figures.recordOnlyMs) / without);
  }
  // A missed time goal is printed as such; only a journal that missed commands fails
  // the run, as the restart's summary fails only on wrong counts.
  return complete;
}

}  // namespace JournalBench
