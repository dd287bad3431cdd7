// What an agent reports of its work: each report is a plain struct that prints as
// text for people and as JSON for machines.
//
//   BringUpReport    how every shadow began (start-up contents, or taken over in a
//                    warm start, and why a store was not taken over)
//   DownloadReport   the commands each table's download sent
//   ReconcileReport  per table and FAP: rows compared, rows differing (and of which
//                    kind), rows written, commands sent, rows still differing after
//                    the writes, time
#pragma once

#include "platform/plugin/Export.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/ChipFault.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/HwShadowBase.h"
#include "platform/vorl/Types.h"

namespace HwAgent {

struct HWTABLES_API ShadowReport {
  std::string table;
  U32 fapId = 0;
  bool isMemory = false;
  Tessar::ShadowStart start;
};

struct HWTABLES_API BringUpReport {
  bool warm = false;
  std::string revision;
  std::vector<U32> faps;
  std::string storeRoot;
  std::string chip;
  std::size_t tables = 0;
  std::vector<ShadowReport> shadows;

  // Memory shadows that took their store over, and the entries they took.
  std::size_t takenOver() const;
  std::size_t entriesTakenOver() const;
  std::string text() const;
  nlohmann::ordered_json json() const;
};

struct HWTABLES_API TableDownload {
  std::string table;
  Vorl::Ptr<Pelcar::SchanCmds> cmds;  // as sent (null: nothing to send)
  std::size_t bulkWrites = 0;
  std::size_t bulkRows = 0;
  std::vector<CommandFailure> failures;  // commands the chip did not complete

  std::size_t commands() const { return cmds ? cmds->size() : 0; }
};

struct HWTABLES_API DownloadReport {
  std::vector<TableDownload> tables;

  std::size_t commands() const;
  // Every command of every table the chip did not complete, in download order.
  std::vector<CommandFailure> failures() const;
  bool ok() const { return failures().empty(); }
  std::string text() const;
  nlohmann::ordered_json json() const;
};

// One table on one FAP.
struct HWTABLES_API TableReconcile {
  std::string table;
  U32 fapId = 0;
  std::size_t rowsCompared = 0;
  std::size_t rowsDiffering = 0;
  std::size_t missingOnChip = 0;  // of those: the shadow holds the row, the chip zeros
  std::size_t extraOnChip = 0;    // of those: the chip holds a row the shadow does not
  std::size_t rowsWritten = 0;
  std::size_t commandsSent = 0;
  std::size_t readCommands = 0;
  std::size_t rowsStillDiffering = 0;  // read back after the writes
  // Write rounds after the first: the chip did not complete a write, or a row still
  // differed when read back, and the rows still differing were written again.
  std::size_t retries = 0;
  std::vector<CommandFailure> failures;  // every write the chip did not complete
  std::chrono::nanoseconds time{0};

  // Of the rows differing: those both sides hold, differently.
  std::size_t heldDifferently() const { return rowsDiffering - missingOnChip - extraOnChip; }
};

struct HWTABLES_API ReconcileReport {
  std::vector<TableReconcile> entries;  // table order, then FAP order

  TableReconcile total() const;  // sums; no failures
  std::vector<CommandFailure> failures() const;
  // Nothing differs any more.
  bool clean() const { return total().rowsStillDiffering == 0; }
  // A line per table with its FAPs summed up, and a line per FAP that differed.
  std::string text() const;
  nlohmann::ordered_json json() const;
};

}  // namespace HwAgent
