// How an agent is brought up: one set of options, so that every front-end (the tool's
// commands, tests, benchmarks) defines and checks them the same way.
#pragma once

#include "platform/plugin/Export.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <optional>

#include "platform/hardware/FapRevision.h"
#include "platform/sim/FaultPlan.h"
#include "platform/vorl/Types.h"

namespace HwAgent {

class JournalWriter;
struct JournalError;

struct HWTABLES_API Options {
  // One shadow per FAP in every table; FAP ids 0..255 except 128 (every FAP in reads).
  std::vector<U32> faps{0, 1};
  Hardware::Sand::FapRevision revision = Hardware::Sand::bcm88490_a0Revision;
  // Below it the memory shadows' stores; empty: $HWTABLES_ROOT, else /dev/shm/hwtables.
  std::string storeRoot;
  // The DMA pool's buffers, shared by downloads and bulk reads (1 byte .. 64 MiB).
  U32 dmaBufferBytes = 256;
  // The socket of a chip process (`hwtables chip serve`); empty: a simulated chip in
  // this process.
  std::string chipSocket;
  std::chrono::milliseconds chipTimeout{10000};
  // Makes the simulated chip in this process fail on purpose (FaultPlan.h); a chip
  // process takes its plan when it is started (`hwtables chip serve --faults`).
  std::optional<Sim::FaultPlan> chipFaults;
  // A warm start: memory shadows take over the stores a predecessor left (see Agent.h).
  bool warm = false;
  // Where every list of write commands is recorded with the chip's answer (Journal.h);
  // none: nothing is recorded. Shared, so that agents one after the other (a restart)
  // record one run.
  std::shared_ptr<JournalWriter> journal;
};

}  // namespace HwAgent
