// Offsets are checked on the raw files, since other processes depend on them.
#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;

bool pageIs4096() {
  return ::sysconf(_SC_PAGESIZE) == 4096;
}

TEST(StoreGeometry, NewTableFillsOnePageWithAFreeListInOrder) {
  if (!pageIs4096()) GTEST_SKIP() << "geometry assumes 4096-byte pages";
  TempDir root;
  Attached8 writer("geometry", sized(1000), root.path());
  auto slots = root.file("slots");
  EXPECT_EQ(writer.capacity(), 128u);
  EXPECT_EQ(writer.minSize(), 128u);
  EXPECT_EQ(readFile(slots).size(), 632u + 128u * 24u);
  EXPECT_EQ(readWord<std::uint32_t>(slots, 16), writer.pyrelId().value());
  EXPECT_EQ(readWord<std::uint32_t>(slots, 564), 0u);                     // occupancy
  EXPECT_EQ(readWord<std::uint32_t>(slots, 568), 0u);                     // free-list head
  EXPECT_EQ(readWord<std::uint32_t>(slots, 572), 128u);                   // largest slot count
  EXPECT_LT(readWord<std::uint32_t>(slots, 576), 0x7FFFFFFFu);            // hash seed
  EXPECT_EQ(readWord<std::uint32_t>(slots, 588), 128u);                   // slot count
  EXPECT_EQ(readWord<std::uint16_t>(slots, 558), 0u);                     // runtime flags
  EXPECT_EQ(readWord<std::uint64_t>(slots, 608), 0xBFFFFFFF00000000ull);  // lookaside link
  for (std::uint32_t index = 0; index < 128; ++index) {
    std::size_t offset = 632 + std::size_t{index} * 24;
    EXPECT_EQ(readWord<std::uint32_t>(slots, offset), 4u) << index;
    EXPECT_EQ(readWord<std::uint32_t>(slots, offset + 4), index == 127 ? 0xBFFFFFFFu : index + 1)
        << index;
  }
  auto buckets = root.file("buckets");
  // The writer reserves whole pages of heads, so small tables split without a system call.
  EXPECT_EQ(readFile(buckets).size(), 4096u);
  EXPECT_EQ(readWord<std::uint32_t>(buckets, 20), 8u);
  // Every head of a fresh table ends its (empty) run: bit-reversed order 0,4,2,6,1,5,3,7.
  std::uint32_t const expected[8] = {0x80000004, 0x80000005, 0x80000006, 0x80000007,
                                     0x80000002, 0x80000003, 0x80000001, 0xBFFFFFFF};
  for (std::uint32_t bucket = 0; bucket < 8; ++bucket) {
    EXPECT_EQ(readWord<std::uint32_t>(buckets, 24 + 8 * bucket + 4), expected[bucket]) << bucket;
  }
}

TEST(StoreGeometry, SlotSizesFollowTheGeometryTable) {
  TempDir root;
  auto rhashOffset = [&](auto traits, std::uint32_t key) {
    using Traits = decltype(traits);
    Brell::BrellWriter<Traits> writer("sizes", sized(100), root.path());
    writer.initialize("test");
    writer.write(Traits::Value::make(key, 7), true);
    std::uint32_t rhash = Brell::reverseBits(writer.hashMap().hashOf(key));
    auto bytes = readFile(root.file("slots"));
    std::uint32_t slotSize = readWord<std::uint32_t>(root.file("slots"), 28);
    std::uint32_t headerSize = 608 + slotSize;
    // The first allocation takes slot 0: link, value, then rhash, then zero padding.
    std::uint32_t found = 0;
    std::memcpy(&found, bytes.data() + headerSize + 8 + sizeof(typename Traits::Value), 4);
    EXPECT_EQ(found, rhash);
    for (std::size_t pad = headerSize + 12 + sizeof(typename Traits::Value);
         pad < headerSize + slotSize; ++pad) {
      EXPECT_EQ(bytes[pad], 0) << pad;
    }
    writer.cleanup();
    return slotSize;
  };
  EXPECT_EQ(rhashOffset(TestTraits<8>{}, 1), 24u);
  EXPECT_EQ(rhashOffset(TestTraits<12>{}, 2), 32u);
  EXPECT_EQ(rhashOffset(TestTraits<16>{}, 3), 32u);
  EXPECT_EQ(rhashOffset(TestTraits<20>{}, 4), 40u);
}

