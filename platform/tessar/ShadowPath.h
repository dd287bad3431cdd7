// Where a table's shadow keeps its shared-memory store, below the store root.
//
// The path is "<revision>/<table type>/<shadow key>", for example
// "bcm88490_a0/bcm88490_a0::IppaTerminationProfileTableHwDirect/0": every chip
// revision, table and shadow key has its own directory, and a reader in another
// process finds a shadow's store from the same three texts.
#pragma once

#include <string>

#include <fmt/format.h>

namespace Tessar::Constants {

inline std::string shadowTblBrellPath(std::string const& revisionText,
                                      std::string const& tableTypeName,
                                      std::string const& shadowKeyText) {
  return fmt::format("{}/{}/{}", revisionText, tableTypeName, shadowKeyText);
}

}  // namespace Tessar::Constants
