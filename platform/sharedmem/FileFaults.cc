#include "platform/sharedmem/FileFaults.h"

#include <atomic>

namespace SharedMem::FileFaults {
namespace {

struct Armed {
  std::atomic<bool> armed{false};
  std::atomic<unsigned> skip{0};
  std::atomic<unsigned> count{0};
  std::atomic<int> error{0};
};

Armed armedFaults[3];

Armed& of(Operation operation) {
  return armedFaults[static_cast<int>(operation)];
}

}  // namespace

void inject(Operation operation, int error, unsigned after, unsigned count) {
  Armed& fault = of(operation);
  fault.armed.store(false);
  fault.skip.store(after);
  fault.count.store(count);
  fault.error.store(error);
  fault.armed.store(true);
}

void clear() {
  for (auto& fault : armedFaults) fault.armed.store(false);
}

int take(Operation operation) {
  Armed& fault = of(operation);
  if (!fault.armed.load(std::memory_order_relaxed)) [[likely]] {
    return 0;
  }
  unsigned skip = fault.skip.load();
  while (skip > 0) {
    if (fault.skip.compare_exchange_weak(skip, skip - 1)) return 0;
  }
  unsigned count = fault.count.load();
  while (count > 0) {
    if (fault.count.compare_exchange_weak(count, count - 1)) return fault.error.load();
  }
  fault.armed.store(false);
  return 0;
}

}  // namespace SharedMem::FileFaults
