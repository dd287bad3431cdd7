// The files of a store directory besides the two tables, and small utilities.
//
//   "slots"                slot table (SlotLayout.h)
//   "buckets"              bucket table (SlotLayout.h)
//   "owner"                owner record and writer lock (SharedMem::OwnerFile)
//   "pyrel"                restart identity (SharedMem::PyrelFile)
//   "control"              marks the directory as a store (written when a map is
//                          initialised as writer); text "hwtables store\n"
//   "corruption-detected"  reason text left by a reader that found damage; removed by
//                          every successful writer attach
//
// Thread-safety: functions touch only the file system.
#pragma once

#include "platform/plugin/Export.h"

#include <string>

namespace Brell {

inline constexpr char const* kControlFileName = "control";
inline constexpr char const* kCorruptionFileName = "corruption-detected";

// The default root of stores for the tool: Ordex::EntityManager::defaultStoreRoot().
HWTABLES_API std::string defaultRoot();

namespace Util {
// Whether this process runs on a physical device (HWTABLES_PHYSICAL_DUT=1).
HWTABLES_API bool runningOnPhysicalDut();
// Whether a failed validation of existing files is fatal rather than a wipe
// (HWTABLES_STRICT_VALIDATION=1).
HWTABLES_API bool strictValidation();
// Writes "corruption-detected" with the reason; failures are ignored (best effort).
HWTABLES_API void writeCorruptionFile(std::string const& root, std::string const& reason);
HWTABLES_API void removeCorruptionFile(std::string const& root);
// The reason text, or empty when there is no such file.
HWTABLES_API std::string readCorruptionFile(std::string const& root);
HWTABLES_API void writeControlFile(std::string const& root);
HWTABLES_API void removeControlFile(std::string const& root);
// Whether 8-byte atomic loads and stores are lock-free on this processor.
HWTABLES_API bool atomicsSupported();
}  // namespace Util

}  // namespace Brell
