// Timing single lookups: a clock cheap enough to read around one lookup, and the
// percentiles of the times taken.
//
// On x86 the clock is the time-stamp counter (rdtsc), fenced with lfence on both sides
// so the lookup neither starts before the first reading nor is still running at the
// second; the counter's rate is measured against steady_clock once (calibrate(),
// before any reader process is forked, so children inherit it). Elsewhere it is
// clock_gettime(CLOCK_MONOTONIC). Either way a timed lookup's figure includes the
// clock's own cost, which timerOverheadNs() measures (two readings with nothing
// between).
//
// Thread-safety: calibrate() once before use; the rest is read-only.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define HWTABLES_BENCH_TSC 1
#endif

namespace Bench {

class TickClock {
 public:
  static std::uint64_t now() {
#ifdef HWTABLES_BENCH_TSC
    _mm_lfence();
    std::uint64_t ticks = __rdtsc();
    _mm_lfence();
    return ticks;
#else
    timespec time{};
    ::clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<std::uint64_t>(time.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(time.tv_nsec);
#endif
  }

  // Measures ticks per ns over about 20 ms.
  static void calibrate() {
#ifdef HWTABLES_BENCH_TSC
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::uint64_t startTicks = now();
    while (Clock::now() - start < std::chrono::milliseconds(20)) {
    }
    std::uint64_t ticks = now() - startTicks;
    auto ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    ticksPerNs() = static_cast<double>(ticks) / ns;
#endif
  }

  static double toNs(std::uint64_t ticks) { return static_cast<double>(ticks) / ticksPerNs(); }

  static char const* name() {
#ifdef HWTABLES_BENCH_TSC
    return "rdtsc between lfences";
#else
    return "clock_gettime(CLOCK_MONOTONIC)";
#endif
  }

  // The median time of two readings with nothing between them: what every timed
  // lookup's figure includes besides the lookup.
  static double timerOverheadNs() {
    std::vector<std::uint32_t> samples(10001);
    for (auto& sample : samples) {
      std::uint64_t start = now();
      sample = static_cast<std::uint32_t>(now() - start);
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return toNs(samples[samples.size() / 2]);
  }

 private:
  static double& ticksPerNs() {
    static double rate = 1.0;  // CLOCK_MONOTONIC counts ns
    return rate;
  }
};

// The `fraction` percentile (0.5 median, 0.99) of tick counts, in ns; 0 when empty.
// Reorders `samples`.
inline double percentileNs(std::vector<std::uint32_t>& samples, double fraction) {
  if (samples.empty()) return 0;
  auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                   samples.end());
  return TickClock::toNs(samples[index]);
}

}  // namespace Bench
