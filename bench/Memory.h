// What the benchmark's subjects take in memory, measured once each is filled (never
// in a timed loop), and the log the summary reads it from.
//
// A subject that keeps files accounts for them itself (memory(): the store's tables
// and notification ring, LMDB's pages and data file); for one that lives on the heap
// (the map) buildMeasured measures the heap bytes its building and filling left
// allocated, with mallinfo2() (see heapTakenBy).
//
// Thread-safety: none; the benchmark runs on one thread (heapTakenBy starts one and
// waits for it). heapTakenBy needs the heap to have one arena: main calls
// mallopt(M_ARENA_MAX, 1) first.
#pragma once

#include <malloc.h>
#include <pthread.h>

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "bench/Subjects.h"

namespace Bench {

// Bytes a filled subject takes, and the same subject empty, by what was counted
// (MemoryReading::what), value size and entries.
class MemoryLog {
 public:
  void recordFilled(std::string const& what, std::size_t valueBytes, std::size_t entries,
                    std::uint64_t bytes);
  void recordEmpty(std::string const& what, std::size_t valueBytes, std::uint64_t bytes);
  // Whether the empty subject of this name and value size was measured already.
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
  std::set<std::pair<std::string, std::size_t>> emptyMeasured_;
};

MemoryLog& memoryLog();

// Bytes the heap has handed out, those from mmap (large blocks such as a big bucket
// array) included.
inline std::uint64_t heapBytes() {
  struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// The heap bytes `build` leaves allocated, measured around running it on a thread of
// its own. mallinfo2() counts the blocks a thread keeps cached for reuse after freeing
// them as in use; a thread that starts with no cache and gives its cache back when it
// ends makes the difference exact: blocks freed while building (a bucket array
// replaced on growth) are not counted, and blocks taken from the main thread's cache
// (which mallinfo2 counted as in use already) cannot hide an allocation. The heap has
// one arena (main sets M_ARENA_MAX), so the thread adds no arena of its own. "Before"
// is read on the new thread, after the thread library's own allocations for it.
template <class Build>
std::uint64_t heapTakenBy(Build& build) {
  struct Context {
    Build* build = nullptr;
    std::uint64_t before = 0;
    std::exception_ptr error;
  };
  Context context;
  context.build = &build;
  auto body = [](void* raw) -> void* {
    auto& context = *static_cast<Context*>(raw);
    context.before = heapBytes();
    try {
      (*context.build)();
    } catch (...) {
      context.error = std::current_exception();
    }
    return nullptr;
  };
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, body, &context) != 0) {
    throw std::runtime_error("pthread_create failed");
  }
  ::pthread_join(thread, nullptr);
  if (context.error) std::rethrow_exception(context.error);
  std::uint64_t after = heapBytes();
  return after > context.before ? after - context.before : 0;
}

// Builds a subject, runs `fill` on it, and measures what it then takes: its own
// account where it keeps files (built on this thread: the store's writer stays on the
// thread that made it), otherwise the heap it took.
template <class Subject, class Fill>
std::unique_ptr<Subject> buildMeasured(std::size_t entries, Fill&& fill,
                                       std::vector<MemoryReading>& readings) {
  std::unique_ptr<Subject> subject;
  auto build = [&] {
    // A subject with a configured size (the store's table) is made for `entries`.
    if constexpr (std::is_constructible_v<Subject, std::size_t>) {
      subject = std::make_unique<Subject>(entries);
    } else {
      subject = std::make_unique<Subject>();
    }
    fill(*subject);
  };
  if constexpr (requires { subject->memory(); }) {
    build();
    readings = subject->memory();
  } else {
    std::uint64_t heap = heapTakenBy(build);
    readings = {{fmt::format("{}: heap (mallinfo2)", Subject::kName), heap}};
  }
  return subject;
}

// What an empty subject of this kind takes, measured once per value size (a subject
// with a configured size made for the smallest table measured, 64 entries).
template <class Subject, std::size_t V>
void measureEmpty() {
  if (memoryLog().hasEmpty(Subject::kName, V)) return;
  std::vector<MemoryReading> readings;
  buildMeasured<Subject>(64, [](Subject&) {}, readings);
  for (auto const& reading : readings) memoryLog().recordEmpty(reading.what, V, reading.bytes);
  memoryLog().markEmptyMeasured(Subject::kName, V);
}

}  // namespace Bench
