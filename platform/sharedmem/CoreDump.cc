#include "platform/sharedmem/CoreDump.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

namespace SharedMem {
namespace {

constexpr char const* kFilterPath = "/proc/self/coredump_filter";

// Set once the filter is known to select file-backed shared mappings.
std::atomic<bool> selected{false};

}  // namespace

std::optional<std::uint32_t> coreDumpFilter() {
  int fd = ::open(kFilterPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[32] = {};
  auto bytes = ::read(fd, text, sizeof(text) - 1);
  ::close(fd);
  if (bytes <= 0) return std::nullopt;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 16);
  if (end == text) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

bool includeSharedMappingsInCoreDumps() {
  if (selected.load(std::memory_order_acquire)) return true;
  auto filter = coreDumpFilter();
  if (!filter) return false;
  if ((*filter & kDumpFileBackedShared) == 0) {
    int fd = ::open(kFilterPath, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    auto text = fmt::format("{:#x}\n", *filter | kDumpFileBackedShared);
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written) return false;
  }
  selected.store(true, std::memory_order_release);
  return true;
}

}  // namespace SharedMem
