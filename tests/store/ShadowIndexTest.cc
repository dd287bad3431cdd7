

#include "store/BrellShadow.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using Traits = StoreTest::TestTraits<8>;

// --- the local hash map alone ---------------------------------------------------------

using Slot = Brell::KeyShadowSlot<Traits>;
using LocalMap = Brell::ShadowHashMap<Traits, Slot>;

std::vector<std::uint32_t> chainOrder(LocalMap const& map, std::vector<Slot> const& slots) {
  std::vector<std::uint32_t> order;
  for (std::uint32_t at = map.firstFrom(0); at != Brell::kNoShadowSlot;
       at = map.next(slots.data(), slots[at].key)) {
    order.push_back(at);
  }
  return order;
}

TEST(ShadowHashMap, KeepsListOrderThroughGrowthShrinkAndRelinks) {
  Brell::ShadowCounters counters;
  LocalMap map(counters);
  map.initialize(12345);
  EXPECT_EQ(map.numBuckets(), 2u);
  std::vector<Slot> slots(4096);
  std::mt19937 random(7);
  std::map<std::uint32_t, std::uint32_t> slotOfKey;
  for (std::uint32_t index = 0; index < 3000; ++index) {
    std::uint32_t key = random();
    if (slotOfKey.count(key)) continue;
    slots[index].key = key;
    EXPECT_TRUE(map.write(index, slots.data(), false));
    slotOfKey[key] = index;
  }
  EXPECT_EQ(map.members(), slotOfKey.size());
  EXPECT_GE(map.numBuckets() * 1u, map.members() / 2);
  auto isSorted = [&] {
    auto order = chainOrder(map, slots);
    if (order.size() != map.members()) return false;
    for (std::size_t at = 1; at < order.size(); ++at) {
      Slot const& before = slots[order[at - 1]];
      Slot const& after = slots[order[at]];
      if (before.rhash > after.rhash || (before.rhash == after.rhash && before.key >= after.key)) {
        return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(isSorted());
  for (auto [key, index] : slotOfKey) ASSERT_EQ(map.find(slots.data(), key), index);
  // Writing the same key in the same slot changes nothing and answers the flag.
  std::uint32_t someKey = slotOfKey.begin()->first;
  std::uint32_t someSlot = slotOfKey.begin()->second;
  EXPECT_FALSE(map.write(someSlot, slots.data(), false));
  EXPECT_TRUE(map.write(someSlot, slots.data(), true));
  // A key showing up in another slot moves there; the old slot is reset.
  slots[4000].key = someKey;
  EXPECT_TRUE(map.write(4000, slots.data(), false));
  EXPECT_EQ(map.find(slots.data(), someKey), 4000u);
  EXPECT_TRUE(slots[someSlot].empty());
  EXPECT_EQ(counters.relinks, 1u);
  EXPECT_EQ(map.coveringSlotCount(), 4096u);  // slot 4000 is in class [2048, 4096)
  EXPECT_TRUE(isSorted());
  slotOfKey[someKey] = 4000;
  // Remove all but the lowest few: buckets shrink, order and lookups hold.
  std::uint32_t bucketsBefore = map.numBuckets();
  for (auto [key, index] : slotOfKey) {
    if (index >= 3) {
      EXPECT_TRUE(map.remove(index, slots.data()));
    }
  }
  EXPECT_FALSE(map.remove(4000, slots.data()));  // dead slot
  EXPECT_LT(map.numBuckets(), bucketsBefore);
  EXPECT_TRUE(isSorted());
  EXPECT_EQ(map.coveringSlotCount(), 4u);
  for (auto [key, index] : slotOfKey) {
    EXPECT_EQ(map.find(slots.data(), key), index < 3 ? index : Brell::kNoShadowSlot);
  }
}

}  // namespace

// --- the finder alone ------------------------------------------------------------------

// Random links, moves and unlinks against a model: every key of a small key space is
// found exactly where the model has it (or not at all) through growth from empty,
// shrinks back, and removals from the middle of clusters that wrap around the end.
TEST(ShadowSlotFinder, AgreesWithAModelThroughGrowthShrinkAndRemovalsInsideClusters) {
  Brell::ShadowSlotFinder<Traits> finder;
  EXPECT_EQ(finder.find(5), Brell::ShadowSlotFinder<Traits>::kNone);
  finder.erase(5);  // nothing to remove: no change
  std::map<std::uint32_t, std::uint32_t> model;
  std::mt19937 random(29);
  auto check = [&](int step) {
    ASSERT_EQ(finder.size(), model.size()) << "step " << step;
    for (std::uint32_t key = 0; key < 400; ++key) {
      auto it = model.find(key);
      std::uint32_t expected = it == model.end() ? Brell::ShadowSlotFinder<Traits>::kNone
                                                 : it->second;
      ASSERT_EQ(finder.find(key), expected) << "key " << key << " at step " << step;
    }
  };
  for (int step = 0; step < 6000; ++step) {
    // Phases that fill towards 400 keys and drain towards none, so the table grows
    // and shrinks several times.
    bool filling = (step / 1000) % 2 == 0;
    std::uint32_t key = random() % 400;
    if (random() % 4 != 0 ? filling : !filling) {
      std::uint32_t slot = random() % 100000;
      finder.set(key, slot);
      model[key] = slot;
    } else {
      finder.erase(key);
      model.erase(key);
    }
    if (step % 97 == 0) check(step);
  }
  check(6000);
  for (auto const& [key, slot] : model) finder.erase(key);
  EXPECT_EQ(finder.size(), 0u);
  EXPECT_EQ(finder.find(model.begin()->first), Brell::ShadowSlotFinder<Traits>::kNone);
  finder.clear();
  // Empty again: every probe ends at once, wherever its key's hash starts it.
  for (std::uint32_t key = 0; key < 64; ++key) {
    EXPECT_EQ(finder.find(key), Brell::ShadowSlotFinder<Traits>::kNone);
  }
  finder.set(3, 9);
  EXPECT_EQ(finder.find(3), 9u);
}