TEST(StoreGeometry, GrowsByDoublingToTheMaximumThenByTenPercent) {
  if (!pageIs4096()) GTEST_SKIP() << "geometry assumes 4096-byte pages";
  TempDir root;
  Attached8 writer("growth", sized(1000), root.path());
  std::vector<std::uint32_t> counts{writer.capacity()};
  for (std::uint32_t key = 0; key < 1211; ++key) {
    writer.write(Value8::make(key, 1), true);
    if (writer.capacity() != counts.back()) counts.push_back(writer.capacity());
  }
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{128, 256, 512, 1000, 1100, 1210, 1331}));
  EXPECT_EQ(readWord<std::uint32_t>(root.file("slots"), 584), 6u);  // one version per resize
  EXPECT_EQ(readWord<std::uint32_t>(root.file("slots"), 572), 1331u);
  EXPECT_EQ(readWord<std::uint32_t>(root.file("slots"), 592), 1211u);
  EXPECT_TRUE(writer.validate());
}

TEST(StoreGeometry, FullFixedSizeTableRefusesNewKeysButKeepsUpdating) {
  TempDir root;
  Attached8 writer("fixed", sized(64, true), root.path());
  EXPECT_EQ(writer.capacity(), 64u);
  fill(writer, 0, 64);
  EXPECT_THAT([&] { writer.write(Value8::make(1000, 1), true); },
              ::testing::ThrowsMessage<Brell::TableFullException>(::testing::StrEq(fmt::format(
                  "Brell table full (occupancy:64 tableSize:64) {}", root.path()))));
  EXPECT_EQ(readWord<std::uint16_t>(root.file("slots"), 558), 0u) << "critical section left open";
  EXPECT_EQ(writer.capacity(), 64u);
  auto const* updated = writer.write(Value8::make(5, 99), true);
  EXPECT_EQ(updated->generation(), 99u);
  EXPECT_EQ(contentsOf(writer).size(), 64u);
  EXPECT_TRUE(writer.validate());
}

TEST(StoreGeometry, WriteWithoutOverwriteReturnsTheStoredValueAndChangesNoVersion) {
  TempDir root;
  Attached8 writer("nooverwrite", sized(100), root.path());
  writer.write(Value8::make(7, 1), true);
  auto before = readFile(root.file("slots"));
  auto const* stored = writer.write(Value8::make(7, 2), false);
  EXPECT_EQ(stored->generation(), 1u);
  auto after = readFile(root.file("slots"));
  // Only the writer sequence (bytes 72..79) may differ.
  for (std::size_t offset = 0; offset < before.size(); ++offset) {
    if (offset >= 72 && offset < 80) continue;
    ASSERT_EQ(before[offset], after[offset]) << offset;
  }
}

TEST(StoreGeometry, CompactsToHalfWhenOccupancyFallsBelowAQuarter) {
  if (!pageIs4096()) GTEST_SKIP() << "geometry assumes 4096-byte pages";
  TempDir root;
  Attached8 writer("compaction", sized(1024), root.path());
  fill(writer, 0, 1024);
  ASSERT_EQ(writer.capacity(), 1024u);
  EXPECT_EQ(writer.shrinkThreshold(), 512u);
  // Remove the low keys first so that survivors sit in high slots and must move.
  std::uint32_t key = 0;
  for (; writer.members() > 256; ++key) writer.remove(key, nullptr);
  EXPECT_EQ(writer.capacity(), 1024u);
  writer.remove(key++, nullptr);
  EXPECT_EQ(writer.members(), 255u);
  EXPECT_EQ(writer.capacity(), 512u);
  EXPECT_EQ(writer.shrinkThreshold(), 256u);
  EXPECT_GT(writer.counters().moves, 0u);
  expectFilled(writer, key, 1024);
  Value8 value;
  Brell::IterHint hint;
  for (bool more = writer.first(value, hint); more; more = writer.next(value.key, value, hint)) {
    EXPECT_LT(hint.slotIndex, 512u);
  }
  EXPECT_EQ(readWord<std::uint32_t>(root.file("slots"), 588), 512u);
  EXPECT_TRUE(writer.validate());
}

