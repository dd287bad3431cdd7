#include <gtest/gtest.h>

#include "framework/Gating.h"

namespace {

TEST(Gating, AnEmptyApplicableMaskIsNotApplicableAndAnyOtherPassesWhole) {
  auto const& handle = Vorl::traceHandle("GatingTest");
  auto requested = Pelcar::Fapmask::of({2, 3});
  EXPECT_FALSE(Framework::gateFapmask(Pelcar::Fapmask(), Tessar::HwShadowKey(0x0102), requested,
                                      handle, Framework::GatingSite::downloadFapmask));
  EXPECT_FALSE(Framework::gateFapmask(Pelcar::Fapmask(), Tessar::HwShadowKey(1), requested, handle,
                                      Framework::GatingSite::fapMask));
  // The first and the last FAP alone, and a mask the request does not even name:
  // the applicable mask is the caller's answer and is never narrowed again here.
  for (auto applicable :
       {Pelcar::Fapmask::of({0}), Pelcar::Fapmask::of({255}), Pelcar::Fapmask::of({0, 7, 255})}) {
    auto gated =
        Framework::gateFapmask(applicable, Tessar::HwShadowKey(1), Pelcar::Fapmask::of({3}), handle,
                               Framework::GatingSite::downloadFapmask);
    ASSERT_TRUE(gated);
    EXPECT_EQ(*gated, applicable);
  }
}

}  // namespace
