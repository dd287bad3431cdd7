// The figures hwtables-bench collects while it runs, for the summary after the runs.
//
// Every benchmark is named "<operation>/<subject>/V<value bytes>/N<entries>"
// (figureName); CollectingReporter keeps, for each name, the figures of its fastest
// repetition. Memory is not timed: MemoryLog keeps what each subject took once it was
// filled, and what the same subject takes empty.
//
// Thread-safety: none; the benchmark runs on one thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <benchmark/benchmark.h>

namespace Bench {

enum class Op {
  insert,
  update,
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

// Bytes a filled subject takes, and the same subject empty.
class MemoryLog {
 public:
  void recordFilled(std::string const& what, std::size_t valueBytes, std::size_t entries,
                    std::uint64_t bytes);
  void recordEmpty(std::string const& what, std::size_t valueBytes, std::uint64_t bytes);
  bool hasEmpty(std::string const& subjectName, std::size_t valueBytes) const;
  void markEmptyMeasured(std::string const& subjectName, std::size_t valueBytes);

  // What was measured, in the order first recorded.
  std::vector<std::string> const& whats() const { return whats_; }
  std::optional<std::uint64_t> filled(std::string const& what, std::size_t valueBytes,
                                      std::size_t entries) const;
  std::optional<std::uint64_t> empty(std::string const& what, std::size_t valueBytes) const;

 private:
  void remember(std::string const& what);

  std::vector<std::string> whats_;
  std::map<std::tuple<std::string, std::size_t, std::size_t>, std::uint64_t> filled_;
  std::map<std::pair<std::string, std::size_t>, std::uint64_t> empty_;
  std::map<std::pair<std::string, std::size_t>, bool> emptyMeasured_;
};

MemoryLog& memoryLog();

}  // namespace Bench
