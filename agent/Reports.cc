#include "agent/Reports.h"

#include "agent/ChipFault.h"

#include <algorithm>
#include <map>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace HwAgent {
namespace {

// "0-3,7": a sorted FAP list with runs folded.
std::string fapsText(std::vector<U32> faps) {
  return fapRanges(std::move(faps));
}

std::string milliseconds(std::chrono::nanoseconds time) {
  return fmt::format("{:.2f} ms", std::chrono::duration<double, std::milli>(time).count());
}

nlohmann::ordered_json reconcileJson(TableReconcile const& entry) {
  return {
      {"table", entry.table},
      {"fap", entry.fapId},
      {"rowsCompared", entry.rowsCompared},
      {"rowsDiffering", entry.rowsDiffering},
      {"missingOnChip", entry.missingOnChip},
      {"extraOnChip", entry.extraOnChip},
      {"heldDifferently", entry.heldDifferently()},
      {"rowsWritten", entry.rowsWritten},
      {"commandsSent", entry.commandsSent},
      {"readCommands", entry.readCommands},
      {"rowsStillDiffering", entry.rowsStillDiffering},
      {"retries", entry.retries},
      {"failedCommands", entry.failures.size()},
      {"microseconds", std::chrono::duration_cast<std::chrono::microseconds>(entry.time).count()}};
}

void add(TableReconcile& sum, TableReconcile const& entry) {
  sum.rowsCompared += entry.rowsCompared;
  sum.rowsDiffering += entry.rowsDiffering;
  sum.missingOnChip += entry.missingOnChip;
  sum.extraOnChip += entry.extraOnChip;
  sum.rowsWritten += entry.rowsWritten;
  sum.commandsSent += entry.commandsSent;
  sum.readCommands += entry.readCommands;
  sum.rowsStillDiffering += entry.rowsStillDiffering;
  sum.retries += entry.retries;
  sum.time += entry.time;
}

std::string reconcileLine(std::string const& what, TableReconcile const& entry) {
  return fmt::format("{:<54} {:>8} {:>9} {:>8} {:>9} {:>11}", what, entry.rowsCompared,
                     entry.rowsDiffering, entry.rowsWritten, entry.commandsSent,
                     milliseconds(entry.time));
}

}  // namespace

std::size_t BringUpReport::takenOver() const {
  return static_cast<std::size_t>(
      std::count_if(shadows.begin(), shadows.end(), [](auto const& shadow) {
        return shadow.start.kind == Tessar::ShadowStart::Kind::takenOver;
      }));
}

std::size_t BringUpReport::entriesTakenOver() const {
  std::size_t entries = 0;
  for (auto const& shadow : shadows) entries += shadow.start.entries;
  return entries;
}

std::string BringUpReport::text() const {
  std::size_t memories = 0;
  for (auto const& shadow : shadows) memories += shadow.isMemory ? 1 : 0;
  std::string text = fmt::format("{} tables of revision {} on FAPs {}, driving {}\n", tables,
                                 revision, fapsText(faps), chip);
  if (!warm) {
    return text + fmt::format(
                      "Cold start: {} memory shadows in new stores below {}, every shadow "
                      "with its table's start-up contents\n",
                      memories, storeRoot);
  }
  text += fmt::format(
      "Warm start below {}: {} of {} memory shadows took their store over ({} "
      "entries); registers start from their start-up contents\n",
      storeRoot, takenOver(), memories, entriesTakenOver());
  for (auto const& shadow : shadows) {
    if (!shadow.isMemory || shadow.start.kind == Tessar::ShadowStart::Kind::takenOver) continue;
    text += fmt::format("  {} FAP {}: start-up rows, because {}\n", shadow.table, shadow.fapId,
                        shadow.start.reason);
  }
  return text;
}

nlohmann::ordered_json BringUpReport::json() const {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (auto const& shadow : shadows) {
    nlohmann::ordered_json item{
        {"table", shadow.table},
        {"fap", shadow.fapId},
        {"kind", shadow.isMemory ? "memory" : "register"},
        {"start", shadow.start.kind == Tessar::ShadowStart::Kind::takenOver ? "takenOver"
                                                                            : "startupContents"},
        {"entriesTakenOver", shadow.start.entries}};
    if (!shadow.start.reason.empty()) item["reason"] = shadow.start.reason;
    list.push_back(std::move(item));
  }
  return {{"start", warm ? "warm" : "cold"},
          {"revision", revision},
          {"faps", faps},
          {"storeRoot", storeRoot},
          {"chip", chip},
          {"tables", tables},
          {"takenOver", takenOver()},
          {"entriesTakenOver", entriesTakenOver()},
          {"shadows", list}};
}

