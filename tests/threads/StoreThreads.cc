// One writer thread and several reader threads on the same store files, in one
// process, for ThreadSanitizer (which sees threads, not processes: readers in other
// processes run exactly this code on the same mappings).
//
// The writer churns in waves: inserts past the slot table's size (growth, bucket
// splits), rewrites a set of stable keys all the time (in place and through the
// two-phase direct write), then removes the churn again (compaction moves, shrinks,
// merges). Each reader thread, with its own BrellReader, looks up every stable key
// (always present, never torn), some churn keys (whole when found) and iterates the
// whole table (each stable key exactly once, every value whole) until the writer is
// done. Bounded by the number of waves, not by time: HWTABLES_THREAD_WAVES (default
// 200) and HWTABLES_THREAD_READERS (default 3).
//
// Exit status 0 when every read was right; 1 with the first wrong read otherwise.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "platform/tyvo/Hash.h"
#include "store/BrellReader.h"
#include "store/BrellWriter.h"
#include "store/RawValue.h"

namespace {

constexpr std::uint32_t kStableKeys = 64;
constexpr std::uint32_t kChurnBase = 1000;

// A key, a generation and a checksum of both: a torn copy does not add up.
struct Value {
  std::uint32_t key = 0;
  std::uint32_t generation = 0;
  std::uint32_t spare = 0;
  std::uint32_t checksum = 0;

  static std::uint32_t sum(std::uint32_t key, std::uint32_t generation, std::uint32_t spare) {
    Tyvo::Hash hash(0x5EEDu);
    hash.add(key);
    hash.add(generation);
    hash.add(spare);
    return hash.result();
  }
  static Value make(std::uint32_t key, std::uint32_t generation) {
    Value value{key, generation, generation * 2654435761u, 0};
    value.checksum = sum(value.key, value.generation, value.spare);
    return value;
  }
  bool whole() const { return checksum == sum(key, generation, spare); }
};

struct Traits : Brell::LeadingKeyTraits<Value> {
  static std::string_view typeName() { return "StoreThreads::Value"; }
};

using Writer = Brell::BrellWriter<Traits>;
using Reader = Brell::BrellReader<Traits>;

std::uint32_t fromEnvironment(char const* name, std::uint32_t fallback) {
  char const* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10))
                                          : fallback;
}

struct ReaderResult {
  std::string fault;
  std::uint64_t lookups = 0;
  std::uint64_t iterations = 0;
};

void readUntilDone(std::string const& root, std::atomic<bool> const& done, unsigned seed,
                   ReaderResult& result) {
  Reader reader("threads", root);
  if (!reader.initialize("threads")) {
    result.fault = "reader could not attach: " + reader.lastError();
    return;
  }
  std::mt19937 random(seed);
  // One more pass after the writer finished, so every reader reads at least once.
  for (bool last = false; !last;) {
    last = done.load(std::memory_order_acquire);
    for (std::uint32_t key = 0; key < kStableKeys; ++key) {
      bool found = false;
      Value value;
      reader.lookup(key, found, &value);
      ++result.lookups;
      if (!found || value.key != key || !value.whole()) {
        result.fault = fmt::format("stable key {} found:{} key:{} whole:{}", key, found,
                                   value.key, value.whole());
        return;
      }
      std::uint32_t churn = kChurnBase + random() % 4000;
      reader.lookup(churn, found, &value);
      ++result.lookups;
      if (found && (value.key != churn || !value.whole())) {
        result.fault = fmt::format("churn key {} read as key:{} whole:{}", churn, value.key,
                                   value.whole());
        return;
      }
    }
    std::vector<bool> seen(kStableKeys, false);
    Value value;
    Brell::IterHint hint;
    for (bool more = reader.first(value, hint); more; more = reader.next(value.key, value, hint)) {
      if (!value.whole()) {
        result.fault = fmt::format("iteration read a torn value of key {}", value.key);
        return;
      }
      if (value.key < kStableKeys) {
        if (seen[value.key]) {
          result.fault = fmt::format("iteration met key {} twice", value.key);
          return;
        }
        seen[value.key] = true;
      }
    }
    ++result.iterations;
    for (std::uint32_t key = 0; key < kStableKeys; ++key) {
      if (!seen[key]) {
        result.fault = fmt::format("iteration missed stable key {}", key);
        return;
      }
    }
  }
}

}  // namespace

