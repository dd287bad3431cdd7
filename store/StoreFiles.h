// The files of a store directory besides the two tables, and small utilities.
//
//   "slots"                slot table (SlotLayout.h)
//   "buckets"              bucket table (SlotLayout.h)
//   "owner"                owner record and writer lock (SharedMem::OwnerFile)
//   "pyrel"                restart identity (SharedMem::PyrelFile)
//   "control"              marks the directory as a store (written when a map is
//                          initialised as writer); empty (earlier writers wrote the
//                          text "hwtables store\n": either is a store)
//   "corruption-detected"  reason text left by a reader that found damage; removed by
//                          every successful writer attach
//
// Thread-safety: functions touch only the file system.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Brell {

inline constexpr char const* kControlFileName = "control";
inline constexpr char const* kCorruptionFileName = "corruption-detected";

// One file of a store directory: its length and the space the file system gives it
// (st_blocks: a tmpfs holds whole pages, and an empty file takes none).
struct HWTABLES_API FileSpace {
  std::string name;
  std::uint64_t bytes = 0;
  std::uint64_t allocated = 0;
};

// The regular files directly in `directory` in name order (links, directories and
// anything else left out); empty when it cannot be read.
HWTABLES_API std::vector<FileSpace> fileSpace(std::string const& directory);
// The sum of their allocated bytes.
HWTABLES_API std::uint64_t allocatedBytes(std::vector<FileSpace> const& files);

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
