#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/Gating.h"

namespace {

struct CapturedTraces {
  CapturedTraces() {
    Vorl::traceSinkIs([this](std::string_view handle, int level, std::string_view text) {
      lines.push_back(std::string(handle) + "/" + std::to_string(level) + ":" + std::string(text));
    });
  }
  ~CapturedTraces() { Vorl::traceSinkIs({}); }
  std::vector<std::string> lines;
};

TEST(Gating, AnEmptyApplicableMaskIsNotApplicableAndAnyOtherPassesWholeAndSilently) {
  CapturedTraces traces;
  Vorl::traceConfigIs("GatingTest=8");
  auto const& handle = Vorl::traceHandle("GatingTest");
  auto requested = Pelcar::Fapmask::of({2, 3});
  EXPECT_FALSE(Framework::gateFapmask(Pelcar::Fapmask(), Tessar::HwShadowKey(0x0102), requested,
                                      handle, Framework::GatingSite::downloadFapmask));
  EXPECT_FALSE(Framework::gateFapmask(Pelcar::Fapmask(), Tessar::HwShadowKey(1), requested, handle,
                                      Framework::GatingSite::fapMask));
  EXPECT_EQ(traces.lines,
            (std::vector<std::string>{
                "GatingTest/8: hwShadowKey: 258 not applicable for downloadFapmask: {2-3}",
                "GatingTest/8: hwShadowKey: 1 not applicable for fapMask: {2-3}"}));
  traces.lines.clear();
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
  EXPECT_TRUE(traces.lines.empty());
  Vorl::traceConfigIs("");
}

// The texts are cached per thread: a changed mask or revision must never print the
// previous one.
TEST(DownloadTexts, FollowEveryChangeOfMaskAndRevision) {
  using Hardware::Sand::FapRevision;
  using Hardware::Sand::FapRevMajor;
  auto a0 = Hardware::Sand::bcm88490_a0Revision;
  FapRevision b0(FapRevMajor::FAPR_bcm88490_b0);
  struct Step {
    FapRevision revision;
    Pelcar::Fapmask mask;
    std::string revisionText;
    std::string maskText;
  };
  for (auto const& step :
       std::vector<Step>{{a0, Pelcar::Fapmask::of({0, 1}), "bcm88490_a0", "{0-1}"},
                         {a0, Pelcar::Fapmask::of({1}), "bcm88490_a0", "{1}"},
                         {b0, Pelcar::Fapmask::of({1}), "bcm88490_b0", "{1}"},
                         {a0, Pelcar::Fapmask(), "bcm88490_a0", "{}"},
                         {a0, Pelcar::Fapmask::of({255}), "bcm88490_a0", "{255}"}}) {
    auto texts = Framework::downloadTexts(step.revision, step.mask);
    EXPECT_EQ(texts.revision, step.revisionText);
    EXPECT_EQ(texts.mask, step.maskText);
  }
}

}  // namespace
