// BrellReader::lookupMany: the answers of lookup() key by key, for any batch size,
// while a writer in another process changes the store, and on damaged files.
#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "store/BrellReader.h"
#include "store/BrellWriter.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;
using Clock = std::chrono::steady_clock;

template <std::size_t V>
void batchesMatchSingleLookups() {
  using Traits = TestTraits<V>;
  using Value = typename Traits::Value;
  TempDir root;
  Brell::BrellWriter<Traits> writer("many", sized(4000), root.path());
  ASSERT_TRUE(writer.initialize("test"));
  // Present: the even keys below 3000; absent: the odd ones and everything above.
  for (std::uint32_t key = 0; key < 3000; key += 2) writer.write(Value::make(key, key + 1), true);
  Brell::BrellReader<Traits> reader("many", root.path());
  ASSERT_TRUE(reader.initialize("test"));

  std::vector<std::uint32_t> keys;
  for (std::uint32_t key = 0; key < 3200; ++key) keys.push_back(key);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(V));
  constexpr std::size_t kAhead = Brell::BrellReader<Traits>::kLookupAhead;
  Value const untouched = Value::make(0xFFFFFFFFu, 0);
  // Sizes around the distances the prefetching looks ahead, and larger ones.
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, kAhead - 1, kAhead, kAhead + 1, 2 * kAhead - 1, 2 * kAhead,
        2 * kAhead + 1, 3 * kAhead + 5, std::size_t{1000}, keys.size()}) {
    std::span<std::uint32_t const> batch(keys.data(), size);
    std::vector<Value> values(size + 1, untouched);
    std::unique_ptr<bool[]> found(new bool[size + 1]);
    std::fill(found.get(), found.get() + size + 1, true);
    std::size_t hits = reader.lookupMany(batch, values.data(), found.get());
    std::size_t expectedHits = 0;
    for (std::size_t at = 0; at < size; ++at) {
      auto single = find(reader, batch[at]);
      ASSERT_EQ(found[at], single.has_value()) << "size " << size << " key " << batch[at];
      if (single) {
        ++expectedHits;
        EXPECT_EQ(values[at], *single) << "size " << size << " key " << batch[at];
      } else {
        EXPECT_EQ(values[at], untouched) << "an absent key's value was written";
      }
    }
    EXPECT_EQ(hits, expectedHits) << "size " << size;
    // Nothing beyond the batch is touched.
    EXPECT_TRUE(found[size]);
    EXPECT_EQ(values[size], untouched);
  }
}

TEST(StoreLookupMany, BatchesOfAnySizeGiveTheAnswersOfSingleLookups) {
  batchesMatchSingleLookups<8>();
  batchesMatchSingleLookups<12>();
  batchesMatchSingleLookups<16>();
  batchesMatchSingleLookups<20>();
}

TEST(StoreLookupMany, AnUnattachedReaderIsRefusedAsSingleLookupsAre) {
  using Traits = TestTraits<8>;
  TempDir root;
  Brell::BrellReader<Traits> reader("many", root.path());
  std::uint32_t const keys[] = {1, 2, 3};
  Traits::Value values[3];
  bool found[3];
  EXPECT_EQ(reader.lookupMany(std::span<std::uint32_t const>(keys, 0), values, found), 0u);
  EXPECT_THROW(reader.lookupMany(keys, values, found), Vorl::InvalidInitializeException);
}

// The reader's side under a writer in another process: the invariants single lookups
// keep (stable keys always found, every value whole and under its own key), for
// batches of every size up to a few groups, and each batch agrees with single
// lookups made right after it on the stable keys.
constexpr std::uint32_t kStableKeys = 100;
constexpr std::uint32_t kChurnBase = 1000;
using Traits16 = TestTraits<16>;
using Value16 = Traits16::Value;

