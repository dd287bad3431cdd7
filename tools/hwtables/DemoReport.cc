#include "tools/hwtables/DemoReport.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tools/hwtables/FieldDecoder.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {

std::size_t TableResult::entries() const {
  std::size_t count = 0;
  for (auto const& [key, shadow] : shadows) count += shadow->storedEntries().size();
  return count;
}

std::vector<ChipRow> chipRows(Sim::Chip const& chip, TableResult const& result,
                              std::vector<U32> const& faps) {
  std::vector<ChipRow> rows;
  auto const& member = result.info->members.front();
  for (auto fap : faps) {
    for (U32 array = 0; array < member.arrayCount; ++array) {
      auto arrayIndex = static_cast<U8>(member.firstArrayIndex + array);
      for (U32 row = 0; row < member.entryCount; ++row) {
        U32 entryIndex = member.firstEntryIndex + row;
        auto value = result.info->isRegister()
                         ? chip.registerValue(Pelcar::FapId(fap), member.block, member.address)
                         : chip.memoryRow(Pelcar::FapId(fap), member.block, member.address,
                                          arrayIndex, entryIndex);
        if (value) rows.push_back({fap, arrayIndex, entryIndex, std::move(*value)});
      }
    }
  }
  return rows;
}

namespace {

nlohmann::json chipRowsJson(Sim::Chip const& chip, TableResult const& result,
                            std::vector<U32> const& faps) {
  nlohmann::json rows = nlohmann::json::array();
  for (auto const& row : chipRows(chip, result, faps)) {
    rows.push_back({{"fap", row.fap},
                    {"arrayIndex", row.arrayIndex},
                    {"entryIndex", row.entryIndex},
                    {"data", Pelcar::hexBytes(row.data.data(), row.data.size())},
                    {"fields", fieldsJson(decodeFields(result.info->className, row.data))}});
  }
  return rows;
}

}  // namespace

nlohmann::json resultJson(TableResult const& result, Sim::Chip const& chip,
                          std::vector<U32> const& faps) {
  nlohmann::json shadows = nlohmann::json::array();
  for (auto const& [key, shadow] : result.shadows) {
    nlohmann::json entries = nlohmann::json::array();
    for (auto const& entry : shadow->storedEntries()) {
      entries.push_back({{"arrayIndex", entry.arrayIndex},
                         {"entryIndex", entry.entryIndex},
                         {"data", Pelcar::hexBytes(entry.data.data(), entry.data.size())}});
    }
    nlohmann::json servedFaps = nlohmann::json::array();
    for (auto id : shadow->servedFapmask().fapIds()) servedFaps.push_back(id.value);
    shadows.push_back({{"hwShadowKey", key.value()},
                       {"fapId", key.fapId()},
                       {"name", shadow->name()},
                       {"servedFaps", servedFaps},
                       {"entries", entries}});
  }
  nlohmann::json cmds = nlohmann::json::array();
  if (result.cmds) {
    for (auto const& cmd : *result.cmds) cmds.push_back(cmd->toJson());
  }
  nlohmann::json document{{"table", result.info->className},
                          {"kind", result.info->isRegister() ? "register" : "memory"},
                          {"fullName", result.fullName},
                          {"shadows", shadows},
                          {"commands", cmds},
                          {"bulkWrites", result.bulkWrites},
                          {"bulkRows", result.bulkRows},
                          {"cellsChecked", result.check.cellsChecked},
                          {"chipRows", chipRowsJson(chip, result, faps)},
                          {"ok", result.ok()},
                          {"mismatches", result.check.mismatches}};
  if (!result.info->isRegister()) document["readerMismatches"] = result.readerMismatches;
  nlohmann::json differences = nlohmann::json::array();
  for (auto const& difference : result.audit.differences) {
    auto bytes = [](std::optional<std::vector<U8>> const& data) -> nlohmann::json {
      if (!data) return nullptr;
      return Pelcar::hexBytes(data->data(), data->size());
    };
    differences.push_back({{"fap", difference.fapId},
                           {"member", difference.member},
                           {"block", difference.block},
                           {"address", difference.address},
                           {"arrayIndex", difference.arrayIndex},
                           {"entryIndex", difference.entryIndex},
                           {"key", difference.key},
                           {"expected", bytes(difference.expected)},
                           {"read", bytes(difference.read)},
                           {"fields", difference.fields}});
  }
  document["readBack"] = {{"readCommands", result.audit.readCommands},
                          {"entriesRead", result.audit.entriesRead},
                          {"differences", differences}};
  return document;
}

