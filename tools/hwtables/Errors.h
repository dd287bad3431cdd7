// How the tool words its errors: one style for every command, and the failures the
// commands report with the exit status each gives (main.cc).
//
// An error is one line on stderr, "hwtables: <message>", in the user's words and
// with the numbers that matter ("row 8 is outside 0..7"); with --json it is one JSON
// document instead, {"error": ..., "exitStatus": ..., "detail": ...}, where "detail"
// keeps the system's own text when the message translates one. Exit status 2 for
// bad input (nothing was changed), 1 for a check that ran and failed.
//
// Text that came from the user or from a file is shown through shown(): made
// printable and cut short, so that a long or binary argument cannot flood a
// terminal or hide the message.
//
// Apart from Command.h so that code which only reports failures does not include
// CLI11 (its header defines objects in every unit that includes it, some 7 s of
// compile time per unit at -O2 -g), and with only the JSON library's declarations
// for the same reason.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json_fwd.hpp>

namespace Tool {

// A command's failure, in the user's words; `detail` keeps the system's own text
// when the message translates one (a key's range message, an assertion), and the
// JSON form of the error carries it.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(std::string const& message, std::string detail = {})
      : std::runtime_error(message), detail_(std::move(detail)) {}
  std::string const& detail() const { return detail_; }

 private:
  std::string detail_;
};

// A failure the user can fix (bad argument, missing file): main prints
// "hwtables: <message>" on stderr and exits with status 2. Nothing was changed.
struct UsageError : ToolError {
  using ToolError::ToolError;
};

// Bad input that names a value outside the range it must be in (a field value too
// wide for its field, a key the chip has no row for, a FAP id above 255): a
// UsageError, told apart for front-ends that sort errors finer (the Python package).
struct RangeError : UsageError {
  using UsageError::UsageError;
};

// A check that ran and failed (a demo verification, an invalid store, work that was
// not all done): exit status 1.
struct CheckFailed : ToolError {
  using ToolError::ToolError;
};

// Another process has what the command needs (a store's writer lock): exit status 1,
// and trying again later may work.
struct Busy : CheckFailed {
  using CheckFailed::CheckFailed;
};

// `text` made printable (bytes outside printable ASCII become \xNN) and, when longer
// than `limit` characters, cut to them with "..." and the count left out. Without a
// limit, the text of a file made safe to print (StoreReport's printable()).
std::string shown(std::string_view text, std::size_t limit = 64);

// The system's message without the assertion's source position: of
// "AssertionError at F:L (C) - M", the M; other texts unchanged.
std::string withoutSourcePosition(std::string const& text);

struct ErrorReport {
  std::string message;  // one line, for people
  std::string detail;   // the system's own text, when the message translates one
  int exitStatus = 1;

  std::string toText() const;  // "hwtables: <message>"
  nlohmann::json toJson() const;
};

// The report of an exception that ended a command.
ErrorReport errorReport(std::exception const& error);

// The kind of an exception, for front-ends that answer each kind its own way:
// "usage", "range", "assertion" (the tables' own checks), "corruption" (a damaged
// store), "busy", "chip" (the chip refused or is gone) or "check" (anything else that
// ran and failed).
std::string_view errorKind(std::exception const& error);

}  // namespace Tool
