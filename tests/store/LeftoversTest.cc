#include <cstdio>

#include "tests/store/StoreTestSupport.h"

namespace LeftoversTests {

TEST(StoreTestHygiene, TheDeathTestsLeaveNoDirectoryBehind) {
  if (std::getenv("HWTABLES_DEATH_TEST_ROOT") != nullptr) GTEST_SKIP() << "inside a death test";
  StoreTest::TempDir scratch;  // the death tests make their directories in here
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("HWTABLES_TEST_TMP", scratch.path().c_str(), 1);
    // This very test program, running only the death tests, its output discarded.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(126);
    if (std::freopen("/dev/null", "w", stderr) == nullptr) ::_exit(126);
    // The death tests start the program again by its argv[0]: give it the real path.
    auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    ::execl(self.c_str(), self.c_str(), "--gtest_filter=StoreLifecycleDeath.*",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (auto const& entry : std::filesystem::directory_iterator(scratch.path())) {
    ADD_FAILURE() << "left behind: " << entry.path();
  }
}

}  // namespace LeftoversTests
