// One writer thread and reader threads on one store, for ThreadSanitizer (which sees
// threads, not processes). HWTABLES_THREAD_WAVES (200), HWTABLES_THREAD_READERS (3).
// Exit status 0 when every read was right; 1 with the first wrong read otherwise.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;
using Traits = TestTraits<16>;
using Value = Traits::Value;

constexpr std::uint32_t kStableKeys = 64;
constexpr std::uint32_t kChurnBase = 1000;

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
  Brell::BrellReader<Traits> reader("threads", root);
  if (!reader.initialize("threads")) {
    result.fault = "reader could not attach: " + reader.lastError();
    return;
  }
  std::mt19937 random(seed);
  // One more pass after the writer finished, so every reader reads at least once.
  for (bool last = false; !last && result.fault.empty(); ++result.iterations) {
    last = done.load(std::memory_order_acquire);
    result.fault = readPass(reader, random, kStableKeys, kChurnBase, result.lookups);
  }
}

}  // namespace

int main() {
  std::uint32_t const waves = fromEnvironment("HWTABLES_THREAD_WAVES", 200);
  std::uint32_t const readers = std::max(1u, fromEnvironment("HWTABLES_THREAD_READERS", 3));
  int status = 0;
  try {
    TempDir root;
    Brell::BrellWriter<Traits> writer("threads", sized(2048), root.path());
    if (!writer.initialize("threads")) throw std::runtime_error("the writer could not attach");
    std::uint32_t generation = 1;
    for (std::uint32_t key = 0; key < kStableKeys; ++key) writer.write(Value::make(key, 1), true);

    std::atomic<bool> done{false};
    std::vector<ReaderResult> results(readers);
    std::vector<std::thread> threads;
    for (std::uint32_t index = 0; index < readers; ++index) {
      threads.emplace_back(
          [&, index] { readUntilDone(root.path(), done, 100 + index, results[index]); });
    }
    std::mt19937 random(7);
    std::uint64_t operations = 0;
    std::vector<Value> batch(kStableKeys);
    for (std::uint32_t wave = 0; wave < waves; ++wave) {
      operations += churnWave(writer, random, wave, generation, kStableKeys, kChurnBase);
      // Every stable key rewritten in one batch, after the churn moved them around.
      for (std::uint32_t key = 0; key < kStableKeys; ++key) {
        batch[key] = Value::make(key, ++generation);
      }
      writer.writeBatch(batch);
      operations += kStableKeys;
    }
    done.store(true, std::memory_order_release);
    for (auto& thread : threads) thread.join();

    std::uint64_t lookups = 0, iterations = 0;
    for (auto const& result : results) {
      lookups += result.lookups;
      iterations += result.iterations;
      if (!result.fault.empty() && status == 0) {
        fmt::print(stderr, "reader fault: {}\n", result.fault);
        status = 1;
      }
    }
    if (!writer.validate()) {
      fmt::print(stderr, "the writer's store does not validate after the run\n");
      status = 1;
    }
    fmt::print("writer operations:{} waves:{} {}; {} readers: lookups:{} iterations:{}; {}\n",
               operations, waves, churnFigures(writer), readers, lookups, iterations,
               status == 0 ? "every read right" : "WRONG READS");
  } catch (std::exception const& error) {
    fmt::print(stderr, "store_threads: {}\n", error.what());
    status = 1;
  }
  return status;
}
