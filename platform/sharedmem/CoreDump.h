// Whether this process's core dumps hold its file-backed shared mappings.
//
// The kernel dumps a mapping unless it is marked "do not dump" (madvise
// MADV_DONTDUMP, see MappedFile::coreDumpModeIs) and its kind is selected in the
// process's /proc/self/coredump_filter. Shared mappings of files, which the store's
// files in /dev/shm are, are not selected by default: a store writer whose mappings
// are to be dumped selects them here (bit 3, "file-backed shared"), so that the core
// of a crashed agent holds its shadows. The setting is the process's and is inherited
// by its children; nothing ever clears it.
//
// Thread-safety: may be called from any thread.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <optional>

namespace SharedMem {

// The bit of coredump_filter that selects file-backed shared mappings.
inline constexpr std::uint32_t kDumpFileBackedShared = 1u << 3;

// Selects file-backed shared mappings for this process's core dumps. False when
// the filter cannot be read or written (no /proc, no permission): dumps then hold
// what the filter already selects.
HWTABLES_API bool includeSharedMappingsInCoreDumps();

// The process's coredump_filter, or nothing when it cannot be read.
HWTABLES_API std::optional<std::uint32_t> coreDumpFilter();

}  // namespace SharedMem
