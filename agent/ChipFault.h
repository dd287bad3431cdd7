// A write command the chip did not complete, named the way a person looks for it: the
// table and FAPs it was for, the member, array and rows it wrote, and what the chip
// answered (refused, timed out, partly written: Sim::FaultPlan).
//
// ChipFault is the Error an agent raises when a list of writes it sent came back with
// such commands: kind chipFailure, with every failed command. The commands of the list
// that the chip did complete stay written; the shadows keep the desired state, so an
// audit finds the rows that differ and a reconcile writes them.
#pragma once

#include "platform/plugin/Export.h"

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/Error.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/FaultPlan.h"
#include "platform/vorl/Types.h"

namespace HwAgent {

struct HWTABLES_API CommandFailure {
  std::string table;  // empty when the sender did not say
  std::string member;
  std::vector<U32> faps;
  U8 arrayIndex = 0;
  U32 firstRow = 0;
  U32 rowCount = 0;
  U32 rowsWritten = 0;  // the first rows that were written (a partial DMA transfer)
  Sim::FaultKind kind = Sim::FaultKind::refused;
  std::string message;  // the chip's own words

  static CommandFailure of(std::string table, Pelcar::SchanCmd const& cmd,
                           Sim::CommandFault const& fault);
  // "error: TABLE FAP 0 rows 16-31 (member M, array 0): refused: the chip answered ...";
  // a partial write also says which of its rows were written.
  std::string text() const;
  nlohmann::ordered_json json() const;
};

class HWTABLES_API ChipFault : public Error {
 public:
  ChipFault(std::vector<CommandFailure> failures, std::size_t commands);
  std::vector<CommandFailure> const& failures() const { return failures_; }
  // The commands of the list, failed or not.
  std::size_t commands() const { return commands_; }

 private:
  std::vector<CommandFailure> failures_;
  std::size_t commands_;
};

// "0-3,7": FAP ids as ranges.
HWTABLES_API std::string fapRanges(std::vector<U32> faps);

}  // namespace HwAgent
