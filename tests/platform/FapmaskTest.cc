#include <gtest/gtest.h>

#include "platform/pelcar/Fapmask.h"
#include "platform/vorl/Exceptions.h"

namespace {

using Pelcar::FapId;
using Pelcar::Fapmask;

TEST(Fapmask, TextFoldsRunsAndTheFirstAndTheLastFapAreMembersLikeAnyOther) {
  EXPECT_EQ(Pelcar::valueToStrep(Fapmask::of({0, 1, 2, 3, 7, 9, 10})), "{0-3,7,9-10}");
  EXPECT_EQ(fmt::format("{}", Fapmask::of({5})), "{5}");
  auto ends = Fapmask::of({0, 255});
  EXPECT_EQ(Pelcar::valueToStrep(ends), "{0,255}");
  EXPECT_EQ(ends.fapIds(), (std::vector<FapId>{FapId(0), FapId(255)}));
  Fapmask all;
  for (std::uint32_t id = 0; id < Fapmask::kMaxFaps; ++id) all.fapIdIs(FapId(id), true);
  EXPECT_EQ(Pelcar::valueToStrep(all), "{0-255}");
  auto last = all;
  last &= Fapmask::of({255});
  EXPECT_EQ(last, Fapmask::of({255}));
  all.fapIdIs(FapId(0), false);
  EXPECT_EQ(Pelcar::valueToStrep(all), "{1-255}");
}

TEST(Fapmask, IdBeyondTheMaskIsRefusedAndChangesNothing) {
  auto mask = Fapmask::of({1});
  EXPECT_THROW(mask.fapIdIs(FapId(256), true), Vorl::RangeException);
  EXPECT_THROW(mask.fapIdIs(FapId(256), false), Vorl::RangeException);
  EXPECT_THROW(Fapmask::of({1, 256}), Vorl::RangeException);
  EXPECT_EQ(mask, Fapmask::of({1}));
  EXPECT_FALSE(mask.fapId(FapId(1000)));
}

}  // namespace
