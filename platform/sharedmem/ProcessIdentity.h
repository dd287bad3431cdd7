// Who a process is, in a form that survives the reuse of process ids.
//
// A process id alone can name a different process once the first has died and the
// kernel handed the id out again. The pair (process id, start time in clock ticks
// since boot, field 22 of /proc/<pid>/stat) names one process for the life of the
// machine, so a reader that recorded it can tell "the writer I followed is gone"
// from "a process with the same id runs".
//
// Thread-safety: the functions are safe to call from any thread.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <string>

namespace SharedMem {

struct HWTABLES_API ProcessIdentity {
  std::uint32_t processId = 0;
  std::uint64_t startTime = 0;  // clock ticks since boot; 0 = unknown

  bool empty() const { return processId == 0; }
  bool operator==(ProcessIdentity const&) const = default;
  std::string toString() const;

  // This process.
  static ProcessIdentity self();
  // The process running under `processId` now, or an empty identity when none does
  // (or its start time cannot be read).
  static ProcessIdentity of(std::uint32_t processId);
  // Whether exactly this process (same id and, when known, same start time) is alive.
  bool alive() const;
};

}  // namespace SharedMem
