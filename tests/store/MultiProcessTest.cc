#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;
using Traits = TestTraits<16>;
using Value = Traits::Value;
using Writer = Brell::BrellWriter<Traits>;
using Reader = Brell::BrellReader<Traits>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kStableKeys = 100;
constexpr std::uint32_t kChurnBase = 1000;

// The reader's side: stable keys are always present and every value seen is whole.
int readUnderChanges(std::string const& root, double seconds, std::string& report) {
  Reader reader("stress", root);
  if (!reader.initialize("stress")) {
    report = "reader could not attach: " + reader.lastError();
    return 1;
  }
  std::mt19937 random(::getpid());
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::uint64_t lookups = 0;
  for (std::uint64_t pass = 1; Clock::now() < end; ++pass) {
    report = readPass(reader, random, kStableKeys, kChurnBase, pass % 8 == 0, lookups);
    if (!report.empty()) return 1;
  }
  auto const& counters = reader.counters();
  report = fmt::format("lookups:{} retries:{} lookasideReads:{} remaps:{} resizeRetries:{}",
                       lookups, counters.retries, counters.lookasideReads, counters.remaps,
                       counters.resizeRetries);
  return 0;
}

TEST(StoreMultiProcess, ReaderNeverSeesATornValueOrMissesAStableKey) {
  TempDir root;
  Writer writer("stress", sized(2048), root.path());
  ASSERT_TRUE(writer.initialize("stress"));
  std::uint32_t generation = 1;
  for (std::uint32_t key = 0; key < kStableKeys; ++key)
    writer.write(Value::make(key, generation), true);

  constexpr double kSeconds = 3.0;
  int readEnd = -1;
  pid_t child = forkChild(readEnd, [&](std::string& report) {
    return readUnderChanges(root.path(), kSeconds, report);
  });

  // Waves of churn: grow (splits, slot growth past the maximum), rewrite the stable
  // keys all the time, shrink (compaction moves, merges).
  std::mt19937 random(7);
  std::uint64_t operations = 0;
  std::uint32_t wave = 0;
  auto end = Clock::now() + std::chrono::duration<double>(kSeconds + 0.3);
  while (Clock::now() < end) {
    operations += churnWave(writer, random, wave++, generation, kStableKeys, kChurnBase, true);
  }
  auto result = collect(child, readEnd);
  EXPECT_EQ(result.status, 0) << result.report;
  RecordProperty("reader", result.report);
  fmt::print("writer operations:{} waves:{} {}; reader {}\n", operations, wave,
             churnFigures(writer), result.report);
  EXPECT_GT(writer.counters().shrinks, 0u);
  EXPECT_GT(writer.counters().bucketShrinks, 0u);
  EXPECT_TRUE(writer.validate());
}

// A reader preempted in the middle of copying a slot may resume only after the
// writer removed the entry, compacted and shrank the table below that slot, grew it
// again and wrote the same key into the same slot: growth formats the new slots
// afresh, so the slot can hold the very link it held when the copy began. The writer
// here repeats the same wave of keys, so slots, keys and links do repeat, with a new
// payload each wave; both processes share one CPU so that the reader is preempted
// at arbitrary points, and the values are wide so that many of those points fall
// inside a copy.
TEST(StoreMultiProcess, ReaderPreemptedAcrossShrinkAndRegrowthNeverSeesATornValue) {
  using WideTraits = StoreTest::TestTraits<128>;
  using WideValue = WideTraits::Value;
  constexpr std::uint32_t kWave = 200;
  constexpr double kSeconds = 2.0;
  TempDir root;
  Brell::BrellWriter<WideTraits> writer("regrow", sized(4096), root.path());
  ASSERT_TRUE(writer.initialize("regrow"));

  cpu_set_t original;
  ASSERT_EQ(::sched_getaffinity(0, sizeof original, &original), 0);
  int cpu = 0;
  while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &original)) ++cpu;
  ASSERT_LT(cpu, CPU_SETSIZE);
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);

  int readEnd = -1;
  pid_t child = forkChild(readEnd, [&](std::string& report) {
    (void)::sched_setaffinity(0, sizeof one, &one);  // unpinned, the test is only weaker
    Brell::BrellReader<WideTraits> reader("regrow", root.path());
    if (!reader.initialize("regrow")) {
      report = "reader could not attach: " + reader.lastError();
      return 1;
    }
    std::uint64_t lookups = 0;
    std::uint64_t hits = 0;
    auto end = Clock::now() + std::chrono::duration<double>(kSeconds);
    while (Clock::now() < end) {
      for (std::uint32_t key = 1; key <= kWave; ++key) {
        bool found = false;
        WideValue value;
        reader.lookup(key, found, &value);
        ++lookups;
        if (!found) continue;
        ++hits;
        if (value.key != key || !value.whole()) {
          report = fmt::format("key {} read as key:{} whole:{} after {} lookups", key, value.key,
                               value.whole(), lookups);
          return 1;
        }
      }
    }
    report = fmt::format("lookups:{} hits:{} retries:{} remaps:{} resizeRetries:{}", lookups, hits,
                         reader.counters().retries, reader.counters().remaps,
                         reader.counters().resizeRetries);
    return hits > 0 ? 0 : 1;
  });

  bool pinned = ::sched_setaffinity(0, sizeof one, &one) == 0;
  std::uint32_t wave = 0;
  auto end = Clock::now() + std::chrono::duration<double>(kSeconds + 0.2);
  while (Clock::now() < end) {
    ++wave;
    for (std::uint32_t key = 1; key <= kWave; ++key) writer.write(WideValue::make(key, wave), true);
    // Busy elsewhere for a while: the writer is mostly preempted here, so the reader
    // usually stops and resumes with the same entries in place.
    for (auto until = Clock::now() + std::chrono::milliseconds(2); Clock::now() < until;) {
    }
    for (std::uint32_t key = 1; key <= kWave; ++key) writer.remove(key, nullptr);
  }
  if (pinned) ::sched_setaffinity(0, sizeof original, &original);
  auto result = collect(child, readEnd);
  EXPECT_EQ(result.status, 0) << result.report;
  fmt::print("waves:{} {}; reader {}\n", wave, churnFigures(writer), result.report);
  EXPECT_GT(writer.counters().shrinks, 0u);
  EXPECT_TRUE(writer.validate());
}

