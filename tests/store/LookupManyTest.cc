#include <algorithm>

#include "tests/store/StoreTestSupport.h"

namespace LookupManyTests {

using namespace StoreTest;

template <std::size_t V>
void batchesMatchSingleLookups() {
  using Traits = TestTraits<V>;
  using Value = typename Traits::Value;
  TempDir root;
  Attached<Brell::BrellWriter<Traits>> writer("many", sized(4000), root.path());
  // Present: the even keys below 3000; absent: the odd ones and everything above.
  for (std::uint32_t key = 0; key < 3000; key += 2) writer.write(Value::make(key, key + 1), true);
  Brell::BrellReader<Traits> reader("many", root.path());
  // Unattached, a batch is refused as a single lookup is (an empty one asks nothing).
  std::uint32_t const some[] = {1, 2, 3};
  std::array<Value, 3> someValues;
  bool someFound[3];
  EXPECT_EQ(reader.lookupMany(std::span(some, 0), someValues.data(), someFound), 0u);
  EXPECT_THROW(reader.lookupMany(some, someValues.data(), someFound),
               Vorl::InvalidInitializeException);
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

TEST(StoreLookupMany, BatchesOfAnySizeGiveTheAnswersOfSingleLookupsAndAreRefusedUnattached) {
  batchesMatchSingleLookups<8>();
  batchesMatchSingleLookups<12>();
  batchesMatchSingleLookups<16>();
  batchesMatchSingleLookups<20>();
}

}  // namespace LookupManyTests