std::size_t DownloadReport::commands() const {
  std::size_t count = 0;
  for (auto const& table : tables) count += table.commands();
  return count;
}

std::vector<CommandFailure> DownloadReport::failures() const {
  std::vector<CommandFailure> all;
  for (auto const& table : tables) all.insert(all.end(), table.failures.begin(), table.failures.end());
  return all;
}

std::string DownloadReport::text() const {
  auto failed = failures();
  std::string text;
  for (auto const& failure : failed) text += failure.text() + "\n";
  if (failed.empty()) {
    return text + fmt::format("{} table(s) downloaded in {} command(s)\n", tables.size(),
                              commands());
  }
  return text + fmt::format("{} table(s) downloaded in {} command(s); the chip did not complete {}\n",
                            tables.size(), commands(), failed.size());
}

nlohmann::ordered_json DownloadReport::json() const {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (auto const& table : tables) {
    nlohmann::ordered_json failed = nlohmann::ordered_json::array();
    for (auto const& failure : table.failures) failed.push_back(failure.json());
    list.push_back({{"table", table.table},
                    {"commands", table.commands()},
                    {"bulkWrites", table.bulkWrites},
                    {"bulkRows", table.bulkRows},
                    {"failures", failed}});
  }
  return {{"tables", list}, {"commands", commands()}, {"failedCommands", failures().size()}};
}

std::vector<CommandFailure> ReconcileReport::failures() const {
  std::vector<CommandFailure> all;
  for (auto const& entry : entries) all.insert(all.end(), entry.failures.begin(), entry.failures.end());
  return all;
}

TableReconcile ReconcileReport::total() const {
  TableReconcile sum;
  sum.table = "all";
  for (auto const& entry : entries) add(sum, entry);
  return sum;
}

std::string ReconcileReport::text() const {
  // Failures first: what the chip did not take, before what it took in the end.
  std::string text;
  for (auto const& failure : failures()) text += failure.text() + "\n";
  text += fmt::format("{:<54} {:>8} {:>9} {:>8} {:>9} {:>11}\n", "TABLE (FAPS)",
                                 "COMPARED", "DIFFERING", "WRITTEN", "COMMANDS", "TIME");
  std::vector<std::string> order;
  std::map<std::string, std::vector<TableReconcile const*>> byTable;
  for (auto const& entry : entries) {
    if (!byTable.contains(entry.table)) order.push_back(entry.table);
    byTable[entry.table].push_back(&entry);
  }
  for (auto const& table : order) {
    TableReconcile sum;
    std::vector<U32> faps;
    for (auto const* entry : byTable[table]) {
      add(sum, *entry);
      faps.push_back(entry->fapId);
    }
    text += reconcileLine(fmt::format("{} ({})", table, fapsText(faps)), sum) + "\n";
    for (auto const* entry : byTable[table]) {
      if (entry->rowsDiffering == 0 && entry->rowsStillDiffering == 0) continue;
      text += reconcileLine(
                  fmt::format("  FAP {}: {} held differently, {} missing, {} extra", entry->fapId,
                              entry->heldDifferently(), entry->missingOnChip, entry->extraOnChip),
                  *entry) +
              "\n";
    }
  }
  auto sum = total();
  auto failed = failures().size();
  auto retried = failed == 0 && sum.retries == 0
                     ? std::string()
                     : fmt::format(" ({} the chip did not complete, {} write round(s) repeated)",
                                   failed, sum.retries);
  text += fmt::format(
      "Reconciled {} table(s), {} table-FAP pair(s): {} rows compared, {} differed, "
      "{} written in {} command(s){} in {}; {}\n",
      order.size(), entries.size(), sum.rowsCompared, sum.rowsDiffering, sum.rowsWritten,
      sum.commandsSent, retried, milliseconds(sum.time),
      sum.rowsStillDiffering == 0
          ? std::string("read back, nothing differs")
          : fmt::format("read back, {} rows STILL DIFFER", sum.rowsStillDiffering));
  return text;
}

nlohmann::ordered_json ReconcileReport::json() const {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (auto const& entry : entries) list.push_back(reconcileJson(entry));
  auto total = reconcileJson(this->total());
  total.erase("fap");
  total.erase("table");
  nlohmann::ordered_json failed = nlohmann::ordered_json::array();
  for (auto const& failure : failures()) failed.push_back(failure.json());
  total["failedCommands"] = failed.size();
  return {{"entries", list}, {"total", total}, {"failures", failed}, {"clean", clean()}};
}

}  // namespace HwAgent