TEST(StoreMultiProcess, WriterKilledMidOperationLeavesReattachableOrWipedFiles) {
  TempDir root;
  constexpr std::uint32_t kKept = 200;
  auto populate = [&](Writer& writer) {
    for (std::uint32_t key = 0; key < kKept; ++key) writer.write(Value::make(key, 1), true);
  };
  {
    Writer writer("crash", sized(512), root.path());
    ASSERT_TRUE(writer.initialize("crash"));
    populate(writer);
  }
  std::mt19937 random(99);
  int reattached = 0;
  int wiped = 0;
  std::uint64_t keptEntries = 0;
  int lostEntries = 0;
  int tornReads = 0;
  // `make torture` runs this with HWTABLES_TORTURE_KILLS=1000; make test with 30.
  char const* kills = std::getenv("HWTABLES_TORTURE_KILLS");
  int rounds = kills ? std::max(1, std::atoi(kills)) : 30;
  for (int round = 0; round < rounds; ++round) {
    SharedMem::PyrelId before = SharedMem::PyrelFile(root.path()).read()->identity;
    int readEnd = -1;
    std::uint32_t seed = static_cast<std::uint32_t>(random());
    pid_t child = forkChild(readEnd, [&](std::string&) {
      Writer writer("crash", sized(512), root.path());
      writer.initialize("crash");
      std::mt19937 childRandom(seed);
      for (std::uint32_t generation = 2;; ++generation) {
        std::uint32_t key = childRandom() % 3000;
        switch (childRandom() % 4) {
          case 0:
            writer.write(Value::make(key % kKept, generation), true);
            break;
          case 1:
            writer.write(Value::make(kKept + key, generation), true);
            break;
          case 2:
            writer.remove(kKept + key, nullptr);
            break;
          default: {
            auto* staged = writer.directWrite(Value::make(key % kKept, generation));
            *staged = Value::make(key % kKept, generation + 1);
            writer.directCommit();
          }
        }
      }
      return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 40));
    ::kill(child, SIGKILL);
    auto result = collect(child, readEnd);
    ASSERT_EQ(result.status, 128 + SIGKILL) << result.report;

    // A reader on the files the dead writer left: answers or corruption, nothing worse.
    {
      Reader reader("crash", root.path());
      if (reader.initialize("after crash")) {
        for (std::uint32_t key = 0; key < kKept; ++key) {
          try {
            bool found = false;
            Value value;
            reader.lookup(key, found, &value);
            if (found && !value.whole()) {
              ++tornReads;
              ADD_FAILURE() << "torn value of key " << key;
            }
          } catch (Vorl::CorruptionDetectedException const&) {
          }
        }
      }
    }
    Writer writer("crash", sized(512), root.path());
    ASSERT_TRUE(writer.initialize("crash"));
    EXPECT_TRUE(writer.validate());
    if (writer.pyrelId() == before) {
      ++reattached;
      for (std::uint32_t key = 0; key < kKept; ++key) {
        auto value = find(writer, key);
        if (!value) ++lostEntries;
        ASSERT_TRUE(value) << "round " << round << " lost key " << key;
        EXPECT_TRUE(value->whole());
        ++keptEntries;
      }
    } else {
      ++wiped;
      EXPECT_EQ(writer.pyrelId().number(), static_cast<std::uint16_t>(before.number() + 1));
      EXPECT_EQ(writer.members(), 0u);
      populate(writer);
    }
  }
  fmt::print("kills:{} reattached:{} wiped:{} keptEntries:{} lostEntries:{} tornReads:{}\n", rounds,
             reattached, wiped, keptEntries, lostEntries, tornReads);
  EXPECT_GT(reattached, 0);
}

}  // namespace
