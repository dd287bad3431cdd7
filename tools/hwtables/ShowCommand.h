// One memory shadow as `hwtables show` read it from its store.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/hardware/FapRevision.h"
#include "platform/vorl/Types.h"

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

// The shadow of memory table `table` for FAP `fap` (0..255), read from its store below
// `root` by this process; a shadow that cannot be read says why in `problem`. Throws
// UsageError for a name that is no memory table.
ShownShadow readShownShadow(std::string_view table, U32 fap, std::string const& root,
                            Hardware::Sand::FapRevision const& revision);

}  // namespace Tool
