// Graceful and fatal assertions, and the process-wide assertion mode.
//
// A graceful assertion guards a precondition a caller can violate (an unknown
// shadow key, an out-of-bounds entry). In graceful mode (the default) it throws
// GracefulAssertException with the text "AssertionError at <file>:<line> (<condition>)
// - <message>" and the operation leaves its state unchanged. In assert mode the same
// text goes to stderr and the process aborts. A fatal assertion always aborts: it
// guards states that cannot be continued from.
//
// The mode is set once per process (by the first table module, from the environment
// variable GRACEFUL_ASSERT_MODE) and read everywhere after.
#pragma once

#include "platform/plugin/Export.h"

#include <atomic>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Asic {

enum class AssertMode : int { graceful = 0, assert = 1 };

// The process-wide mode. `modeIsSet()` tells whether some module fixed it already.
HWTABLES_API AssertMode mode();
HWTABLES_API void modeIs(AssertMode mode);
HWTABLES_API bool modeIsSet();
// Reads GRACEFUL_ASSERT_MODE once: exactly "assert" selects assert mode. Later calls
// keep the first value.
HWTABLES_API AssertMode modeFromEnvironmentOnce();

class HWTABLES_API OrderedTableException : public Vorl::Exception {
 public:
  using Vorl::Exception::Exception;
};

class HWTABLES_API GracefulAssertException : public OrderedTableException {
 public:
  using OrderedTableException::OrderedTableException;
};

// "AssertionError at {}:{} ({}) - {}" with the file's base name.
HWTABLES_API std::string assertionText(std::string_view file, int line, std::string_view condition,
                          std::string_view message);

[[noreturn]] HWTABLES_API void gracefulAssertFailed(char const* file, int line, std::string_view condition,
                                       std::string_view message);
[[noreturn]] HWTABLES_API void fatalAssertFailed(char const* file, int line, std::string_view condition,
                                    std::string_view message);

}  // namespace Asic

// The condition text is passed separately where the message must name the
// precondition as the system words it (a text other processes or tests rely on),
// independent of how the C++ expression is formatted. Everywhere else use the
// _CHECK forms below, which quote the condition itself so the two cannot drift.
#define ASIC_GRACEFUL_ASSERT(condition, conditionText, ...)                                 \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      ::Asic::gracefulAssertFailed(__FILE__, __LINE__, conditionText,                       \
                                   ::fmt::format(__VA_ARGS__));                             \
    }                                                                                       \
  } while (0)

#define ASIC_FATAL_ASSERT(condition, conditionText, ...)                                    \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      ::Asic::fatalAssertFailed(__FILE__, __LINE__, conditionText,                          \
                                ::fmt::format(__VA_ARGS__));                                \
    }                                                                                       \
  } while (0)

// As above, with the condition's own source text as the condition text.
#define ASIC_GRACEFUL_CHECK(condition, ...) \
  ASIC_GRACEFUL_ASSERT(condition, #condition, __VA_ARGS__)
#define ASIC_FATAL_CHECK(condition, ...) ASIC_FATAL_ASSERT(condition, #condition, __VA_ARGS__)
