#include "tools/hwtables/Names.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

namespace Tool {
namespace {

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& character : result) {
    character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
  }
  return result;
}

}  // namespace

bool equalIgnoringCase(std::string_view left, std::string_view right) {
  return left.size() == right.size() && lower(left) == lower(right);
}

std::size_t editDistance(std::string_view left, std::string_view right) {
  std::vector<std::size_t> row(right.size() + 1);
  for (std::size_t column = 0; column <= right.size(); ++column) row[column] = column;
  for (std::size_t line = 1; line <= left.size(); ++line) {
    std::size_t diagonal = row[0];
    row[0] = line;
    for (std::size_t column = 1; column <= right.size(); ++column) {
      std::size_t above = row[column];
      row[column] = std::min({above + 1, row[column - 1] + 1,
                              diagonal + (left[line - 1] == right[column - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[right.size()];
}

std::string nearestName(std::string_view word, std::vector<std::string> const& candidates) {
  if (word.empty() || candidates.empty()) return {};
  // Long input is no typo of a name; comparing it would only cost time.
  if (word.size() > 4 * 64) return {};
  auto wanted = lower(word);
  std::vector<std::string> containing;
  for (auto const& candidate : candidates) {
    if (lower(candidate).find(wanted) != std::string::npos) containing.push_back(candidate);
  }
  if (containing.size() == 1 && wanted.size() >= 3) return containing.front();
  auto nearest = std::min_element(
      candidates.begin(), candidates.end(), [&wanted](auto const& left, auto const& right) {
        return editDistance(wanted, lower(left)) < editDistance(wanted, lower(right));
      });
  auto distance = editDistance(wanted, lower(*nearest));
  return distance <= std::max<std::size_t>(2, word.size() / 3) ? *nearest : std::string();
}

std::string didYouMean(std::string_view word, std::vector<std::string> const& candidates) {
  auto name = nearestName(word, candidates);
  return name.empty() ? std::string() : fmt::format(" (did you mean '{}'?)", name);
}

}  // namespace Tool
