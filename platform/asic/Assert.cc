#include "platform/asic/Assert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Asic {
namespace {

// Bit 0: set, bit 1: assert mode. One word so that readers never see a half-set mode.
std::atomic<int> modeWord{0};

}  // namespace

AssertMode mode() {
  return (modeWord.load(std::memory_order_acquire) & 2) ? AssertMode::assert
                                                        : AssertMode::graceful;
}

void modeIs(AssertMode newMode) {
  modeWord.store(1 | (newMode == AssertMode::assert ? 2 : 0), std::memory_order_release);
}

bool modeIsSet() { return (modeWord.load(std::memory_order_acquire) & 1) != 0; }

AssertMode modeFromEnvironmentOnce() {
  if (!modeIsSet()) {
    char const* value = std::getenv("GRACEFUL_ASSERT_MODE");
    bool assertMode = value != nullptr && std::strcmp(value, "assert") == 0;
    int expected = 0;
    modeWord.compare_exchange_strong(expected, 1 | (assertMode ? 2 : 0),
                                     std::memory_order_acq_rel);
  }
  return mode();
}

std::string assertionText(std::string_view file, int line, std::string_view condition,
                          std::string_view message) {
  if (auto slash = file.rfind('/'); slash != std::string_view::npos) file.remove_prefix(slash + 1);
  return fmt::format("AssertionError at {}:{} ({}) - {}", file, line, condition, message);
}

void gracefulAssertFailed(char const* file, int line, std::string_view condition,
                          std::string_view message) {
  if (mode() == AssertMode::assert) fatalAssertFailed(file, line, condition, message);
  throw GracefulAssertException(assertionText(file, line, condition, message));
}

void fatalAssertFailed(char const* file, int line, std::string_view condition,
                       std::string_view message) {
  std::string text = assertionText(file, line, condition, message);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace Asic
