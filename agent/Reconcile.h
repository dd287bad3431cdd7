// Reconcile: bringing the chip in line with the shadows by writing only what differs.
//
// For every table in scope, every shadow and every FAP it serves (docs/reconcile.md):
//
//   1. Read every member of the table back on that FAP through the table's
//      registered reader (all members' read commands in one list, one round trip
//      to a chip process).
//   2. Lay both sides out as images of the member's rows, indexed by the row's
//      position in the key range (array - first array) * rows + (row - first row):
//      the shadow's side in one pass over its store (HwShadowBase::expectedRows;
//      a row not stored is the default entry), the chip's side in one pass over the
//      reader's result (a row not returned reads as zeros: readers leave all-zero
//      rows out). The position is the key's perfect hash: one pass over both, no
//      search, no ordering.
//   3. A row differs when its bytes differ: the chip holds it differently; the
//      shadow holds it and the chip does not (missing on the chip); or the chip
//      holds it and the shadow does not (extra on the chip, written back to the
//      table's default entry).
//   4. Write exactly the rows that differ, only to that FAP and to the member and
//      instance that differ: a run of adjacent differing rows of a memory in DMA bulk
//      writes of pool buffers, any other row in a write of its own. All of one table
//      and FAP's writes go to the chip as one list.
//   5. When anything was written, read the members that differed back again and
//      compare: rowsStillDiffering is the audit of the writes (0 expected). Rows that
//      still differ (a write the chip refused, timed out or did partly; a bit that
//      flipped as it landed) are written again, up to eight rounds in all; every
//      write the chip did not complete is kept in the report's failures.
//
// Nothing differs: no write command is sent at all.
#pragma once

#include "platform/plugin/Export.h"

#include "agent/Reports.h"
#include "framework/ReadBackAudit.h"

namespace HwAgent {

class Agent;

// Throws Error: badInput for a table or FAP the agent does not hold (or DMA buffers
// too small for one row), chipFailure when the chip refuses a list whole or is gone.
HWTABLES_API ReconcileReport reconcileChip(Agent& agent, Framework::AuditScope const& scope);

}  // namespace HwAgent
