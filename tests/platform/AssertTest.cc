// Assertions: the graceful text in graceful mode, the process ends in assert mode.
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
  try {
    guarded(7);
    FAIL();
  } catch (Asic::OrderedTableException const& error) {
    std::string text = error.what();
    EXPECT_EQ(text.rfind("AssertionError at AssertTest.cc:", 0), 0u) << text;
    EXPECT_NE(text.find(" (key < 2) - bad key 7"), std::string::npos) << text;
  }
  // The _CHECK form quotes the condition as written.
  EXPECT_NO_THROW(checked(1));
  try {
    checked(5);
    FAIL();
  } catch (Asic::OrderedTableException const& error) {
    EXPECT_NE(std::string(error.what()).find(" (key + 0 < 2) - bad key 5"), std::string::npos);
  }
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
  for (auto const* value : {"assert ", "ASSERT", "", "graceful"}) {
    EXPECT_EXIT(
        {
          setenv("GRACEFUL_ASSERT_MODE", value, 1);
          std::exit(Asic::modeFromEnvironmentOnce() == Asic::AssertMode::graceful ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << "'" << value << "'";
  }
  EXPECT_EXIT(
      {
        setenv("GRACEFUL_ASSERT_MODE", "assert", 1);
        std::exit(Asic::modeFromEnvironmentOnce() == Asic::AssertMode::assert ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
