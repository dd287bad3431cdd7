#include "platform/vorl/Scheduler.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace Vorl {
namespace {

struct State {
  std::mutex mutex;
  std::shared_ptr<Scheduler::CriticalTasks> tasks;
  std::atomic<double> rate{1e9};
};

State& state() {
  static State* instance = new State();  // never destroyed: hooks may run at exit
  return *instance;
}

}  // namespace

void Scheduler::runCriticalTasks() {
  std::shared_ptr<CriticalTasks> tasks;
  {
    std::lock_guard lock(state().mutex);
    tasks = state().tasks;
  }
  if (tasks && *tasks) (*tasks)();
}

void Scheduler::criticalTasksIs(CriticalTasks tasks) {
  auto shared = std::make_shared<CriticalTasks>(std::move(tasks));
  std::lock_guard lock(state().mutex);
  state().tasks = std::move(shared);
}

std::uint64_t Rdtsc::now() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

double Rdtsc::calibrationRate() {
  return state().rate.load(std::memory_order_relaxed);
}

void Rdtsc::calibrationRateIs(double ticksPerSecond) {
  state().rate.store(ticksPerSecond, std::memory_order_relaxed);
}

}  // namespace Vorl
