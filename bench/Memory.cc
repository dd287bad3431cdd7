// The log of memory figures (see Memory.h).
#include "bench/Memory.h"

#include <algorithm>

namespace Bench {

void MemoryLog::remember(std::string const& what) {
  if (std::find(whats_.begin(), whats_.end(), what) == whats_.end()) whats_.push_back(what);
}

void MemoryLog::recordFilled(std::string const& what, std::size_t valueBytes,
                             std::size_t entries, std::uint64_t bytes) {
  remember(what);
  filled_[{what, valueBytes, entries}] = bytes;
}

void MemoryLog::recordEmpty(std::string const& what, std::size_t valueBytes,
                            std::uint64_t bytes) {
  remember(what);
  empty_[{what, valueBytes}] = bytes;
}

bool MemoryLog::hasEmpty(std::string const& subjectName, std::size_t valueBytes) const {
  return emptyMeasured_.count({subjectName, valueBytes}) != 0;
}

void MemoryLog::markEmptyMeasured(std::string const& subjectName, std::size_t valueBytes) {
  emptyMeasured_.insert({subjectName, valueBytes});
}

std::optional<std::uint64_t> MemoryLog::filled(std::string const& what, std::size_t valueBytes,
                                               std::size_t entries) const {
  auto found = filled_.find({what, valueBytes, entries});
  if (found == filled_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::uint64_t> MemoryLog::empty(std::string const& what,
                                              std::size_t valueBytes) const {
  auto found = empty_.find({what, valueBytes});
  if (found == empty_.end()) return std::nullopt;
  return found->second;
}

MemoryLog& memoryLog() {
  static MemoryLog log;
  return log;
}

}  // namespace Bench
