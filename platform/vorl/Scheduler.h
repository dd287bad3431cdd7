// The process's critical-priority task hook and a time-stamp-counter stand-in.
//
// Long passes over shared memory (bucket split and merge, slot compaction) call
// Scheduler::runCriticalTasks() every 0.01 s worth of Rdtsc ticks when their
// critical-task check is on, so that urgent work of the process is not starved.
// The agent installs its own hook; tests install one that counts calls.
//
// Rdtsc ticks are nanoseconds of the steady clock here, with a calibration rate of
// 1e9 ticks per second; tests may lower the rate to make every tick "slow".
//
// Thread-safety: all functions may be called from any thread; the hook itself runs
// on the calling thread.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <functional>

namespace Vorl {

class HWTABLES_API Scheduler {
 public:
  using CriticalTasks = std::function<void()>;

  // Runs the installed hook, if any.
  static void runCriticalTasks();
  // Installs the hook; an empty function removes it.
  static void criticalTasksIs(CriticalTasks tasks);
};

class HWTABLES_API Rdtsc {
 public:
  static std::uint64_t now();
  // Ticks per second.
  static double calibrationRate();
  static void calibrationRateIs(double ticksPerSecond);
};

}  // namespace Vorl
