#include "store/ShadowSlotFinder.h"
#include "tests/store/StoreTestSupport.h"

namespace ShadowSlotFinderTests {

using Traits = StoreTest::TestTraits<8>;

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

}  // namespace ShadowSlotFinderTests
