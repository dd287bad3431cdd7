// Column-aligned text tables for people: a header row, a rule, then the rows.
#pragma once

#include <string>
#include <vector>

namespace Tool {

class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header) : header_(std::move(header)) {}

  void rowIs(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  std::string toString() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace Tool
