#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Trace.h"

namespace {

TEST(Trace, PatternsLevelsAndRanges) {
  Vorl::traceConfigIs("TraceTestA*=0-2,TraceTestB=5,TraceTestB=8");
  EXPECT_EQ(Vorl::traceHandle("TraceTestAlpha").mask(), 0b111u);
  EXPECT_EQ(Vorl::traceHandle("TraceTestB").mask(), (1u << 5) | (1u << 8));
  EXPECT_EQ(Vorl::traceHandle("TraceTestC").mask(), 0u);
  EXPECT_FALSE(Vorl::traceHandle("TraceTestB").enabled(10));
  Vorl::traceConfigIs("");
  EXPECT_EQ(Vorl::traceHandle("TraceTestAlpha").mask(), 0u);
}

TEST(Trace, MalformedConfigIsRefusedAndKeepsTheOldOne) {
  Vorl::traceConfigIs("TraceTestD=3");
  EXPECT_THROW(Vorl::traceConfigIs("TraceTestD=x"), Vorl::RangeException);
  EXPECT_THROW(Vorl::traceConfigIs("=3"), Vorl::RangeException);
  EXPECT_THROW(Vorl::traceConfigIs("TraceTestD=7-2"), Vorl::RangeException);
  EXPECT_EQ(Vorl::traceHandle("TraceTestD").mask(), 1u << 3);
  Vorl::traceConfigIs("");
}

TEST(Trace, LevelOffEvaluatesNothing) {
  std::vector<std::string> lines;
  Vorl::traceSinkIs([&lines](std::string_view handle, int level, std::string_view text) {
    lines.push_back(fmt::format("{}/{} {}", handle, level, text));
  });
  Vorl::traceConfigIs("TraceTestE=3");
  int evaluated = 0;
  auto expensive = [&evaluated] { return ++evaluated; };
  auto const& handle = Vorl::traceHandle("TraceTestE");
  VORL_TRACE(handle, 8, "value {}", expensive());
  EXPECT_EQ(evaluated, 0);
  VORL_TRACE(handle, 3, "value {}", expensive());
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(lines, std::vector<std::string>{"TraceTestE/3 value 1"});
  Vorl::traceSinkIs({});
  Vorl::traceConfigIs("");
}

}  // namespace
