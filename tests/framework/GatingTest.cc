// Gating: an empty applicable mask builds nothing and says so at level 8.
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

TEST(Gating, EmptyApplicableMaskIsNotApplicable) {
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
  Vorl::traceConfigIs("");
}

TEST(Gating, CommandsAreBuiltForTheApplicableMaskOnly) {
  auto served = Pelcar::Fapmask::of({0, 1});
  auto requested = Pelcar::Fapmask::of({1, 2});
  auto applicable = served;
  applicable &= requested;
  auto gated = Framework::gateFapmask(applicable, Tessar::HwShadowKey(1), requested,
                                      Vorl::traceHandle("GatingTest"),
                                      Framework::GatingSite::downloadFapmask);
  ASSERT_TRUE(gated);
  EXPECT_EQ(*gated, Pelcar::Fapmask::of({1}));
}

}  // namespace