int readBatchesUnderChanges(std::string const& root, double seconds, std::string& report) {
  Brell::BrellReader<Traits16> reader("many", root);
  if (!reader.initialize("test")) {
    report = "reader could not attach: " + reader.lastError();
    return 1;
  }
  std::mt19937 random(::getpid());
  constexpr std::size_t kMost = 5 * Brell::BrellReader<Traits16>::kLookupAhead + 3;
  std::vector<std::uint32_t> keys(kMost);
  Value16 values[kMost];
  bool found[kMost];
  std::uint64_t batches = 0;
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    std::size_t size = random() % (kMost + 1);
    for (std::size_t at = 0; at < size; ++at) {
      keys[at] = random() % 2 == 0 ? random() % kStableKeys : kChurnBase + random() % 4000;
    }
    std::span<std::uint32_t const> batch(keys.data(), size);
    std::size_t hits = reader.lookupMany(batch, values, found);
    std::size_t counted = 0;
    for (std::size_t at = 0; at < size; ++at) {
      std::uint32_t key = batch[at];
      counted += found[at] ? 1 : 0;
      if (key < kStableKeys && !found[at]) {
        report = fmt::format("stable key {} missed in a batch of {}", key, size);
        return 1;
      }
      if (found[at] && (values[at].key != key || !values[at].whole())) {
        report = fmt::format("key {} read as key:{} whole:{} in a batch of {}", key, values[at].key,
                             values[at].whole(), size);
        return 1;
      }
      if (key < kStableKeys && !find(reader, key)) {
        report = fmt::format("single lookup missed stable key {}", key);
        return 1;
      }
    }
    if (hits != counted) {
      report = fmt::format("{} hits reported, {} found", hits, counted);
      return 1;
    }
    ++batches;
  }
  auto const& counters = reader.counters();
  report = fmt::format("batches:{} lookups:{} retries:{} remaps:{} resizeRetries:{}", batches,
                       counters.lookups, counters.retries, counters.remaps, counters.resizeRetries);
  return 0;
}

TEST(StoreLookupMany, BatchesStayCorrectWhileAnotherProcessWrites) {
  TempDir root;
  Brell::BrellWriter<Traits16> writer("many", sized(2048), root.path());
  ASSERT_TRUE(writer.initialize("test"));
  std::uint32_t generation = 1;
  for (std::uint32_t key = 0; key < kStableKeys; ++key) {
    writer.write(Value16::make(key, generation), true);
  }
  constexpr double kSeconds = 2.0;
  int readEnd = -1;
  pid_t child = forkChild(readEnd, [&](std::string& report) {
    return readBatchesUnderChanges(root.path(), kSeconds, report);
  });
  // Growth and shrinking (slot remaps, bucket splits and merges, moves) and constant
  // rewrites of the stable keys.
  std::mt19937 random(11);
  std::uint32_t wave = 0;
  auto end = Clock::now() + std::chrono::duration<double>(kSeconds + 0.3);
  while (Clock::now() < end)
    churnWave(writer, random, wave++, generation, kStableKeys, kChurnBase, false);
  auto result = collect(child, readEnd);
  EXPECT_EQ(result.status, 0) << result.report;
  RecordProperty("reader", result.report);
  EXPECT_GT(writer.counters().bucketGrowths, 0u);
  EXPECT_GT(writer.counters().shrinks, 0u);
}

TEST(StoreLookupMany, DamagedHeadsAreReportedAsCorruptionAndNeverWorse) {
  using Traits = TestTraits<8>;
  using Value = Traits::Value;
  TempDir root;
  {
    Brell::BrellWriter<Traits> writer("damage", sized(1000), root.path());
    ASSERT_TRUE(writer.initialize("test"));
    for (std::uint32_t key = 0; key < 400; ++key) writer.write(Value::make(key, key), true);
  }
  auto bucketsPath = root.file("buckets");
  std::uint32_t buckets = readWord<std::uint32_t>(bucketsPath, 20);
  std::uint32_t slotCount = readWord<std::uint32_t>(root.file("slots"), 588);
  ASSERT_GT(buckets, 0u);
  // Every head names a slot beyond the mapping (just beyond, and the largest index).
  for (std::uint32_t index : {slotCount + 5, Brell::kIndexMask}) {
    for (std::uint32_t bucket = 0; bucket < buckets; ++bucket) {
      patchWord<std::uint32_t>(bucketsPath, 24 + 8 * bucket + 4, index);
    }
    Brell::BrellReader<Traits> reader("damage", root.path());
    ASSERT_TRUE(reader.initialize("test"));
    std::vector<std::uint32_t> keys;
    for (std::uint32_t key = 0; key < 40; ++key) keys.push_back(key);
    std::vector<Value> values(keys.size());
    std::unique_ptr<bool[]> found(new bool[keys.size()]);
    try {
      reader.lookupMany(keys, values.data(), found.get());
      ADD_FAILURE() << "no corruption reported for index " << index;
    } catch (Vorl::CorruptionDetectedException const& error) {
      EXPECT_NE(std::string(error.what()).find("out-of-range index"), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace
