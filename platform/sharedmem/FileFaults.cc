#include "platform/sharedmem/FileFaults.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <iterator>

namespace SharedMem::FileFaults {
namespace {

struct Armed {
  std::atomic<bool> armed{false};
  std::atomic<unsigned> skip{0};
  std::atomic<unsigned> count{0};
  std::atomic<unsigned> seen{0};
  std::atomic<int> error{0};
};

Armed armedFaults[std::size(kOperations)];

Armed& of(Operation operation) {
  return armedFaults[static_cast<int>(operation)];
}

}  // namespace

void inject(Operation operation, int error, unsigned after, unsigned count) {
  Armed& fault = of(operation);
  fault.armed.store(false);
  fault.skip.store(after);
  fault.count.store(count);
  fault.seen.store(0);
  fault.error.store(error);
  fault.armed.store(true);
}

void clear() {
  for (auto& fault : armedFaults) fault.armed.store(false);
}

unsigned seen(Operation operation) {
  return of(operation).seen.load();
}

int take(Operation operation) {
  Armed& fault = of(operation);
  if (!fault.armed.load(std::memory_order_relaxed)) [[likely]] {
    return 0;
  }
  fault.seen.fetch_add(1);
  unsigned skip = fault.skip.load();
  while (skip > 0) {
    if (fault.skip.compare_exchange_weak(skip, skip - 1)) return 0;
  }
  unsigned count = fault.count.load();
  while (count > 0) {
    if (fault.count.compare_exchange_weak(count, count - 1)) return fault.error.load();
  }
  fault.armed.store(false);
  fault.seen.fetch_sub(1);  // this call was not one the fault counted
  return 0;
}

int open(char const* path, int flags, mode_t mode) {
  if (int error = take(Operation::open)) {
    errno = error;
    return -1;
  }
  return ::open(path, flags, mode);
}

int reserve(int fd, off_t offset, off_t length) {
  if (int error = take(Operation::reserve)) return error;
  return ::posix_fallocate(fd, offset, length);
}

void* map(std::size_t bytes, int protection, int fd, off_t offset) {
  if (int error = take(Operation::map)) {
    errno = error;
    return MAP_FAILED;
  }
  return ::mmap(nullptr, bytes, protection, MAP_SHARED, fd, offset);
}

void* remap(void* address, std::size_t oldBytes, std::size_t newBytes) {
  if (int error = take(Operation::map)) {
    errno = error;
    return MAP_FAILED;
  }
  return ::mremap(address, oldBytes, newBytes, MREMAP_MAYMOVE);
}

}  // namespace SharedMem::FileFaults
