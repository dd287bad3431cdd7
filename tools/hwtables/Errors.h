// How the tool words its errors: one style for every command.
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
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Tool {

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

}  // namespace Tool
