// The agent's command path to its chip: write commands go out, read commands come
// back completed. One small interface with two ends:
//
//   inProcessChip()   a simulated chip in this process (Sim::Chip): the default, and
//                     what tests and benchmarks share between agents
//   chipProcess()     a chip in a process of its own (`hwtables chip serve`), reached
//                     over its Unix socket: it keeps its cells when the agent dies
//
// A list of write commands is applied whole or not at all when it fits one frame of
// the chip process's protocol (64 MiB); the in-process chip checks every list whole.
// A list the chip refuses whole (a malformed command), and a chip that is gone, raise
// HwAgent::Error of kind chipFailure: a caller is told, never kept waiting (a chip
// process has a reply timeout). Commands a chip failing on purpose did not complete
// (refused, timed out, partly written: Sim::FaultPlan) are returned by write().
//
// Thread-safety: one thread per link.
#pragma once

#include "platform/plugin/Export.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/SimChip.h"
#include "platform/vorl/Ptr.h"

namespace HwAgent {

class HWTABLES_API ChipLink {
 public:
  virtual ~ChipLink() = default;

  // "the simulated chip in this process", "the chip process at PATH".
  virtual std::string description() const = 0;
  // Executes the write commands of the list in order; a null list sends nothing.
  // Returns the commands the chip did not complete.
  virtual Sim::WriteOutcome write(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) = 0;
  // Has the read commands of the list answered, each completed command handed to
  // its reader before this returns; a null list reads nothing.
  virtual void read(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) = 0;
  // The chip, when it lives in this process; null otherwise.
  virtual Sim::Chip* localChip() { return nullptr; }
  // The chip's cells as a chip in this process, to look at: the chip itself when it
  // lives here, otherwise a copy of the chip process's cells as they are now.
  virtual Vorl::Ptr<Sim::Chip> contents() = 0;
  // Damages the chip on purpose (Sim::Chip::flipBits): `count` random bits of its
  // written cells, chosen from `seed`.
  virtual std::vector<Sim::FlippedBit> flipBits(U32 count, std::uint64_t seed) = 0;
};

// A link to `chip` (a new, empty chip when null).
HWTABLES_API std::unique_ptr<ChipLink> inProcessChip(Vorl::Ptr<Sim::Chip> chip = nullptr);
// A link to the chip process serving `socketPath`; connects at once. Throws Error
// (chipFailure) when no chip can be reached there.
HWTABLES_API std::unique_ptr<ChipLink> chipProcess(std::string const& socketPath,
                                                   std::chrono::milliseconds timeout);

}  // namespace HwAgent
