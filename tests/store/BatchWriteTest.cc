#include <numeric>

#include "store/VanquoReader.h"
#include "tests/store/StoreTestSupport.h"

namespace BatchWriteTests {

using namespace StoreTest;
using Value = StoreTest::TestValue<12>;
using Writer = Brell::BrellWriter<StoreTest::TestTraits<12>>;
using Reader = Brell::BrellReader<StoreTest::TestTraits<12>>;
using Ring = Vanquo::VanquoReader<Vanquo::BasicSlot>;

// Slots are found a run at a time before the run's changes: a key added in one run may
// come again in the same or a later run, and changes its slot again.
TEST(BatchWrite, EveryChangeIsPublishedInOrderAKeyTwiceKeepsTheLaterValueAnEmptyBatchNothingALongOneLapsFollowers) {
  TempDir root;
  std::vector<std::uint32_t> callbacks;
  Writer writer("batch", sized(64), root.path(),
                [&](std::uint32_t slot) { callbacks.push_back(slot); });
  ASSERT_TRUE(writer.initialize("batch"));
  fill(writer, 0, 40);
  callbacks.clear();
  Ring ring(root.path());
  ASSERT_TRUE(ring.initialize()) << ring.lastError();
  auto head = ring.head();
  writer.writeBatch({});  // changes and publishes nothing, and ends its operation
  EXPECT_EQ(ring.head(), head);
  EXPECT_TRUE(callbacks.empty());
  std::mt19937 random(23);
  std::vector<Value> batch;
  std::map<std::uint32_t, std::uint32_t> expected;
  for (std::uint32_t key = 0; key < 40; ++key) expected[key] = key + 1;
  for (std::uint32_t index = 0; index < 100; ++index) {
    std::uint32_t key = random() % 60;  // 40 to 59 are new
    batch.push_back(Value::make(key, 10 + index));
    expected[key] = 10 + index;
  }
  writer.writeBatch(batch);
  Ring::Read result;
  auto seen = readRing(ring, &result);
  EXPECT_EQ(result, Ring::Read::ok);
  ASSERT_EQ(seen.size(), batch.size());
  ASSERT_EQ(callbacks.size(), batch.size());
  std::map<std::uint32_t, std::uint32_t> slotOf;
  for (std::size_t index = 0; index < batch.size(); ++index) {
    EXPECT_EQ(seen[index].sequence, head + index);
    EXPECT_EQ(seen[index].slotIndex, callbacks[index]);
    auto known = slotOf.emplace(batch[index].key, seen[index].slotIndex).first;
    EXPECT_EQ(known->second, seen[index].slotIndex) << "key " << batch[index].key;
  }
  Attached<Reader> reader("batch", root.path());
  EXPECT_EQ(writer.members(), expected.size());
  for (auto [key, last] : expected) EXPECT_EQ(find(reader, key), Value::make(key, last));

  // Longer than the ring: a follower learns that it fell behind (never a wrong list).
  std::uint32_t capacity = Vanquo::ringCapacityFor(64);
  batch.clear();
  for (std::uint32_t index = 0; index < capacity + 10; ++index) {
    batch.push_back(Value::make(index % 40, 1000 + index));
  }
  head = ring.head();
  writer.writeBatch(batch);
  EXPECT_EQ(ring.head(), head + batch.size());
  EXPECT_TRUE(readRing(ring, &result).empty());
  EXPECT_EQ(result, Ring::Read::overrun);
  ring.restartAtHead();
  for (std::uint32_t key = 0; key < 40; ++key) {
    auto last = 1000 + key + ((capacity + 10 - 1 - key) / 40) * 40;
    EXPECT_EQ(find(reader, key), Value::make(key, last));
  }
  // A batch that fits is followed without loss afterwards.
  writer.writeBatch(std::vector<Value>{Value::make(1, 99), Value::make(2, 99)});
  EXPECT_EQ(readRing(ring, &result).size(), 2u);
  EXPECT_EQ(result, Ring::Read::ok);
}

TEST(BatchWrite, AFullFixedTableStopsABatchOrAWriteAfterTheEntriesItCouldStoreAndKeepsUpdating) {
  TempDir root;
  Attached<Writer> writer("batch", sized(64, true), root.path());
  Ring ring(root.path());
  ASSERT_TRUE(ring.initialize()) << ring.lastError();
  std::vector<Value> batch;
  for (std::uint32_t key = 0; key < 70; ++key) batch.push_back(Value::make(key, 3));
  auto full = ::testing::ThrowsMessage<Brell::TableFullException>(::testing::StrEq(
      fmt::format("Brell table full (occupancy:64 tableSize:64) {}", root.path())));
  EXPECT_THAT([&] { writer.writeBatch(batch); }, full);
  EXPECT_EQ(writer.members(), 64u);
  EXPECT_EQ(writer.capacity(), 64u);
  for (std::uint32_t key = 0; key < 70; ++key) EXPECT_EQ(find(writer, key).has_value(), key < 64);
  EXPECT_EQ(readRing(ring).size(), 64u);
  EXPECT_THAT([&] { writer.write(Value::make(1000, 1), true); }, full);
  EXPECT_EQ(readWord<std::uint16_t>(root.file("slots"), 558), 0u) << "critical section left open";
  // A write without overwrite returns the stored value; only the writer sequence (bytes
  // 72..79) may change.
  auto before = readFile(root.file("slots"));
  EXPECT_EQ(writer.write(Value::make(7, 99), false)->generation(), 3u);
  auto after = readFile(root.file("slots"));
  for (std::size_t offset = 0; offset < before.size(); ++offset) {
    if (offset >= 72 && offset < 80) continue;
    ASSERT_EQ(before[offset], after[offset]) << offset;
  }
  EXPECT_EQ(writer.write(Value::make(0, 4), true)->generation(), 4u);
  EXPECT_EQ(contentsOf(writer).size(), 64u);
  EXPECT_TRUE(writer.validate());
}

// A batch remembers where it found each key. Entries that moved since (the table
// shrank), went away or came back are written where they are now, never where they
// were.
TEST(BatchWrite, KeysThatMovedLeftOrCameBackSinceTheLastBatchAreWrittenWhereTheyAreNow) {
  TempDir root;
  Writer writer("batch", sized(1024), root.path());
  ASSERT_TRUE(writer.initialize("batch"));
  auto write = [&](std::vector<std::uint32_t> const& keys, std::uint32_t generation) {
    std::vector<Value> batch;
    for (auto key : keys) batch.push_back(Value::make(key, generation));
    writer.writeBatch(batch);
  };
  std::vector<std::uint32_t> all(600);
  std::iota(all.begin(), all.end(), 0u);
  write(all, 1);
  write(all, 2);
  std::uint32_t grown = writer.capacity();
  for (std::uint32_t key = 20; key < 600; ++key) ASSERT_TRUE(writer.remove(key, nullptr));
  ASSERT_LT(writer.capacity(), grown);  // compaction moved the entries above the new size
  std::vector<std::uint32_t> kept(all.begin(), all.begin() + 40);
  kept.insert(kept.end(), all.end() - 20, all.end());
  write(kept, 3);  // 0..19 moved, the rest new in slots other keys were found at
  write(kept, 4);
  EXPECT_EQ(writer.members(), kept.size());
  Reader reader("batch", root.path());
  ASSERT_TRUE(reader.initialize("check"));
  for (auto key : kept) {
    EXPECT_EQ(find(writer, key)->generation(), 4u) << key;
    EXPECT_EQ(find(reader, key)->generation(), 4u) << key;
  }
  EXPECT_TRUE(writer.validate());
}

}  // namespace BatchWriteTests
