// Matching what a user typed against the names the tool knows (commands, tables,
// fields): case-insensitive equality and the nearest name for "did you mean".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Tool {

bool equalIgnoringCase(std::string_view left, std::string_view right);

// Levenshtein distance: insertions, deletions and substitutions.
std::size_t editDistance(std::string_view left, std::string_view right);

// The name `word` most likely meant: the only candidate that contains it (ignoring
// case), else the nearest by edit distance when that is close enough to be a typo.
// Empty when there is no such name.
std::string nearestName(std::string_view word, std::vector<std::string> const& candidates);

// " (did you mean 'NAME'?)", or nothing when no name is near.
std::string didYouMean(std::string_view word, std::vector<std::string> const& candidates);

}  // namespace Tool
