#include <numeric>

#include "tests/store/StoreTestSupport.h"

namespace ReaderTests {

using namespace StoreTest;

TEST(StoreReader, ReadsTheLookasideCopyWhileASlotIsBeingRewritten) {
  TempDir root;
  Attached8 writer("lookaside", sized(100), root.path());
  writer.write(Value8::make(42, 1), true);  // slot 0
  AttachedReader8 reader("lookaside", root.path());
  EXPECT_EQ(find(reader, 42)->generation(), 1u);

  // Freeze the file mid-rewrite: bit 1 set on slot 0, the lookaside holding the
  // previous value (generation 0) with the same rhash, the slot a half-copied value.
  auto slots = root.file("slots");
  auto bytes = readFile(slots);
  std::vector<unsigned char> lookaside(bytes.begin() + 632 + 8, bytes.begin() + 632 + 24);
  Value8 previous = Value8::make(42, 0);
  std::memcpy(lookaside.data(), &previous, sizeof previous);
  patchFile(slots, 608 + 8, lookaside.data(), lookaside.size());
  std::uint32_t version = readWord<std::uint32_t>(slots, 632);
  patchWord<std::uint32_t>(slots, 632, version | 2);
  patchWord<std::uint32_t>(slots, 632 + 8 + 4, 0xDEADBEEF);

  auto seen = find(reader, 42);
  ASSERT_TRUE(seen);
  EXPECT_EQ(*seen, previous);
  EXPECT_EQ(reader.counters().lookasideReads, 1u);

  patchWord<std::uint32_t>(slots, 632, version + 4);
  writer.write(Value8::make(42, 3), true);
  EXPECT_EQ(find(reader, 42)->generation(), 3u);
}

TEST(StoreReader, StaleBucketCountMeetsTheSplitMarkerAndRetries) {
  TempDir root;
  Attached8 writer("stale", sized(1000), root.path());
  AttachedReader8 reader("stale", root.path());
  // Eight keys outside bucket 11 (under 16), then a ninth of bucket 11 that splits
  // the table: under 8 buckets it lives in bucket 3.
  std::vector<std::uint32_t> keys;
  std::uint32_t elevenKey = 0;
  for (std::uint32_t key = 1; keys.size() < 8 || elevenKey == 0; ++key) {
    bool eleven = (writer.hashMap().hashOf(key) & 15) == 11;
    if (eleven && elevenKey == 0) elevenKey = key;
    if (!eleven && keys.size() < 8) keys.push_back(key);
  }
  keys.push_back(elevenKey);
  for (std::size_t index = 0; index < 8; ++index) writer.write(Value8::make(keys[index], 1), true);
  EXPECT_EQ(reader.capacity(), 0u) << "the first lookup maps the slots";
  EXPECT_TRUE(find(reader, keys[0]));
  EXPECT_EQ(reader.buckets(), 8u);
  writer.write(Value8::make(keys[8], 1), true);
  ASSERT_EQ(writer.buckets(), 16u);
  auto before = reader.counters().resizeRetries;
  EXPECT_TRUE(find(reader, elevenKey));
  EXPECT_EQ(reader.buckets(), 16u);
  EXPECT_GT(reader.counters().resizeRetries, before);
  for (auto key : keys) EXPECT_TRUE(find(reader, key)) << key;
}

TEST(StoreReader, IteratesEveryKeyOnceInListOrder) {
  TempDir root;
  Attached8 writer("iterate", sized(1000), root.path());
  for (std::uint32_t key = 0; key < 300; ++key) writer.write(Value8::make(key, key), true);
  AttachedReader8 reader("iterate", root.path());
  auto order = [&](std::uint32_t key) {
    return std::make_pair(Brell::reverseBits(writer.hashMap().hashOf(key)), key);
  };
  std::vector<std::uint32_t> seen;
  Value8 value;
  Brell::IterHint hint;
  for (bool more = reader.first(value, hint); more; more = reader.next(value.key, value, hint)) {
    EXPECT_EQ(value.generation(), value.key);
    if (!seen.empty()) {
      EXPECT_LT(order(seen.back()), order(value.key));
    }
    seen.push_back(value.key);
    // Removing the entry just returned makes the hint stale: the next step re-finds
    // its place from the key.
    if (value.key % 7 == 0) writer.remove(value.key, nullptr);
  }
  EXPECT_EQ(seen.size(), 300u);
}

TEST(StoreReader, DamageIsReportedAsCorruptionAndNeverWorse) {
  TempDir root;
  {
    Attached8 writer("damage", sized(1000), root.path());
    for (std::uint32_t key = 0; key < 400; ++key) writer.write(Value8::make(key, key), true);
    for (std::uint32_t key = 0; key < 400; key += 3) writer.remove(key, nullptr);
  }
  auto slotsPath = root.file("slots");
  auto bucketsPath = root.file("buckets");
  auto pristineSlots = readFile(slotsPath);
  auto pristineBuckets = readFile(bucketsPath);
  auto restore = [&] {
    patchFile(slotsPath, 0, pristineSlots.data(), pristineSlots.size());
    patchFile(bucketsPath, 0, pristineBuckets.data(), pristineBuckets.size());
  };
  struct Case {
    char const* name;
    std::function<void()> damage;
    char const* message;
    bool batch = false;
  };
  std::uint32_t count = readWord<std::uint32_t>(slotsPath, 588);
  auto everyHeadAt = [&](std::uint32_t index) {
    for (std::uint32_t bucket = 0; bucket < 512; ++bucket) {
      patchWord<std::uint32_t>(bucketsPath, 24 + 8 * bucket + 4, index);
    }
  };
  std::vector<Case> cases = {
      {"head just out of range", [&] { everyHeadAt(count + 5); }, "out-of-range index", true},
      {"head at the largest index", [&] { everyHeadAt(Brell::kIndexMask); }, "out-of-range index",
       true},
      {"self cycle",
       [&] {
         for (std::uint32_t slot = 0; slot < count; ++slot) {
           patchWord<std::uint32_t>(slotsPath, 632 + 24 * slot + 4, slot);
         }
       },
       "cycle"},
      {"free slots in chains",
       [&] {
         for (std::uint32_t slot = 0; slot < count; ++slot) {
           patchWord<std::uint32_t>(slotsPath, 632 + 24 * slot, 4);
         }
       },
       "not-occupied"},
  };
  for (auto const& test : cases) {
    restore();
    test.damage();
    Reader8 reader("damage", root.path());
    ASSERT_TRUE(reader.initialize("test")) << test.name;
    auto reports = ::testing::ThrowsMessage<Vorl::CorruptionDetectedException>(
        ::testing::HasSubstr(test.message));
    EXPECT_THAT([&] { for (std::uint32_t key = 1; key < 400; ++key) find(reader, key); }, reports)
        << test.name;
    if (!test.batch) continue;
    std::vector<std::uint32_t> keys(40);
    std::iota(keys.begin(), keys.end(), 0u);
    std::vector<Value8> values(keys.size());
    std::unique_ptr<bool[]> found(new bool[keys.size()]);
    EXPECT_THAT([&] { reader.lookupMany(keys, values.data(), found.get()); }, reports)
        << test.name << " in a batch";
  }

  // A count the file cannot hold, published after the reader attached: the next
  // lookup that depends on the count reports it (a miss must be confirmed against
  // the current mapping). A key found in a slot below the initial count, which never
  // leaves the table, may still be answered, and then rightly.
  restore();
  {
    AttachedReader8 reader("damage", root.path());
    find(reader, 1);
    patchWord<std::uint64_t>(slotsPath, 584, (std::uint64_t{1} << 40) | 77);
    patchWord<std::uint32_t>(slotsPath, 588, count * 1000);
    EXPECT_THROW(find(reader, 0), Vorl::CorruptionDetectedException);
    try {
      auto value = find(reader, 1);
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(*value, Value8::make(1, 1));
    } catch (Vorl::CorruptionDetectedException const&) {
    }
  }
}

}  // namespace ReaderTests
