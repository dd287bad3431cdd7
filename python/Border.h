// What every binding of the `hwtables._hwtables` extension shares at the language
// border: errors raised as the package's exceptions, and the checks that turn Python
// values into single console words.
//
//   - an error crosses as the package's exception of its kind (errorKind() in
//     tools/hwtables/Errors.h), raised by the package's `_raise`;
//   - a console word built from a Python value is exactly one word as the console
//     splits lines, so that no argument can smuggle in another word or a comment.
//
// Needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "tools/hwtables/Errors.h"

namespace PyHwtables {

// Raises the package's exception of `kind` with the message, the system's own text
// and (for a refused or failed command) the whole reply.
[[noreturn]] void raise(std::string_view kind, std::string const& message,
                        std::string const& detail = {},
                        pybind11::object reply = pybind11::none());

// Runs `work` and turns the C++ exceptions of the tool and the agent into the
// package's; Python's own errors pass through.
template <typename Work>
auto translated(Work&& work) -> decltype(work()) {
  std::string kind;
  Tool::ErrorReport report;
  try {
    return work();
  } catch (pybind11::error_already_set const&) {
    throw;
  } catch (pybind11::builtin_exception const&) {
    throw;
  } catch (std::exception const& error) {
    kind = Tool::errorKind(error);
    report = Tool::errorReport(error);
  }
  raise(kind, report.message, report.detail);
}

// `text` when it is one console word; UsageError naming `what` otherwise.
std::string word(std::string const& text, std::string_view what);
// A bool, a non-negative int or a one-word str as a console word.
std::string numberWord(pybind11::handle value, std::string_view what);
// A key as the console takes it: its text form, an int (a single-index key's value),
// an (arrayIndex, entryIndex) pair, or a dict of the key's attributes.
std::string keyWord(pybind11::handle key);

// The store root a call names, or the default one.
std::string rootOr(std::string const& root);

}  // namespace PyHwtables
