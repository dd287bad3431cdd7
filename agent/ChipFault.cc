#include "agent/ChipFault.h"

#include <algorithm>

#include <fmt/format.h>

namespace HwAgent {
namespace {

std::string rowsText(U32 first, U32 count) {
  if (count == 1) return fmt::format("row {}", first);
  return fmt::format("rows {}-{}", first, first + count - 1);
}

std::string summary(std::vector<CommandFailure> const& failures, std::size_t commands) {
  if (failures.empty()) return fmt::format("the chip did not complete a list of {} command(s)", commands);
  auto const& first = failures.front();
  auto text = fmt::format("the chip did not complete {} of {} command(s); the first: {}",
                          failures.size(), commands, first.text());
  // The first failure's text already starts with "error: ".
  return text.replace(text.find("error: "), 7, "");
}

}  // namespace

std::string fapRanges(std::vector<U32> faps) {
  std::sort(faps.begin(), faps.end());
  std::string text;
  for (std::size_t index = 0; index < faps.size();) {
    std::size_t end = index;
    while (end + 1 < faps.size() && faps[end + 1] == faps[end] + 1) ++end;
    if (!text.empty()) text += ",";
    text += end == index ? fmt::format("{}", faps[index])
                         : fmt::format("{}-{}", faps[index], faps[end]);
    index = end + 1;
  }
  return text;
}

CommandFailure CommandFailure::of(std::string table, Pelcar::SchanCmd const& cmd,
                                  Sim::CommandFault const& fault) {
  CommandFailure failure;
  failure.table = std::move(table);
  failure.member = cmd.memberName;
  for (auto fap : cmd.fapmask.fapIds()) failure.faps.push_back(fap.value);
  failure.arrayIndex = cmd.arrayIndex;
  failure.firstRow = cmd.row;
  failure.rowCount = cmd.rowCount;
  failure.rowsWritten = fault.rowsWritten;
  failure.kind = fault.kind;
  failure.message = fault.message;
  return failure;
}

std::string CommandFailure::text() const {
  auto where = fmt::format("{} FAP {} {}", table.empty() ? std::string("(no table)") : table,
                           fapRanges(faps), rowsText(firstRow, rowCount));
  auto what = member.empty() ? fmt::format("array {}", arrayIndex)
                             : fmt::format("{}, array {}", member, arrayIndex);
  auto text = fmt::format("error: {} ({}): {}: {}", where, what, Sim::faultKindName(kind), message);
  if (kind == Sim::FaultKind::partial && rowsWritten != 0) {
    text += fmt::format("; {} written, {} not", rowsText(firstRow, rowsWritten),
                        rowsText(firstRow + rowsWritten, rowCount - rowsWritten));
  }
  return text;
}

nlohmann::ordered_json CommandFailure::json() const {
  return {{"table", table},
          {"member", member},
          {"faps", faps},
          {"array", arrayIndex},
          {"firstRow", firstRow},
          {"rows", rowCount},
          {"rowsWritten", rowsWritten},
          {"fault", Sim::faultKindName(kind)},
          {"message", message}};
}

ChipFault::ChipFault(std::vector<CommandFailure> failures, std::size_t commands)
    : Error(ErrorKind::chipFailure, summary(failures, commands)),
      failures_(std::move(failures)),
      commands_(commands) {}

}  // namespace HwAgent
