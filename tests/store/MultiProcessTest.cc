#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <set>
#include <chrono>
#include <thread>

#include "tests/store/PipedChild.h"
#include "tests/store/StoreTestSupport.h"

namespace MultiProcessTests {

using namespace StoreTest;
using Traits = TestTraits<16>;
using Value = Traits::Value;
using Writer = Brell::BrellWriter<Traits>;
using Reader = Brell::BrellReader<Traits>;
using Clock = std::chrono::steady_clock;

// A reader preempted mid-copy may resume after the writer shrank the table below
// its slot, regrew it and wrote the same key there: the slot then holds the very link
// it held when the copy began, with a new payload. Both processes share one CPU so
// the reader is preempted anywhere; wide values put many of those points in a copy.
TEST(StoreMultiProcess, ReaderPreemptedAcrossShrinkAndRegrowthNeverSeesATornValue) {
  using WideTraits = StoreTest::TestTraits<128>;
  constexpr std::uint32_t kWave = 200;
  TempDir root;
  Attached<Brell::BrellWriter<WideTraits>> writer("regrow", sized(4096), root.path());
  cpu_set_t original, one;
  ASSERT_EQ(::sched_getaffinity(0, sizeof original, &original), 0);
  CPU_ZERO(&one);
  CPU_SET(std::max(0, ::sched_getcpu()), &one);
  bool pinned = ::sched_setaffinity(0, sizeof one, &one) == 0;  // unpinned, only weaker
  auto child = Piped::startChild([&](int, int replies) {
    Brell::BrellReader<WideTraits> reader("regrow", root.path());
    if (!reader.initialize("regrow")) {
      Piped::writeLine(replies, reader.lastError());
      return 1;
    }
    std::uint64_t lookups = 0, hits = 0;
    for (auto end = Clock::now() + std::chrono::seconds(2); Clock::now() < end;) {
      for (std::uint32_t key = 1; key <= kWave; ++key, ++lookups) {
        auto value = find(reader, key);
        hits += value.has_value();
        if (value && (value->key != key || !value->whole())) {
          Piped::writeLine(replies, fmt::format("key {} read as key:{} whole:{} after {} lookups",
                                                key, value->key, value->whole(), lookups));
          return 1;
        }
      }
    }
    auto const& counters = reader.counters();
    Piped::writeLine(replies,
                     fmt::format("lookups:{} hits:{} retries:{} remaps:{} resizeRetries:{}", lookups,
                                 hits, counters.retries, counters.remaps, counters.resizeRetries));
    return hits > 0 ? 0 : 1;
  });
  std::uint32_t wave = 0;
  for (auto end = Clock::now() + std::chrono::milliseconds(2200); Clock::now() < end;) {
    ++wave;
    for (std::uint32_t key = 1; key <= kWave; ++key) {
      writer.write(WideTraits::Value::make(key, wave), true);  // a new payload each wave
    }
    // Busy elsewhere for a while: the writer is mostly preempted here, so the reader
    // usually stops and resumes with the same entries in place.
    for (auto until = Clock::now() + std::chrono::milliseconds(2); Clock::now() < until;) {
    }
    for (std::uint32_t key = 1; key <= kWave; ++key) writer.remove(key, nullptr);
  }
  if (pinned) ::sched_setaffinity(0, sizeof original, &original);
  auto ended = Piped::finish(child);
  EXPECT_EQ(ended.status, 0) << ended.report;
  fmt::print("waves:{} {}; reader {}", wave, churnFigures(writer), ended.report);
  EXPECT_GT(writer.counters().shrinks, 0u);
  EXPECT_TRUE(writer.validate());
}

// The writer is killed at random moments of single writes, removals, two-phase
// writes and batches. Keys [0, kKept) are always there; the batch keys
// [kBatchBase, kBatchBase + kKept) are only ever written together, by one batch.
TEST(StoreMultiProcess, WriterKilledMidOperationLeavesReattachableOrWipedFiles) {
  TempDir root;
  constexpr std::uint32_t kKept = 200;
  constexpr std::uint32_t kBatchBase = 100000;
  auto batchOf = [](std::uint32_t generation) {
    std::vector<Value> batch;
    for (std::uint32_t key = 0; key < kKept; ++key) {
      batch.push_back(Value::make(kBatchBase + key, generation));
    }
    return batch;
  };
  auto refill = [&](Writer& writer) {
    fill(writer, 0, kKept);
    writer.writeBatch(batchOf(1));
  };
  {
    Attached<Writer> writer("crash", sized(512), root.path());
    refill(writer);
  }
  std::mt19937 random(99);
  int reattached = 0;
  // `make torture` runs this with HWTABLES_TORTURE_KILLS=1000; make test with 30.
  char const* kills = std::getenv("HWTABLES_TORTURE_KILLS");
  int rounds = kills ? std::max(1, std::atoi(kills)) : 30;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    SharedMem::PyrelId before = SharedMem::PyrelFile(root.path()).read()->identity;
    std::uint32_t seed = static_cast<std::uint32_t>(random());
    auto child = Piped::startChild([&](int, int) {
      Writer writer("crash", sized(512), root.path());
      writer.initialize("crash");
      std::mt19937 childRandom(seed);
      auto batched = find(writer, kBatchBase);
      std::uint32_t batchGeneration = batched ? batched->generation() : 1;
      for (std::uint32_t generation = 2;; ++generation) {
        std::uint32_t key = childRandom() % 3000;
        switch (childRandom() % 5) {
          case 0:
            writer.write(Value::make(key % kKept, generation), true);
            break;
          case 1:
            writer.write(Value::make(kKept + key, generation), true);
            break;
          case 2:
            writer.remove(kKept + key, nullptr);
            break;
          case 3:
            writer.writeBatch(batchOf(++batchGeneration));
            break;
          default:
            *writer.directWrite(Value::make(key % kKept, generation)) =
                Value::make(key % kKept, generation + 1);
            writer.directCommit();
        }
      }
      return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 40));
    auto ended = Piped::stopChild(child, true);
    ASSERT_EQ(ended.status, 128 + SIGKILL) << ended.report;

    // A reader on the files the dead writer left: answers or corruption, nothing
    // worse; each batch key old or new, from the batch that was cut short.
    Reader reader("crash", root.path());
    bool attached = reader.initialize("after crash");
    std::set<std::uint32_t> batchGenerations;
    for (std::uint32_t key = 0; attached && key < kKept; ++key) {
      try {
        auto value = find(reader, key);
        EXPECT_TRUE(!value || value->whole()) << "torn value of " << key;
        if (auto batched = find(reader, kBatchBase + key)) {
          EXPECT_TRUE(batched->whole()) << "torn value of batch key " << key;
          batchGenerations.insert(batched->generation());
        }
      } catch (Vorl::CorruptionDetectedException const&) {
      }
    }
    EXPECT_LE(batchGenerations.size(), 2u);
    if (batchGenerations.size() == 2) {
      EXPECT_EQ(*batchGenerations.begin() + 1, *batchGenerations.rbegin());
    }
    Writer writer("crash", sized(512), root.path());
    ASSERT_TRUE(writer.initialize("crash"));
    EXPECT_TRUE(writer.validate());
    if (writer.pyrelId() == before) {
      ++reattached;
      for (std::uint32_t key = 0; key < kKept; ++key) {
        auto value = find(writer, key);
        ASSERT_TRUE(value && value->whole()) << "lost key " << key;
        value = find(writer, kBatchBase + key);
        ASSERT_TRUE(value && value->whole()) << "lost batch key " << key;
      }
    } else {
      EXPECT_EQ(writer.pyrelId().number(), static_cast<std::uint16_t>(before.number() + 1));
      EXPECT_EQ(writer.members(), 0u);
      refill(writer);
    }
  }
  fmt::print("kills:{} reattached:{} wiped:{}\n", rounds, reattached, rounds - reattached);
  EXPECT_GT(reattached, 0);
}

}  // namespace MultiProcessTests
