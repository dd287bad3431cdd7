// hwtables-bench: the shared-memory table store against std::unordered_map and LMDB.
//
// All three keep the same values (a 4-byte key and V - 4 payload bytes, V = 8, 12, 16,
// 20: the value sizes of the memory tables) under the same random 4-byte keys, at
// 64, 10 000 and 1 000 000 entries. Operations, each in ns per operation:
//
//   insert         N new keys into an empty container (emptying it is not timed)
//   update         overwrite the value of a present key (unordered_map: find, then
//                  assign in place)
//   update_batch64 the same, 64 updates to a batch (store only; ns per update)
//   remove         remove all N keys (putting them back is not timed)
//   lookup         the writer's own lookup of a present key, value copied out
//   reader lookup  a lookup from another process (a forked child that attaches as a
//                  reader; for unordered_map, which cannot be shared, there is none
//                  and its in-process find is the reference)
//   reader lookup, batches of 64
//                  the same lookups in the same order, handed to the store reader 64
//                  keys at a time (BrellReader::lookupMany), time per key
//   shadow lookup  the same single-key lookups through a BrellShadow in another process
//                  (synchronised with the store before timing)
//   latency        lookups that cannot overlap: each key is chosen through the value
//                  found before (unordered_map in-process, the others in the reader)
//   under updates  reader lookups per second in the child while the parent updates
//                  present keys as fast as it can, and those updates per second; then,
//                  still under updates, the latency of single reader lookups (every
//                  16th one timed; median and 99th percentile)
//
// Memory is measured once per filled subject, outside the timed loops (Memory.h).
//
// Times are CPU time (the child's for reader figures), the fastest of 3 repetitions:
// the cores may be shared with other programs.
//
// With --svg=FILE the program also sweeps single-key lookup cost against entries at
// one value size (unordered_map find, store reader, shadow, LMDB reader) and draws it.
//
// After the runs the program prints a Markdown summary (Summary.h): the figures with
// the ratios store/unordered_map and LMDB/store, reader lookups under updates, the
// speed targets, memory, and the sweep.
//
// Own options (before Google Benchmark's): --value-bytes=8,12,16,20
// --entries=64,10000,1000000 --markdown=FILE (the summary also goes to FILE)
// --svg=FILE --plot-value-bytes=12
// --plot-entries=64,256,1024,4096,16384,65536,262144,1048576.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "bench/Figures.h"
#include "bench/Latency.h"
#include "bench/Memory.h"
#include "bench/Options.h"
#include "bench/Plot.h"
#include "bench/ReaderProcess.h"
#include "bench/Subjects.h"
#include "bench/Summary.h"
#include "bench/Workload.h"

