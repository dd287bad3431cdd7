// hwtables-bench's own options, taken out of the command line before Google
// Benchmark's: which value sizes and entry counts to run, where the summary and the
// lookup-cost chart go, and the repetitions (Google Benchmark's option, also read here
// because the benchmarks are registered with it).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Bench {

struct Options {
  std::vector<std::size_t> values{8, 12, 16, 20};
  std::vector<std::size_t> entryCounts{64, 10000, 1000000};
  std::string markdown;
  std::string svg;
  std::size_t plotValueBytes = 12;
  std::vector<std::size_t> plotEntries{64, 256, 1024, 4096, 16384, 65536, 262144, 1048576};
  bool minTimeGiven = false;
  std::optional<int> repetitions;    // --benchmark_repetitions, when given
  std::vector<char*> benchmarkArgs;  // the program name and Google Benchmark's options
};

// Takes the program's own options out of argv; throws std::invalid_argument with the
// reason for a bad one.
Options parseOptions(int argc, char** argv);

// Writes `text` to `path`; false, having said why on stderr, when it cannot.
bool writeFile(std::string const& path, std::string const& text);

}  // namespace Bench
