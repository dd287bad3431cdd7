// Reader figures come from another process, as a reader of the store runs: a forked
// child (Child) that attaches, signals it is ready, runs lookup loops over the data
// set and reports through a pipe (ChildReport). Its times are its own CPU time.
#pragma once

#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/Latency.h"
#include "bench/Workload.h"

namespace Bench {

// CPU time of this process in nanoseconds. The figures are CPU time, not wall time:
// the machine's cores may be shared, and CPU time does not count the time another
// program had the core.
inline std::uint64_t cpuNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// What a reader child reports through its pipe.
struct ChildReport {
  std::uint64_t lookups = 0;
  std::uint64_t found = 0;
  std::uint64_t wrongKey = 0;
  std::uint64_t nanoseconds = 0;
  // Under updates: lookups of the latency phase (counted apart from `lookups`, which
  // gives the rate), and their latency.
  std::uint64_t timedPhaseLookups = 0;
  double p50Ns = 0;
  double p99Ns = 0;
  char error[160] = {};
};

// Runs `body` in a forked child. The child writes one byte to `readyFd` when it is
// ready and its ChildReport to the result pipe, then exits without returning here.
struct Child {
  pid_t pid = -1;
  int readyFd = -1;
  int resultFd = -1;

  template <class Body>
  static Child start(Body&& body) {
    int ready[2];
    int result[2];
    if (::pipe(ready) != 0 || ::pipe(result) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      ::close(ready[0]);
      ::close(result[0]);
      ChildReport report;
      try {
        body(ready[1], report);
      } catch (std::exception const& error) {
        std::snprintf(report.error, sizeof report.error, "%s", error.what());
      }
      (void)!::write(result[1], &report, sizeof report);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(result[1]);
    return Child{pid, ready[0], result[0]};
  }

  bool waitReady() {
    char byte = 0;
    return ::read(readyFd, &byte, 1) == 1;
  }
  bool finished() {
    pollfd fd{resultFd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
  }
  ChildReport finish() {
    ChildReport report;
    std::size_t got = 0;
    while (got < sizeof report) {
      ssize_t done = ::read(resultFd, reinterpret_cast<char*>(&report) + got, sizeof report - got);
      if (done <= 0) break;
      got += static_cast<std::size_t>(done);
    }
    if (got != sizeof report) std::snprintf(report.error, sizeof report.error, "child died");
    ::close(readyFd);
    ::close(resultFd);
    ::waitpid(pid, nullptr, 0);
    return report;
  }
};

inline void signalReady(int readyFd) {
  char byte = 1;
  (void)!::write(readyFd, &byte, 1);
}

// One pass over every key, so that the timed part finds the mappings in place.
template <class Reader, std::size_t V>
void warmUp(Reader& reader, Dataset const& data) {
  Value<V> out;
  for (auto key : data.order) reader.lookup(key, out);
}

// `count` lookups in the shuffled order. Dependent: each key is chosen through the
// value found before (its key xor the key asked for, always 0), so one lookup cannot
// start before the previous one ended: latency rather than throughput.
template <class Reader, std::size_t V, bool dependent = false>
void lookupLoop(Reader& reader, Dataset const& data, std::uint64_t count, ChildReport& report,
                std::size_t& next) {
  Value<V> out;
  out.key = 0;
  // Counted in locals and added to the report at the end, as the map's loop counts:
  // a count kept in the report would be a store and a load of memory per lookup.
  // The position and the order's length are locals for the same reason: through the
  // reference, the position was stored and loaded again by every lookup, and the
  // next key waited for that load; the map's loop keeps both in registers.
  std::uint64_t found = 0;
  std::uint64_t wrongKey = 0;
  std::size_t at = next;
  std::size_t const keys = data.order.size();
  for (std::uint64_t done = 0; done < count; ++done) {
    std::uint32_t key = data.order[at];
    if (reader.lookup(key, out)) {
      ++found;
      wrongKey += out.key != key;
    }
    benchmark::DoNotOptimize(out);
    if constexpr (dependent) at += (out.key ^ key) & 1;
    if (++at >= keys) at = 0;
  }
  next = at;
  report.found += found;
  report.wrongKey += wrongKey;
  report.lookups += count;
}

// How many keys one batched reader lookup takes.
constexpr std::size_t kBatchKeys = 64;

// `count` lookups in the shuffled order as in lookupLoop, in batches of kBatchKeys
// (a batch ends early where the order wraps around).
template <class Reader, std::size_t V>
void batchLookupLoop(Reader& reader, Dataset const& data, std::uint64_t count, ChildReport& report,
                     std::size_t& next) {
  Value<V> out[kBatchKeys];
  bool found[kBatchKeys];
  for (std::uint64_t done = 0; done < count;) {
    std::size_t batch =
        std::min<std::uint64_t>({kBatchKeys, count - done, data.order.size() - next});
    std::span<std::uint32_t const> keys(data.order.data() + next, batch);
    report.found += reader.lookupMany(keys, out, found);
    for (std::size_t at = 0; at < batch; ++at)
      report.wrongKey += found[at] && out[at].key != keys[at];
    benchmark::DoNotOptimize(out);
    done += batch;
    next += batch;
    if (next >= data.order.size()) next = 0;
  }
  report.lookups += count;
}

// One lookup in kTimedEvery is timed in the latency phase: the clock's fences stop the
// processor from overlapping the timed lookup with its neighbours, so timing every
// one would measure a different, slower reader.
constexpr std::uint64_t kTimedEvery = 16;

// `count` lookups in the shuffled order as in lookupLoop; the time of every
// kTimedEvery-th one goes to `ticks`.
template <class Reader, std::size_t V>
void timedLookupLoop(Reader& reader, Dataset const& data, std::uint64_t count, ChildReport& report,
                     std::size_t& next, std::vector<std::uint32_t>& ticks) {
  Value<V> out;
  out.key = 0;
  for (std::uint64_t done = 0; done < count; ++done) {
    std::uint32_t key = data.order[next];
    bool found = false;
    if (done % kTimedEvery == 0) {
      std::uint64_t start = TickClock::now();
      found = reader.lookup(key, out);
      std::uint64_t took = TickClock::now() - start;
      ticks.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(took, UINT32_MAX)));
    } else {
      found = reader.lookup(key, out);
    }
    if (found) {
      ++report.found;
      report.wrongKey += out.key != key;
    }
    benchmark::DoNotOptimize(out);
    if (++next >= data.order.size()) next = 0;
  }
  report.timedPhaseLookups += count;
}

}  // namespace Bench
