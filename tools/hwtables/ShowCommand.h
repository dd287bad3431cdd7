// One memory shadow as `hwtables show` read it from its store.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace Tool {

struct ShownEntry {
  std::string keyText;
  nlohmann::ordered_json keyJson;
  std::string valueText;
  nlohmann::ordered_json valueJson;
  // Why the chip has no row for the key ("row 8 is outside 0..7"): an entry the
  // shadow holds that no download writes. Empty for an ordinary entry.
  std::string neverDownloaded;
};

struct ShownShadow {
  std::string table;
  unsigned fap = 0;
  std::string directory;
  std::string problem;  // empty when the store was read
  std::vector<ShownEntry> entries;

  std::string toText() const;
  nlohmann::ordered_json toJson() const;
};

}  // namespace Tool
