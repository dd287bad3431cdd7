#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/asic/Assert.h"

namespace {

void guarded(int key) {
  ASIC_GRACEFUL_ASSERT(key < 2, "key < 2", "bad key {}", key);
}
void checked(int key) {
  ASIC_GRACEFUL_CHECK(key + 0 < 2, "bad key {}", key);
}

TEST(GracefulAssert, ThrowsTheAssertionTextInGracefulMode) {
  Asic::modeIs(Asic::AssertMode::graceful);
  EXPECT_NO_THROW(guarded(1));
  EXPECT_THAT([] { guarded(7); },
              ::testing::ThrowsMessage<Asic::OrderedTableException>(
                  ::testing::AllOf(::testing::StartsWith("AssertionError at AssertTest.cc:"),
                                   ::testing::HasSubstr(" (key < 2) - bad key 7"))));
  // The _CHECK form quotes the condition as written.
  EXPECT_NO_THROW(checked(1));
  EXPECT_THAT([] { checked(5); }, ::testing::ThrowsMessage<Asic::OrderedTableException>(
                                      ::testing::HasSubstr(" (key + 0 < 2) - bad key 5")));
}

TEST(GracefulAssertDeathTest, EndsTheProcessInAssertMode) {
  EXPECT_DEATH(
      {
        Asic::modeIs(Asic::AssertMode::assert);
        guarded(9);
      },
      "AssertionError at AssertTest.cc:[0-9]+ \\(key < 2\\) - bad key 9");
}

TEST(AssertModeDeathTest, OnlyTheExactWordSelectsAssertMode) {
  // Each case re-executes the test program, so the child starts with the mode unset.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  using enum Asic::AssertMode;
  for (auto [value, mode] : {std::pair{"assert ", graceful}, {"ASSERT", graceful}, {"", graceful},
                             {"graceful", graceful}, {"assert", assert}}) {
    EXPECT_EXIT(
        {
          setenv("GRACEFUL_ASSERT_MODE", value, 1);
          std::exit(Asic::modeFromEnvironmentOnce() == mode ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << "'" << value << "'";
  }
}

}  // namespace
