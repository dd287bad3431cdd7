#include <numeric>

#include "store/VanquoReader.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;
using Value = StoreTest::TestValue<12>;
using Writer = Brell::BrellWriter<StoreTest::TestTraits<12>>;
using Reader = Brell::BrellReader<StoreTest::TestTraits<12>>;
using Ring = Vanquo::VanquoReader<Vanquo::BasicSlot>;

std::vector<Vanquo::BasicSlot> readRing(Ring& ring, Ring::Read* result = nullptr) {
  std::vector<Vanquo::BasicSlot> seen;
  auto read = ring.read([&](Vanquo::BasicSlot const& slot) { seen.push_back(slot); });
  if (result) *result = read;
  return seen;
}

struct BatchStore {
  TempDir root;
  std::vector<std::uint32_t> callbacks;
  Writer writer{"batch", sized(64), root.path(),
                [this](std::uint32_t slot) { callbacks.push_back(slot); }};
  Ring ring{root.path()};

  BatchStore() {
    writer.initialize("batch");
    for (std::uint32_t key = 0; key < 40; ++key) writer.write(Value::make(key, 1), true);
    callbacks.clear();
    if (!ring.initialize()) throw std::runtime_error(ring.lastError());
  }
};

TEST(BatchWrite, EveryChangeIsPublishedInOrderAKeyTwiceKeepsTheLaterValueAndAnEmptyBatchNothing) {
  BatchStore store;
  auto head = store.ring.head();
  store.writer.writeBatch({});  // changes and publishes nothing, and ends its operation
  EXPECT_EQ(store.ring.head(), head);
  EXPECT_TRUE(store.callbacks.empty());
  EXPECT_EQ(store.writer.members(), 40u);
  std::vector<Value> batch{Value::make(3, 7), Value::make(100, 7), Value::make(3, 8),
                           Value::make(39, 7), Value::make(101, 7)};
  store.writer.writeBatch(batch);
  EXPECT_EQ(find(store.writer, 3)->generation(), 8u);
  EXPECT_EQ(find(store.writer, 100)->generation(), 7u);
  EXPECT_EQ(find(store.writer, 101)->generation(), 7u);
  EXPECT_EQ(store.writer.members(), 42u);

  Ring::Read result;
  auto seen = readRing(store.ring, &result);
  EXPECT_EQ(result, Ring::Read::ok);
  ASSERT_EQ(seen.size(), batch.size());
  ASSERT_EQ(store.callbacks.size(), batch.size());
  Reader reader("batch", store.root.path());
  ASSERT_TRUE(reader.initialize("check"));
  for (std::size_t index = 0; index < batch.size(); ++index) {
    EXPECT_EQ(seen[index].sequence, head + index);
    EXPECT_EQ(seen[index].slotIndex, store.callbacks[index]);
  }
  // The key given twice changed the same slot twice.
  EXPECT_EQ(seen[0].slotIndex, seen[2].slotIndex);
  EXPECT_EQ(find(reader, 3)->generation(), 8u);
}

// Slots are found a run at a time before the run's changes: a key added in one run may
// come again in the same or a later run.
TEST(BatchWrite, KeysAddedAndRepeatedAcrossALongBatchEndWithTheirLastValue) {
  BatchStore store;
  std::mt19937 random(23);
  std::vector<Value> batch;
  std::map<std::uint32_t, std::uint32_t> expected;
  for (std::uint32_t key = 0; key < 40; ++key) expected[key] = 1;
  for (std::uint32_t index = 0; index < 100; ++index) {
    std::uint32_t key = random() % 60;  // 40 to 59 are new
    batch.push_back(Value::make(key, 10 + index));
    expected[key] = 10 + index;
  }
  auto head = store.ring.head();
  store.writer.writeBatch(batch);
  EXPECT_EQ(store.writer.members(), expected.size());
  for (auto [key, generation] : expected) {
    EXPECT_EQ(find(store.writer, key)->generation(), generation) << key;
  }
  EXPECT_EQ(store.ring.head(), head + batch.size());
}

// A follower learns that it fell behind (never a wrong or partial list).
TEST(BatchWrite, ABatchLongerThanTheRingLapsItsFollowers) {
  BatchStore store;
  std::uint32_t capacity = Vanquo::ringCapacityFor(64);
  std::vector<Value> batch;
  for (std::uint32_t index = 0; index < capacity + 10; ++index) {
    batch.push_back(Value::make(index % 40, 10 + index));
  }
  auto head = store.ring.head();
  store.writer.writeBatch(batch);
  EXPECT_EQ(store.ring.head(), head + batch.size());
  Ring::Read result;
  EXPECT_TRUE(readRing(store.ring, &result).empty());
  EXPECT_EQ(result, Ring::Read::overrun);
  store.ring.restartAtHead();
  for (std::uint32_t key = 0; key < 40; ++key) {
    auto expected = 10 + key + ((capacity + 10 - 1 - key) / 40) * 40;
    EXPECT_EQ(find(store.writer, key)->generation(), expected) << key;
  }
  // A batch that fits is followed without loss afterwards.
  store.writer.writeBatch(std::vector<Value>{Value::make(1, 99), Value::make(2, 99)});
  EXPECT_EQ(readRing(store.ring, &result).size(), 2u);
  EXPECT_EQ(result, Ring::Read::ok);
}

TEST(BatchWrite, AFullTableStopsTheBatchAfterTheEntriesItCouldStore) {
  TempDir root;
  Writer writer("batch", sized(64, true), root.path());
  ASSERT_TRUE(writer.initialize("batch"));
  Ring ring(root.path());
  ASSERT_TRUE(ring.initialize()) << ring.lastError();
  std::vector<Value> batch;
  for (std::uint32_t key = 0; key < 70; ++key) batch.push_back(Value::make(key, 3));
  EXPECT_THROW(writer.writeBatch(batch), Brell::TableFullException);
  std::uint32_t stored = writer.members();
  EXPECT_EQ(stored, writer.capacity());
  for (std::uint32_t key = 0; key < 70; ++key) EXPECT_EQ(find(writer, key).has_value(), key < stored);
  EXPECT_EQ(readRing(ring).size(), stored);
  writer.write(Value::make(0, 4), true);
  EXPECT_EQ(find(writer, 0)->generation(), 4u);
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

}  // namespace
