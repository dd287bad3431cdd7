// The Markdown summary hwtables-bench prints after its runs: the figures side by side
// with their ratios, reader lookups under updates with their latency, the speed
// targets, memory, and the lookup cost sweep behind the plot.
#pragma once

#include <string>
#include <vector>

#include "bench/Figures.h"
#include "bench/Memory.h"
#include "bench/Plot.h"

namespace Bench {

struct SummaryScope {
  std::vector<std::size_t> values;
  std::vector<std::size_t> entryCounts;  // ascending
  // The sweep, when one ran.
  bool sweep = false;
  std::size_t sweepValueBytes = 12;
  std::vector<std::size_t> sweepEntries;  // ascending
  // What every timed single lookup includes besides the lookup.
  double timerOverheadNs = 0;
  std::string timerName;
};

std::string summary(CollectingReporter const& reporter, MemoryLog const& memory,
                    SummaryScope const& scope);

// The sweep's figures as chart series: ns per lookup against entries.
std::vector<Series> sweepSeries(CollectingReporter const& reporter, SummaryScope const& scope);

}  // namespace Bench