int main() {
  std::uint32_t const waves = fromEnvironment("HWTABLES_THREAD_WAVES", 200);
  std::uint32_t const readers = std::max(1u, fromEnvironment("HWTABLES_THREAD_READERS", 3));
  std::string pattern = "/dev/shm/hwtables-threads-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    pattern = "/tmp/hwtables-threads-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "cannot make a directory in /dev/shm or /tmp\n");
      return 1;
    }
  }
  std::string const root = pattern;
  int status = 0;
  try {
    Brell::MapDescriptor descriptor;
    descriptor.maxSize = 2048;
    Writer writer("threads", descriptor, root);
    if (!writer.initialize("threads")) throw std::runtime_error("the writer could not attach");
    std::uint32_t generation = 1;
    for (std::uint32_t key = 0; key < kStableKeys; ++key) writer.write(Value::make(key, 1), true);

    std::atomic<bool> done{false};
    std::vector<ReaderResult> results(readers);
    std::vector<std::thread> threads;
    for (std::uint32_t index = 0; index < readers; ++index) {
      threads.emplace_back([&, index] { readUntilDone(root, done, 100 + index, results[index]); });
    }
    std::mt19937 random(7);
    std::uint64_t operations = 0;
    for (std::uint32_t wave = 0; wave < waves; ++wave) {
      std::uint32_t size = 400 + random() % 3600;
      for (std::uint32_t key = kChurnBase; key < kChurnBase + size; ++key) {
        writer.write(Value::make(key, wave), true);
        if (key % 8 == 0) writer.write(Value::make(key % kStableKeys, ++generation), true);
        ++operations;
      }
      for (std::uint32_t key = kChurnBase; key < kChurnBase + size; ++key) {
        writer.remove(key, nullptr);
        if (key % 8 == 0) {
          auto* staged = writer.directWrite(Value::make(key % kStableKeys, ++generation));
          *staged = Value::make(key % kStableKeys, ++generation);
          writer.directCommit();
        }
        ++operations;
      }
    }
    done.store(true, std::memory_order_release);
    for (auto& thread : threads) thread.join();

    std::uint64_t lookups = 0, iterations = 0;
    for (auto const& result : results) {
      lookups += result.lookups;
      iterations += result.iterations;
      if (!result.fault.empty() && status == 0) {
        std::fprintf(stderr, "reader fault: %s\n", result.fault.c_str());
        status = 1;
      }
    }
    if (!writer.validate()) {
      std::fprintf(stderr, "the writer's store does not validate after the run\n");
      status = 1;
    }
    std::printf(
        "writer operations:%llu waves:%u growths:%llu shrinks:%llu moves:%llu bucket splits:%llu "
        "merges:%llu; %u readers: lookups:%llu iterations:%llu; %s\n",
        static_cast<unsigned long long>(operations), waves,
        static_cast<unsigned long long>(writer.counters().growths),
        static_cast<unsigned long long>(writer.counters().shrinks),
        static_cast<unsigned long long>(writer.counters().moves),
        static_cast<unsigned long long>(writer.counters().bucketGrowths),
        static_cast<unsigned long long>(writer.counters().bucketShrinks), readers,
        static_cast<unsigned long long>(lookups), static_cast<unsigned long long>(iterations),
        status == 0 ? "every read right" : "WRONG READS");
  } catch (std::exception const& error) {
    std::fprintf(stderr, "store_threads: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return status;
}