nlohmann::json flippedJson(std::vector<Sim::FlippedBit> const& flipped) {
  nlohmann::json bits = nlohmann::json::array();
  for (auto const& flip : flipped) {
    bits.push_back({{"fap", flip.cell.fapId},
                    {"block", flip.cell.block},
                    {"address", flip.cell.address},
                    {"arrayIndex", flip.cell.arrayIndex},
                    {"row", flip.cell.row},
                    {"bit", flip.bit}});
  }
  return bits;
}

void printFlipped(std::vector<Sim::FlippedBit> const& flipped) {
  for (auto const& flip : flipped) {
    fmt::print("  FAP {} block {} address {:#x} array {} row {} bit {}\n", flip.cell.fapId,
               flip.cell.block, flip.cell.address, flip.cell.arrayIndex, flip.cell.row, flip.bit);
  }
}

void printResults(std::vector<TableResult> const& results) {
  TextTable table({"TABLE", "KIND", "SHADOWS", "ENTRIES", "COMMANDS", "DMA WRITES (ROWS)",
                   "CELLS CHECKED", "CHIP", "READ BACK", "DIFFERENCES", "STORE READER"});
  for (auto const& result : results) {
    bool isRegister = result.info->isRegister();
    table.rowIs({std::string(result.info->className), isRegister ? "register" : "memory",
                 fmt::format("{}", result.shadows.size()), fmt::format("{}", result.entries()),
                 fmt::format("{}", result.cmds ? result.cmds->size() : 0),
                 isRegister ? "-" : fmt::format("{} ({})", result.bulkWrites, result.bulkRows),
                 fmt::format("{}", result.check.cellsChecked),
                 result.check.ok() ? "ok" : "MISMATCH",
                 fmt::format("{} in {} reads", result.audit.entriesRead, result.audit.readCommands),
                 fmt::format("{}", result.audit.differences.size()),
                 isRegister ? "-" : (result.readerMismatches.empty() ? "ok" : "MISMATCH")});
  }
  fmt::print("{}", table.toString());
  for (auto const& result : results) {
    for (auto const& mismatch : result.check.mismatches) {
      fmt::print("  {}: {}\n", result.info->className, mismatch);
    }
    for (auto const& mismatch : result.readerMismatches) {
      fmt::print("  {} (reader): {}\n", result.info->className, mismatch);
    }
  }
}

void printChipContents(Sim::Chip const& chip, std::vector<TableResult> const& results, U32 fap) {
  fmt::print("\nOn the chip now (FAP {}; memory rows of all zeros not shown):\n", fap);
  for (auto const& result : results) {
    auto const& className = result.info->className;
    bool titled = false;
    for (auto const& row : chipRows(chip, result, {fap})) {
      if (result.info->isRegister()) {
        fmt::print("\n  {}  {:02x}\n", className, fmt::join(row.data, " "));
        for (auto const& line : fieldLines(nonZeroFields(decodeFields(className, row.data)), 96)) {
          fmt::print("    {}\n", line);
        }
        continue;
      }
      if (Framework::allZero(row.data)) continue;
      if (!titled) fmt::print("\n  {}\n", className);
      titled = true;
      auto where = result.info->key.form == Framework::KeyForm::singleIndex
                       ? fmt::format("row {:2}", row.entryIndex)
                       : fmt::format("array {} row {:2}", row.arrayIndex, row.entryIndex);
      fmt::print("    {}  {:02x}\n", where, fmt::join(row.data, " "));
      for (auto const& line : fieldLines(nonZeroFields(decodeFields(className, row.data)), 92)) {
        fmt::print("      {}\n", line);
      }
    }
  }
}

}  // namespace Tool