namespace Bench {
namespace {

using Clock = std::chrono::steady_clock;

// --- benchmarks ----------------------------------------------------------------------

void opsPerIteration(benchmark::State& state, std::size_t ops) {
  state.counters[kOps] = benchmark::Counter(static_cast<double>(ops));
}

template <class Subject, std::size_t V>
void insertBench(benchmark::State& state, std::size_t entries) {
  auto& subject = filled<Subject, V>(entries);
  auto const& data = dataset(entries);
  std::vector<Value<V>> values;
  for (auto key : data.keys) values.push_back(valueOf<V>(key, 1));
  for (auto _ : state) {
    state.PauseTiming();
    subject.clear(data.keys);
    state.ResumeTiming();
    for (auto const& value : values) subject.insert(value);
  }
  if (subject.size() != entries) state.SkipWithError("wrong size after insert");
  opsPerIteration(state, entries);
}

template <class Subject, std::size_t V>
void removeBench(benchmark::State& state, std::size_t entries) {
  auto& subject = filled<Subject, V>(entries);
  auto const& data = dataset(entries);
  std::vector<Value<V>> values;
  for (auto key : data.keys) values.push_back(valueOf<V>(key, 1));
  std::size_t removed = 0;
  for (auto _ : state) {
    for (auto key : data.order) removed += subject.remove(key);
    state.PauseTiming();
    for (auto const& value : values) subject.insert(value);
    state.ResumeTiming();
  }
  if (removed != state.iterations() * entries) state.SkipWithError("a key was not removed");
  opsPerIteration(state, entries);
}

// Two generations of new values for every key, in lookup order, built before timing:
// the update rows measure the containers, not the building of values (a value built
// byte by byte just before it is copied also stalls the copy's wide loads, which would
// be charged to whichever container copies with wider loads).
template <std::size_t V>
std::array<std::vector<Value<V>>, 2> const& updateValues(std::size_t entries) {
  static std::map<std::size_t, std::array<std::vector<Value<V>>, 2>> cache;
  auto& values = cache[entries];
  if (values[0].empty()) {
    for (std::uint32_t generation = 0; generation < 2; ++generation) {
      for (auto key : dataset(entries).order) {
        values[generation].push_back(valueOf<V>(key, generation + 2));
      }
    }
  }
  return values;
}

template <class Subject, std::size_t V>
void updateBench(benchmark::State& state, std::size_t entries) {
  auto& subject = filled<Subject, V>(entries);
  auto const& updates = updateValues<V>(entries);
  std::size_t next = 0;
  std::size_t generation = 0;
  for (auto _ : state) {
    subject.update(updates[generation][next]);
    if (++next == entries) {
      next = 0;
      generation ^= 1;
    }
  }
  opsPerIteration(state, 1);
}

// Updates of present keys 64 at a time, each batch one call (one critical section,
// one publish); ns per update, so it sits beside the single update and the map's.
constexpr std::size_t kUpdateBatch = 64;

template <class Subject, std::size_t V>
void batchUpdateBench(benchmark::State& state, std::size_t entries) {
  auto& subject = filled<Subject, V>(entries);
  auto const& updates = updateValues<V>(entries);
  std::size_t next = 0;
  std::size_t generation = 0;
  for (auto _ : state) {
    std::size_t count = std::min(kUpdateBatch, entries - next);
    subject.updateBatch(std::span<Value<V> const>(updates[generation].data() + next, count));
    next += count;
    if (next == entries) {
      next = 0;
      generation ^= 1;
    }
  }
  opsPerIteration(state, std::min(kUpdateBatch, entries));
}

template <class Subject, std::size_t V, bool dependent = false>
void lookupBench(benchmark::State& state, std::size_t entries) {
  auto& subject = filled<Subject, V>(entries);
  auto const& data = dataset(entries);
  std::size_t next = 0;
  std::uint64_t found = 0;
  Value<V> out;
  out.key = 0;
  for (auto _ : state) {
    std::uint32_t key = data.order[next];
    found += subject.lookup(key, out);
    benchmark::DoNotOptimize(out);
    if constexpr (dependent) next += (out.key ^ key) & 1;
    if (++next >= entries) next = 0;
  }
  if (found != static_cast<std::uint64_t>(state.iterations())) {
    state.SkipWithError("a present key was not found");
  }
  opsPerIteration(state, 1);
}

template <class Subject, class Reader, std::size_t V, bool dependent = false, bool batched = false>
void readerLookupBench(benchmark::State& state, std::size_t entries) {
  auto& subject = filled<Subject, V>(entries);
  auto const& data = dataset(entries);
  std::string dir = subject.dir();
  auto count = static_cast<std::uint64_t>(state.max_iterations);
  auto child = Child::start([&](int, ChildReport& report) {
    Reader reader(dir);
    warmUp<Reader, V>(reader, data);
    std::uint64_t started = cpuNanoseconds();
    std::size_t next = 0;
    if constexpr (batched) {
      batchLookupLoop<Reader, V>(reader, data, count, report, next);
    } else {
      lookupLoop<Reader, V, dependent>(reader, data, count, report, next);
    }
    report.nanoseconds = cpuNanoseconds() - started;
  });
  ChildReport report = child.finish();
  double seconds = static_cast<double>(report.nanoseconds) * 1e-9 / static_cast<double>(count);
  for (auto _ : state) state.SetIterationTime(seconds);
  if (report.error[0] != 0) state.SkipWithError(report.error);
  if (report.found != count || report.wrongKey != 0) state.SkipWithError("reader missed a key");
  opsPerIteration(state, 1);
}

constexpr double kUnderUpdatesSeconds = 0.5;
constexpr double kLatencyPhaseSeconds = 0.25;

// The reader child of the under-updates benchmark: lookups for kUnderUpdatesSeconds
// (the rate), then timed lookups for kLatencyPhaseSeconds (the latency). The phases
// are apart so that timing does not slow down the lookups that give the rate.
template <class Reader, std::size_t V>
void readUnderUpdates(std::string const& dir, Dataset const& data, int readyFd,
                      ChildReport& report) {
  Reader reader(dir);
  warmUp<Reader, V>(reader, data);
  std::vector<std::uint32_t> ticks;
  ticks.reserve(std::size_t{1} << 21);
  signalReady(readyFd);
  std::uint64_t started = cpuNanoseconds();
  auto end = Clock::now() + std::chrono::duration<double>(kUnderUpdatesSeconds);
  std::size_t next = 0;
  while (Clock::now() < end) lookupLoop<Reader, V>(reader, data, 4096, report, next);
  report.nanoseconds = cpuNanoseconds() - started;
  end = Clock::now() + std::chrono::duration<double>(kLatencyPhaseSeconds);
  while (Clock::now() < end) timedLookupLoop<Reader, V>(reader, data, 4096, report, next, ticks);
  report.p50Ns = percentileNs(ticks, 0.5);
  report.p99Ns = percentileNs(ticks, 0.99);
}

template <class Subject, class Reader, std::size_t V>
void underUpdatesBench(benchmark::State& state, std::size_t entries) {
  auto& subject = filled<Subject, V>(entries);
  auto const& data = dataset(entries);
  std::string dir = subject.dir();
  for (auto _ : state) {
    auto child = Child::start([&](int readyFd, ChildReport& report) {
      readUnderUpdates<Reader, V>(dir, data, readyFd, report);
    });
    if (!child.waitReady()) {
      state.SkipWithError(child.finish().error);
      break;
    }
    std::uint64_t started = cpuNanoseconds();
    std::uint64_t updates = 0;
    auto const& values = updateValues<V>(entries);
    std::size_t next = 0;
    std::size_t generation = 0;
    while (true) {
      subject.update(values[generation][next]);
      ++updates;
      if (++next == entries) {
        next = 0;
        generation ^= 1;
      }
      if ((updates & 255) == 0 && child.finished()) break;
    }
    double writerSeconds = static_cast<double>(cpuNanoseconds() - started) * 1e-9;
    ChildReport report = child.finish();
    double readerSeconds = static_cast<double>(report.nanoseconds) * 1e-9;
    state.SetIterationTime(readerSeconds);
    if (report.error[0] != 0) state.SkipWithError(report.error);
    if (report.found != report.lookups + report.timedPhaseLookups || report.wrongKey != 0) {
      state.SkipWithError("reader missed a key under updates");
    }
    state.counters[kReaderLookupsPerSecond] =
        benchmark::Counter(static_cast<double>(report.lookups) / readerSeconds);
    state.counters[kWriterUpdatesPerSecond] =
        benchmark::Counter(static_cast<double>(updates) / writerSeconds);
    state.counters[kReaderP50Ns] = benchmark::Counter(report.p50Ns);
    state.counters[kReaderP99Ns] = benchmark::Counter(report.p99Ns);
  }
}

// --- registration --------------------------------------------------------------------

std::set<std::string>& registered() {
  static std::set<std::string> names;
  return names;
}

bool isRegistered(Op op, std::string const& subject, std::size_t valueBytes, std::size_t entries) {
  return registered().count(figureName(op, subject, valueBytes, entries)) != 0;
}

template <class Function>
benchmark::internal::Benchmark* add(Op op, std::string const& subject, std::size_t valueBytes,
                                    std::size_t entries, Function function) {
  std::string name = figureName(op, subject, valueBytes, entries);
  registered().insert(name);
  return benchmark::RegisterBenchmark(
      name.c_str(), [function, entries](benchmark::State& state) { function(state, entries); });
}

int repetitions = 3;

template <class Subject, std::size_t V>
void addWriterSide(std::size_t entries) {
  // A million LMDB commits take seconds; one repetition of those is enough.
  int heavy = entries >= 1000000 && std::string(Subject::kName) == "LMDB" ? 1 : repetitions;
  add(Op::insert, Subject::kName, V, entries, insertBench<Subject, V>)->Repetitions(heavy);
  add(Op::remove, Subject::kName, V, entries, removeBench<Subject, V>)->Repetitions(heavy);
  add(Op::update, Subject::kName, V, entries, updateBench<Subject, V>)->Repetitions(repetitions);
  add(Op::lookup, Subject::kName, V, entries, lookupBench<Subject, V>)->Repetitions(repetitions);
}

// Single-key lookups in another process (op: which reader does them).
template <class Subject, class Reader, std::size_t V>
void addReaderLookup(Op op, std::size_t entries) {
  add(op, Subject::kName, V, entries, readerLookupBench<Subject, Reader, V>)
      ->UseManualTime()
      ->Repetitions(repetitions);
}

template <class Subject, class Reader, std::size_t V>
void addReaderSide(std::size_t entries) {
  addReaderLookup<Subject, Reader, V>(Op::readerLookup, entries);
  add(Op::latency, Subject::kName, V, entries, readerLookupBench<Subject, Reader, V, true>)
      ->UseManualTime()
      ->Repetitions(repetitions);
  add(Op::underUpdates, Subject::kName, V, entries, underUpdatesBench<Subject, Reader, V>)
      ->UseManualTime()
      ->Iterations(1)
      ->Repetitions(repetitions);
}

template <std::size_t V>
void addAll(std::vector<std::size_t> const& entryCounts) {
  for (auto entries : entryCounts) {
    addWriterSide<MapSubject<V>, V>(entries);
    add(Op::latency, MapSubject<V>::kName, V, entries, lookupBench<MapSubject<V>, V, true>)
        ->Repetitions(repetitions);
    addWriterSide<StoreSubject<V>, V>(entries);
    add(Op::batchUpdate, StoreSubject<V>::kName, V, entries, batchUpdateBench<StoreSubject<V>, V>)
        ->Repetitions(repetitions);
    addReaderSide<StoreSubject<V>, StoreReaderSide<V>, V>(entries);
    add(Op::readerBatch, StoreSubject<V>::kName, V, entries,
        readerLookupBench<StoreSubject<V>, StoreReaderSide<V>, V, false, true>)
        ->UseManualTime()
        ->Repetitions(repetitions);
    addReaderLookup<StoreSubject<V>, ShadowReaderSide<V>, V>(Op::shadowLookup, entries);
    addWriterSide<LmdbSubject<V>, V>(entries);
    addReaderSide<LmdbSubject<V>, LmdbReaderSide<V>, V>(entries);
  }
}

// The lookup cost sweep: single-key lookups of every subject at each entry count,
// those the main runs already measure left out.
template <std::size_t V>
void addSweep(std::vector<std::size_t> const& entryCounts) {
  for (auto entries : entryCounts) {
    if (!isRegistered(Op::lookup, MapSubject<V>::kName, V, entries)) {
      add(Op::lookup, MapSubject<V>::kName, V, entries, lookupBench<MapSubject<V>, V>)
          ->Repetitions(repetitions);
    }
    if (!isRegistered(Op::readerLookup, StoreSubject<V>::kName, V, entries)) {
      addReaderLookup<StoreSubject<V>, StoreReaderSide<V>, V>(Op::readerLookup, entries);
    }
    if (!isRegistered(Op::shadowLookup, StoreSubject<V>::kName, V, entries)) {
      addReaderLookup<StoreSubject<V>, ShadowReaderSide<V>, V>(Op::shadowLookup, entries);
    }
    if (!isRegistered(Op::readerLookup, LmdbSubject<V>::kName, V, entries)) {
      addReaderLookup<LmdbSubject<V>, LmdbReaderSide<V>, V>(Op::readerLookup, entries);
    }
  }
}

// Calls `Register<V>::with(arguments...)` for a value size given at run time; false
// for a value size the benchmark has no values of.
template <template <std::size_t> class Register, class... Arguments>
bool forValueBytes(std::size_t valueBytes, Arguments const&... arguments) {
  switch (valueBytes) {
    case 8:
      Register<8>::with(arguments...);
      return true;
    case 12:
      Register<12>::with(arguments...);
      return true;
    case 16:
      Register<16>::with(arguments...);
      return true;
    case 20:
      Register<20>::with(arguments...);
      return true;
    default:
      return false;
  }
}

template <std::size_t V>
struct AddAll {
  static void with(std::vector<std::size_t> const& entryCounts) { addAll<V>(entryCounts); }
};

template <std::size_t V>
struct AddSweep {
  static void with(std::vector<std::size_t> const& entryCounts) { addSweep<V>(entryCounts); }
};

}  // namespace
}  // namespace Bench

