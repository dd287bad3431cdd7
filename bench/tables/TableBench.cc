// hwtables-table-bench: the memory tables on their stores, against plain baselines
// measured in the same run.
//
//   Download/*   building the download commands of all thirteen tables for 48 FAPs,
//                against copying the same rows out of std::unordered_map into DMA
//                buffers of the same size (the least any download must do)
//   BringUp/*    all thirteen tables for 48 FAPs: every shadow made, its store files
//                created and its start-up rows written, against the floor of creating,
//                sizing and mapping as many files as the bring-up leaves behind
//   Restart/*    a warm restart's reconcile against a cold bring-up with download
//                (RestartBench.cc)
//   Journal/*    a download with the command journal on against one without it
//                (JournalBench.cc)
// main() ends with the ratios: the download against its baseline (CPU time, the
// fastest repetition of each), the restart's and the journal's.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <unordered_map>

#include <fmt/format.h>

#include "agent/Agent.h"
#include "bench/tables/JournalBench.h"
#include "bench/tables/RestartBench.h"
#include "tables/AllTables.h"
#include "tables/Catalogue.h"

namespace {

using RestartBench::freshRoot;
using RestartBench::kBufferBytes;
using RestartBench::kFaps;

HwAgent::Options benchOptions(std::string const& root) {
  return RestartBench::agentOptions(root);
}

void Download_Tables(benchmark::State& state) {
  auto root = freshRoot();
  {
    HwAgent::Agent agent(benchOptions(root));
    auto mask = agent.fapmask();
    std::size_t commands = 0;
    for (auto _ : state) {
      for (auto const& table : agent.tables()) {
        bool isRegister = table->typeName().find("HwReg") != std::string::npos;
        if ((state.range(0) == 1 && isRegister) || (state.range(0) == 2 && !isRegister)) continue;
        auto cmds = table->download("4", mask);
        commands += cmds ? cmds->size() : 0;
        benchmark::DoNotOptimize(cmds);
      }
    }
    state.counters["commands"] = static_cast<double>(commands) / state.iterations();
  }
  std::filesystem::remove_all(root);
}
// Argument: 0 every table, 1 the memories only, 2 the registers only.
BENCHMARK(Download_Tables)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The same rows (every row of every table for every FAP; stored ones from a map, the
// rest zero) copied into buffers of the same size, one buffer per bulk write.
void Download_Baseline(benchmark::State& state) {
  struct Table {
    U32 entryBytes;
    U32 arrays;
    U32 rows;
    std::vector<std::unordered_map<U64, std::array<U8, 12>>> shadows;
  };
  std::vector<Table> tables;
  for (auto const* info : bcm88490_a0::tableCatalogue()) {
    auto const& member = info->members.front();
    Table table{info->entryBytes, member.arrayCount, member.entryCount, {}};
    table.shadows.resize(kFaps);
    for (auto& shadow : table.shadows) {
      for (U32 array = 0; array < member.arrayCount; ++array) {
        for (U32 row = 0; row < member.entryCount; row += 2) {
          shadow[(U64{array} << 32) | row] = std::array<U8, 12>{1, 2, 3};
        }
      }
    }
    tables.push_back(std::move(table));
  }
  std::vector<U8> buffer(kBufferBytes);
  std::size_t buffers = 0;
  static std::array<U8, 12> const zeros{};
  for (auto _ : state) {
    for (auto const& table : tables) {
      U32 capacity = std::max<U32>(1, kBufferBytes / table.entryBytes);
      for (auto const& shadow : table.shadows) {
        U32 filled = 0;
        for (U32 array = 0; array < table.arrays; ++array) {
          for (U32 row = 0; row < table.rows; ++row) {
            auto found = shadow.find((U64{array} << 32) | row);
            auto const& data = found == shadow.end() ? zeros : found->second;
            std::memcpy(buffer.data() + filled * table.entryBytes, data.data(), table.entryBytes);
            if (++filled == capacity) {
              benchmark::DoNotOptimize(std::vector<U8>(buffer.begin(), buffer.begin() + filled * table.entryBytes));
              ++buffers;
              filled = 0;
            }
          }
          if (filled != 0) {
            benchmark::DoNotOptimize(std::vector<U8>(buffer.begin(), buffer.begin() + filled * table.entryBytes));
            ++buffers;
            filled = 0;
          }
        }
      }
    }
  }
  state.counters["buffers"] = static_cast<double>(buffers) / state.iterations();
}
BENCHMARK(Download_Baseline)->Unit(benchmark::kMicrosecond);

std::size_t countFiles(std::string const& root) {
  std::size_t files = 0;
  for (auto const& entry : std::filesystem::recursive_directory_iterator(root)) {
    files += entry.is_regular_file() ? 1 : 0;
  }
  return files;
}

std::size_t filesOfOneBringUp = 0;

void BringUp_Tables(benchmark::State& state) {
  for (auto _ : state) {
    auto root = freshRoot();
    {
      HwAgent::Agent agent(benchOptions(root));
      state.PauseTiming();
      filesOfOneBringUp = countFiles(root);
    }
    std::filesystem::remove_all(root);
    state.ResumeTiming();
  }
  state.counters["files"] = static_cast<double>(filesOfOneBringUp);
}
BENCHMARK(BringUp_Tables)->Unit(benchmark::kMillisecond)->Iterations(5);

// Creating, sizing (one page, reserved) and mapping as many files, in as many
// directories as the bring-up makes stores.
void BringUp_Floor(benchmark::State& state) {
  std::size_t files = filesOfOneBringUp != 0 ? filesOfOneBringUp : 9 * kFaps * 6;
  long page = ::sysconf(_SC_PAGESIZE);
  for (auto _ : state) {
    auto root = freshRoot();
    for (std::size_t index = 0; index < files; ++index) {
      if (index % 6 == 0) std::filesystem::create_directories(root + "/" + std::to_string(index / 6));
      auto path = root + "/" + std::to_string(index / 6) + "/" + std::to_string(index);
      int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || ::posix_fallocate(fd, 0, page) != 0) std::abort();
      void* map = ::mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (map == MAP_FAILED) std::abort();
      static_cast<char*>(map)[0] = 1;
      ::munmap(map, static_cast<std::size_t>(page));
      ::close(fd);
    }
    state.PauseTiming();
    std::filesystem::remove_all(root);
    state.ResumeTiming();
  }
  state.counters["files"] = static_cast<double>(files);
}
BENCHMARK(BringUp_Floor)->Unit(benchmark::kMillisecond)->Iterations(5);

// Keeps the fastest CPU time per benchmark (µs per iteration) for the summary.
class FastestReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(std::vector<Run> const& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (auto const& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto name = run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
      double micros = run.GetAdjustedCPUTime() * 1e6 /
                      benchmark::GetTimeUnitMultiplier(run.time_unit);
      auto [place, added] = fastest_.emplace(name, micros);
      if (!added) place->second = std::min(place->second, micros);
    }
  }
  std::optional<double> fastest(std::string const& name) const {
    auto found = fastest_.find(name);
    if (found == fastest_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::string, double> fastest_;
};

void printDownloadSummary(FastestReporter const& reporter) {
  auto download = reporter.fastest("Download_Tables/0");
  auto baseline = reporter.fastest("Download_Baseline");
  if (!download || !baseline || *baseline <= 0) return;
  double ratio = *download / *baseline;
  fmt::print("\nDownload commands of all 13 tables for {} FAPs, {}-byte DMA buffers (CPU time):\n",
             kFaps, kBufferBytes);
  fmt::print("  download {:8.1f} us, baseline (the same rows copied into buffers) {:8.1f} us: "
             "{:.2f} x (goal <= 3: {})\n",
             *download, *baseline, ratio, ratio <= 3 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FastestReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printDownloadSummary(reporter);
  bool restart = RestartBench::printSummary();
  bool journal = JournalBench::printSummary();
  return restart && journal ? 0 : 1;
}
