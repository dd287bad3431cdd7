// Toggle lookup: named on/off switches kept in small JSON files.
//
// A toggle lives in a JSON object file in the toggle directory, e.g. "Brell.json"
// holding {"FullCoreDump": false}. The directory is named by the environment
// variable HWTABLES_TOGGLE_DIR (default /etc/hwtables/toggles). A missing file, a
// missing key, or a value that is not a boolean leaves the toggle on; an unreadable
// or malformed file is reported once on stderr and also leaves it on.
//
// Each (file, toggle) pair is read once per process and then cached;
// toggleCacheClear() forgets the cache (tests change toggles between cases).
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include "platform/plugin/Export.h"

#include <string>
#include <string_view>

namespace Vorl {

HWTABLES_API bool getToggleState(std::string_view fileName, std::string_view toggleName);
HWTABLES_API void toggleCacheClear();
HWTABLES_API std::string toggleDirectory();

}  // namespace Vorl