// Walks bucket b's run in the writer's own mapping; returns its end reference.
template <class Writer>
std::uint32_t runEnd(Writer const& writer, std::uint32_t bucket, std::vector<std::uint32_t>* keys) {
  std::uint32_t reference =
      Brell::loadLink(writer.hashMap().bucketWriter().head(bucket)).value & ~Brell::kMarkFlag;
  while (!Brell::isEnd(reference)) {
    auto const* slot = writer.slotTable().slot(Brell::indexOf(reference));
    if (keys) keys->push_back(Writer::Slots::valueAt(slot)->key);
    reference = Brell::loadLink(slot).value & ~Brell::kMarkFlag;
  }
  return reference;
}

TEST(StoreGeometry, NinthMemberSplitsEightBucketsAndRemovalMergesThemBack) {
  TempDir root;
  Attached8 writer("split", sized(1000), root.path());
  // Keys of bucket 3 and 11 (under 16) so that bucket 3's run splits in two.
  std::vector<std::uint32_t> keys;
  for (std::uint32_t key = 0; keys.size() < 9; ++key) {
    std::uint32_t low = writer.hashMap().hashOf(key) & 15;
    std::size_t threes = std::count_if(keys.begin(), keys.end(), [&](std::uint32_t k) {
      return (writer.hashMap().hashOf(k) & 15) == 3;
    });
    if ((low == 3 && threes < 2) || (low == 11 && keys.size() - threes < 7) ||
        (keys.size() >= 4 && low != 3 && low != 11)) {
      keys.push_back(key);
    }
  }
  for (std::size_t index = 0; index < 8; ++index) writer.write(Value8::make(keys[index], 1), true);
  EXPECT_EQ(writer.buckets(), 8u);
  writer.write(Value8::make(keys[8], 1), true);
  ASSERT_EQ(writer.buckets(), 16u);
  EXPECT_EQ(readWord<std::uint32_t>(root.file("buckets"), 16), 1u);  // count version
  EXPECT_EQ(readWord<std::uint32_t>(root.file("buckets"), 20), 16u);
  std::vector<std::uint32_t> inThree;
  EXPECT_EQ(runEnd(writer, 3, &inThree), 0x80000000u | 11);
  for (auto key : inThree) EXPECT_EQ(writer.hashMap().hashOf(key) & 15, 3u) << key;
  for (std::uint32_t bucket = 0; bucket < 16; ++bucket) {
    std::vector<std::uint32_t> members;
    EXPECT_EQ(runEnd(writer, bucket, &members), Brell::runEnd(bucket, 16)) << bucket;
    for (auto key : members) EXPECT_EQ(writer.hashMap().hashOf(key) & 15, bucket);
  }
  EXPECT_TRUE(writer.validate());

  // Below a quarter of 16 members the table halves again, joining b + 8 onto b.
  for (std::size_t index = 0; writer.members() >= 4; ++index) writer.remove(keys[index], nullptr);
  EXPECT_EQ(writer.buckets(), 8u);
  EXPECT_EQ(readWord<std::uint32_t>(root.file("buckets"), 16), 2u);
  for (std::uint32_t bucket = 0; bucket < 8; ++bucket) {
    EXPECT_EQ(runEnd(writer, bucket, nullptr), Brell::runEnd(bucket, 8)) << bucket;
  }
  EXPECT_TRUE(writer.validate());
  for (std::size_t index = 0; index < keys.size(); ++index) {
    bool found = false;
    writer.lookup(keys[index], found, nullptr);
    EXPECT_EQ(found, index >= keys.size() - 3) << keys[index];
  }
}

}  // namespace
