#include "tools/hwtables/TextTable.h"

#include <algorithm>

namespace Tool {

std::string TextTable::toString() const {
  std::vector<std::size_t> widths(header_.size(), 0);
  auto measure = [&widths](std::vector<std::string> const& row) {
    for (std::size_t column = 0; column < row.size() && column < widths.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  };
  measure(header_);
  for (auto const& row : rows_) measure(row);

  std::string text;
  auto append = [&](std::vector<std::string> const& row) {
    std::string line;
    for (std::size_t column = 0; column < widths.size(); ++column) {
      std::string cell = column < row.size() ? row[column] : "";
      line += cell;
      if (column + 1 < widths.size()) line += std::string(widths[column] - cell.size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + '\n';
  };
  append(header_);
  std::vector<std::string> rule;
  for (auto width : widths) rule.emplace_back(width, '-');
  append(rule);
  for (auto const& row : rows_) append(row);
  return text;
}

}  // namespace Tool
