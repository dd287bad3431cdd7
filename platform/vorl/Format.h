// Formatted text into a {fmt} formatter's output, for the fmt::formatter
// specialisations of this project's types.
//
// fmt::format_to instantiates {fmt}'s whole formatting engine (integers, floats,
// padding, escapes: some 80 KB of code) in every unit that uses it, which costs
// about 3 s of compile time per unit at -O2 -g; fmt::format goes through the
// engine compiled once in libfmt. A formatter's output is small and formatted only
// when a trace or message asks for it, so the extra string costs nothing that
// matters.
//
// Thread-safety: none needed (no state).
#pragma once

#include <algorithm>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace Vorl {

template <class... Args>
fmt::format_context::iterator formatTo(fmt::format_context::iterator out,
                                       fmt::format_string<Args...> format, Args&&... args) {
  std::string text = fmt::format(format, std::forward<Args>(args)...);
  return std::copy(text.begin(), text.end(), out);
}

}  // namespace Vorl
