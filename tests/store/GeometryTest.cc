// Offsets are checked on the raw files, since other processes depend on them.
#include "tests/store/StoreTestSupport.h"

namespace GeometryTests {

using namespace StoreTest;

TEST(StoreGeometry, NewTableFillsOnePageEachBucketHeadEndsAnEmptyRunAndGrowthDoublesThenAddsTenPercent) {
  if (::sysconf(_SC_PAGESIZE) != 4096) GTEST_SKIP() << "geometry assumes 4096-byte pages";
  TempDir root;
  Attached8 writer("geometry", sized(1000), root.path());
  auto slots = root.file("slots");
  EXPECT_EQ(writer.minSize(), 128u);
  EXPECT_EQ(readFile(slots).size(), 632u + 128u * 24u);
  EXPECT_EQ(readWord<std::uint32_t>(slots, 16), writer.pyrelId().value());
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
  // Slot counts as the file records them (offset 588), after each growth.
  std::vector<std::uint32_t> counts{readWord<std::uint32_t>(slots, 588)};
  for (std::uint32_t key = 0; key < 1211; ++key) {
    writer.write(Value8::make(key, 1), true);
    if (writer.capacity() != counts.back()) counts.push_back(readWord<std::uint32_t>(slots, 588));
  }
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{128, 256, 512, 1000, 1100, 1210, 1331}));
  EXPECT_EQ(readWord<std::uint32_t>(slots, 584), 6u);  // one version per resize
  EXPECT_EQ(readWord<std::uint32_t>(slots, 572), 1331u);
  EXPECT_EQ(readWord<std::uint32_t>(slots, 592), 1211u);
  EXPECT_TRUE(writer.validate());
}

}  // namespace GeometryTests
