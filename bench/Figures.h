// The figures hwtables-bench collects while it runs, for the summary after the runs.
//
// Every benchmark is named "<operation>/<subject>/V<value bytes>/N<entries>"
// (figureName); CollectingReporter keeps, for each name, the figures of its fastest
// repetition. Memory is not timed; Memory.h keeps it.
//
// Thread-safety: none; the benchmark runs on one thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace Bench {

enum class Op {
  insert,
  update,
  batchUpdate,  // updates of present keys, 64 to a batch (store only)
  remove,
  lookup,
  readerLookup,
  readerBatch,
  shadowLookup,
  latency,
  underUpdates,
};

char const* opName(Op op);
std::string figureName(Op op, std::string const& subject, std::size_t valueBytes,
                       std::size_t entries);

struct Figure {
  double nsPerOp = 0;
  // Under updates only: the reader's lookups and the writer's updates per second, and
  // the reader's single-lookup latency (median, 99th percentile).
  double readerLookupsPerSecond = 0;
  double writerUpdatesPerSecond = 0;
  double readerP50Ns = 0;
  double readerP99Ns = 0;
};

// Counter names the under-updates benchmark reports its figures under.
inline constexpr char const* kReaderLookupsPerSecond = "reader_lookups_per_s";
inline constexpr char const* kWriterUpdatesPerSecond = "writer_updates_per_s";
inline constexpr char const* kReaderP50Ns = "reader_p50_ns";
inline constexpr char const* kReaderP99Ns = "reader_p99_ns";
// Operations per benchmark iteration (an insert iteration inserts every key).
inline constexpr char const* kOps = "ops";

// Keeps every run's figure while printing as usual.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(std::vector<Run> const& runs) override;

  std::optional<Figure> figure(Op op, std::string const& subject, std::size_t valueBytes,
                               std::size_t entries) const;
  // ns per operation, if that benchmark ran.
  std::optional<double> ns(Op op, std::string const& subject, std::size_t valueBytes,
                           std::size_t entries) const;

 private:
  std::map<std::string, Figure> figures_;
};

}  // namespace Bench
