// Offsets are checked on the raw files, since other processes depend on them.
#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;

bool pageIs4096() {
  return ::sysconf(_SC_PAGESIZE) == 4096;
}

TEST(StoreGeometry, NewTableFillsOnePageAndEachBucketHeadEndsAnEmptyRun) {
  if (!pageIs4096()) GTEST_SKIP() << "geometry assumes 4096-byte pages";
  TempDir root;
  Attached8 writer("geometry", sized(1000), root.path());
  auto slots = root.file("slots");
  EXPECT_EQ(writer.capacity(), 128u);
  EXPECT_EQ(writer.minSize(), 128u);
  EXPECT_EQ(readFile(slots).size(), 632u + 128u * 24u);
  EXPECT_EQ(readWord<std::uint32_t>(slots, 16), writer.pyrelId().value());
  EXPECT_EQ(readWord<std::uint32_t>(slots, 588), 128u);  // slot count
  EXPECT_LT(readWord<std::uint32_t>(slots, 576), 0x7FFFFFFFu);  // hash seed
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

}  // namespace
