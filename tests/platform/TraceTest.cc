#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Trace.h"

namespace {

TEST(Trace, PatternsLevelsAndRangesAndAMalformedConfigKeepsTheOldOne) {
  Vorl::traceConfigIs("TraceTestA*=0-2,TraceTestB=5,TraceTestB=8");
  EXPECT_EQ(Vorl::traceHandle("TraceTestAlpha").mask(), 0b111u);
  EXPECT_EQ(Vorl::traceHandle("TraceTestB").mask(), (1u << 5) | (1u << 8));
  EXPECT_EQ(Vorl::traceHandle("TraceTestC").mask(), 0u);
  EXPECT_FALSE(Vorl::traceHandle("TraceTestB").enabled(10));
  Vorl::traceConfigIs("");
  EXPECT_EQ(Vorl::traceHandle("TraceTestAlpha").mask(), 0u);

  // A malformed configuration is refused and the old one kept.
  Vorl::traceConfigIs("TraceTestD=3");
  EXPECT_THROW(Vorl::traceConfigIs("TraceTestD=x"), Vorl::RangeException);
  EXPECT_THROW(Vorl::traceConfigIs("=3"), Vorl::RangeException);
  EXPECT_THROW(Vorl::traceConfigIs("TraceTestD=7-2"), Vorl::RangeException);
  EXPECT_EQ(Vorl::traceHandle("TraceTestD").mask(), 1u << 3);
  Vorl::traceConfigIs("");
}

}  // namespace
