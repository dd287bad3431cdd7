// The demo's report of one bring-up: per table what the agent holds, what it sent,
// what the chip holds and what reading it back found, as text for people and JSON
// for machines (tools/hwtables/DemoCommand.cc runs the demo).
//
// The chip's rows go to both forms from the chip itself (chipRows): each form formats
// the same bytes, so the text cannot show what the JSON does not.
//
// Thread-safety: pure functions of their arguments.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/ReadBackAudit.h"
#include "framework/TableInfo.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/SimChip.h"
#include "platform/tessar/HwShadowBase.h"
#include "platform/vorl/Types.h"

namespace Tool {

struct TableResult {
  Framework::TableInfo const* info = nullptr;
  std::string fullName;
  std::vector<std::pair<Tessar::HwShadowKey, Vorl::Ptr<Tessar::HwShadowBase>>> shadows;
  Vorl::Ptr<Pelcar::SchanCmds> cmds;
  Sim::TableCheck check;
  std::size_t bulkWrites = 0;
  std::size_t bulkRows = 0;
  std::vector<std::string> readerMismatches;  // memories: what the reader process saw differently
  Framework::TableAudit audit;                // the chip read back through the table's reader

  std::size_t entries() const;
  bool ok() const { return check.ok() && readerMismatches.empty() && audit.differences.empty(); }
};

// One row (or the register) of a table's first member as the chip holds it on one FAP.
struct ChipRow {
  U32 fap = 0;
  U8 arrayIndex = 0;
  U32 entryIndex = 0;
  std::vector<U8> data;
};

// Every row the chip holds of the table's first member on those FAPs, in FAP, array
// and row order.
std::vector<ChipRow> chipRows(Sim::Chip const& chip, TableResult const& result,
                              std::vector<U32> const& faps);

nlohmann::json resultJson(TableResult const& result, Sim::Chip const& chip,
                          std::vector<U32> const& faps);
nlohmann::json flippedJson(std::vector<Sim::FlippedBit> const& flipped);

// One line per flipped bit: FAP, block, address, array, row and bit.
void printFlipped(std::vector<Sim::FlippedBit> const& flipped);
// One line per table: what was brought up, sent, checked and read back; then every
// mismatch.
void printResults(std::vector<TableResult> const& results);
// Each table as the chip now holds it on one FAP, in bytes and its fields that are not
// zero; memory rows that hold only zeros are left out.
void printChipContents(Sim::Chip const& chip, std::vector<TableResult> const& results, U32 fap);

}  // namespace Tool