int main(int argc, char** argv) {
  using namespace Bench;
  Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (std::invalid_argument const& error) {
    fmt::print(stderr, "hwtables-bench: {}\n", error.what());
    return 2;
  }
  // A file that cannot be written is an error now, not after the runs.
  for (auto const* path : {&options.markdown, &options.svg}) {
    if (!path->empty() && !std::ofstream(*path)) {
      fmt::print(stderr, "hwtables-bench: cannot write {}\n", *path);
      return 2;
    }
  }
  std::string minTime = "--benchmark_min_time=0.1";
  if (!options.minTimeGiven) options.benchmarkArgs.push_back(minTime.data());
  int restCount = static_cast<int>(options.benchmarkArgs.size());
  if (options.repetitions) repetitions = *options.repetitions;
  benchmark::Initialize(&restCount, options.benchmarkArgs.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, options.benchmarkArgs.data())) return 2;
  for (auto v : options.values) {
    if (!forValueBytes<AddAll>(v, options.entryCounts)) {
      fmt::print(stderr, "hwtables-bench: value size {} is not one of 8, 12, 16, 20\n", v);
      return 2;
    }
  }
  bool sweep = !options.svg.empty();
  if (sweep && !forValueBytes<AddSweep>(options.plotValueBytes, options.plotEntries)) {
    fmt::print(stderr, "hwtables-bench: --plot-value-bytes={} is not one of 8, 12, 16, 20\n",
               options.plotValueBytes);
    return 2;
  }
  // One heap arena, for heapTakenBy (the benchmark runs on one thread anyway).
  ::mallopt(M_ARENA_MAX, 1);
  // Before any reader is forked: the children inherit the clock's rate.
  TickClock::calibrate();
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  current = Current{};
  SummaryScope scope;
  scope.values = options.values;
  scope.entryCounts = options.entryCounts;
  scope.sweep = sweep;
  scope.sweepValueBytes = options.plotValueBytes;
  scope.sweepEntries = options.plotEntries;
  scope.timerOverheadNs = TickClock::timerOverheadNs();
  scope.timerName = TickClock::name();
  std::string text = summary(reporter, memoryLog(), scope);
  fmt::print("\n{}", text);
  int status = 0;
  if (!options.markdown.empty() && !writeFile(options.markdown, text)) status = 1;
  if (sweep) {
    std::string svg = lineChartSvg(
        {fmt::format("Lookup cost against entries (V = {})", options.plotValueBytes),
         "entries (log2 scale)", "ns per lookup (log scale)"},
        sweepSeries(reporter, scope));
    if (!writeFile(options.svg, svg)) status = 1;
  }
  benchmark::Shutdown();
  return status;
}
