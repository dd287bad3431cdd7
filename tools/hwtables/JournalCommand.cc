// `hwtables journal show|replay FILE`: what an agent told its chip (agent --journal,
// demo --journal), and the chip that gives.
//
//   show     every recorded command in order: when, for which table and FAPs, what it
//            wrote, and what the chip answered; --table and --fap keep those only
//   replay   sends the recorded commands to a fresh simulated chip (in this process,
//            or an empty chip process with --chip) as the chip took them: whole, the
//            first rows of a partly written one, none of one it refused; then prints
//            the chip's digest, which `hwtables chip digest` prints for the recorded
//            run's chip process
//
// A journal is read with the files rotated out of it (FILE.1 ...) of the same run,
// oldest first; a file cut short by a kill is read up to its last whole record, and
// the tool says where it stopped. A damaged file (a record whose checksum does not
// hold) is read up to the damage, and the command exits 1: it did not read it all. A replay whose journal lost its first commands to
// rotation prints the digest of what it kept and exits 1: it is not the recorded run's.
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <set>
#include <string>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>

#include "agent/ChipFault.h"
#include "agent/Journal.h"
#include "platform/sim/ChipClient.h"
#include "platform/sim/SimChip.h"
#include "platform/vorl/Exceptions.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace JournalCommand {
namespace {

struct Options {
  std::string file;
  std::string table;
  std::optional<U32> fap;
  std::string chip;
  bool json = false;
};

std::vector<HwAgent::JournalFile> journalOf(std::string const& path) {
  try {
    return HwAgent::readJournal(path);
  } catch (HwAgent::JournalError const& error) {
    throw UsageError(error.what());
  }
}

// Exit 1 after the output when a file was damaged, not merely cut short.
void failOnDamage(std::vector<HwAgent::JournalFile> const& files) {
  for (auto const& file : files) {
    if (file.damaged) {
      throw CheckFailed(fmt::format("{} is {}; what comes after it was not read", file.path,
                                    file.cutShort));
    }
  }
}

std::vector<U32> fapsOf(Pelcar::SchanCmd const& cmd) {
  std::vector<U32> faps;
  for (auto fap : cmd.fapmask.fapIds()) faps.push_back(fap.value);
  return faps;
}

std::string rowsOf(Pelcar::SchanCmd const& cmd) {
  return cmd.rowCount == 1 ? fmt::format("row {}", cmd.row)
                           : fmt::format("rows {}-{}", cmd.row, cmd.row + cmd.rowCount - 1);
}

// "12:31:05.123456" (UTC).
std::string timeOfDay(std::uint64_t ns) {
  auto seconds = static_cast<std::time_t>(ns / 1000000000u);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  return fmt::format("{:02}:{:02}:{:02}.{:06}", parts.tm_hour, parts.tm_min, parts.tm_sec,
                     (ns % 1000000000u) / 1000u);
}

std::string answerOf(HwAgent::JournalRecord const& record) {
  if (record.answer == HwAgent::JournalAnswer::partial) {
    return fmt::format("partly written ({} of {} rows)", record.rowsWritten, record.cmd->rowCount);
  }
  return HwAgent::journalAnswerName(record.answer);
}

bool kept(Options const& options, HwAgent::JournalRecord const& record) {
  if (!options.table.empty() && record.table != options.table) return false;
  if (options.fap && !record.cmd->fapmask.fapId(Pelcar::FapId(*options.fap))) return false;
  return true;
}

// A table no command of the journal names is said so, with exit status 1, naming the
// tables it holds: a mistyped name must not read as a table the agent never wrote to.
// (A FAP with no command is an answer: nothing was sent to it.)
void failOnUnknownTable(Options const& options, std::vector<HwAgent::JournalFile> const& files) {
  if (options.table.empty()) return;
  std::set<std::string> tables;
  for (auto const& file : files) {
    for (auto const& record : file.records) tables.insert(record.table);
  }
  if (tables.contains(options.table)) return;
  throw CheckFailed(fmt::format("no command of the journal is for table {}; its tables: {}", options.table,
                                tables.empty() ? std::string("none") : fmt::format("{}", fmt::join(tables, ", "))));
}

nlohmann::ordered_json filesJson(std::vector<HwAgent::JournalFile> const& files) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (auto const& file : files) {
    list.push_back({{"path", file.path},
                    {"version", file.version},
                    {"run", fmt::format("{:#018x}", file.run)},
                    {"firstSequence", file.firstSequence},
                    {"records", file.records.size()},
                    {"cutShort", file.cutShort}});
  }
  return list;
}

void show(Options const& options) {
  auto files = journalOf(options.file);
  std::size_t total = 0;
  std::size_t shown = 0;
  std::size_t failed = 0;
  nlohmann::ordered_json records = nlohmann::ordered_json::array();
  TextTable table({"SEQ", "TIME (UTC)", "TABLE", "FAPS", "COMMAND", "ANSWER"});
  for (auto const& file : files) {
    for (auto const& record : file.records) {
      ++total;
      if (!kept(options, record)) continue;
      ++shown;
      auto const& cmd = *record.cmd;
      if (record.answer != HwAgent::JournalAnswer::done) ++failed;
      if (options.json) {
        records.push_back({{"sequence", record.sequence},
                           {"timeNs", record.timeNs},
                           {"table", record.table},
                           {"member", std::string(cmd.memberName)},
                           {"kind", Pelcar::kindName(cmd.kind)},
                           {"faps", fapsOf(cmd)},
                           {"block", cmd.block},
                           {"address", cmd.address},
                           {"array", cmd.arrayIndex},
                           {"firstRow", cmd.row},
                           {"rows", cmd.rowCount},
                           {"entrySize", cmd.entrySize},
                           {"answer", HwAgent::journalAnswerName(record.answer)},
                           {"rowsWritten", record.answer == HwAgent::JournalAnswer::done
                                               ? cmd.rowCount
                                               : record.rowsWritten},
                           {"data", std::string(Pelcar::hexBytes(cmd.data.data(), cmd.data.size()))}});
        continue;
      }
      table.rowIs({fmt::format("{}", record.sequence), timeOfDay(record.timeNs),
                   record.table.empty() ? "-" : record.table, HwAgent::fapRanges(fapsOf(cmd)),
                   fmt::format("{} {} array {} {}", Pelcar::kindName(cmd.kind),
                               std::string(cmd.memberName), cmd.arrayIndex, rowsOf(cmd)),
                   answerOf(record)});
    }
  }
  if (options.json) {
    fmt::print("{}\n", nlohmann::ordered_json{{"files", filesJson(files)},
                                              {"records", records},
                                              {"recordsInJournal", total},
                                              {"notCompleted", failed}}
                           .dump(2));
    std::fflush(stdout);
    failOnDamage(files);
    failOnUnknownTable(options, files);
    return;
  }
  fmt::print("{}", table.toString());
  fmt::print("{} of {} command(s) shown from {} file(s) of journal version {}; the chip did not "
             "complete {} of those shown\n",
             shown, total, files.size(), files.back().version, failed);
  for (auto const& file : files) {
    if (!file.cutShort.empty()) {
      fmt::print("{}: {}; read up to its last whole record\n", file.path, file.cutShort);
    }
  }
  std::fflush(stdout);
  failOnDamage(files);
  failOnUnknownTable(options, files);
}

// The command as the chip took it: whole, its first rows, or nothing.
Vorl::Ptr<Pelcar::SchanCmd> asTaken(HwAgent::JournalRecord const& record) {
  switch (record.answer) {
    case HwAgent::JournalAnswer::done:
      return record.cmd;
    case HwAgent::JournalAnswer::partial: {
      if (record.rowsWritten == 0) return nullptr;
      auto cmd = Vorl::makePtr<Pelcar::SchanCmd>(*record.cmd);
      cmd->rowCount = record.rowsWritten;
      cmd->data.resize(std::size_t{cmd->entrySize} * cmd->rowCount);
      if (cmd->rowCount == 1) cmd->kind = Pelcar::SchanCmdKind::memoryWrite;
      return cmd;
    }
    default:
      return nullptr;
  }
}

// Where a replay sends the commands: an empty chip process (in writes of up to 1024
// commands) or, without one, a simulated chip in this process.
class ReplayChip {
 public:
  explicit ReplayChip(std::string socket) : socket_(std::move(socket)) {
    local_.logLimitIs(0);
    if (socket_.empty()) return;
    try {
      client_ = std::make_unique<Sim::ChipClient>(socket_);
      auto now = client_->digest();
      if (now.cells != 0) {
        throw UsageError(fmt::format(
            "the chip at {} holds {} cells; a replay needs an empty chip (hwtables chip reset)",
            socket_, now.cells));
      }
    } catch (Sim::ChipError const& error) {
      throw CheckFailed(error.what());
    }
  }

  std::string name() const {
    return client_ ? fmt::format("the chip process at {}", socket_)
                   : std::string("a simulated chip in this process");
  }

  void take(HwAgent::JournalRecord const& record, Vorl::Ptr<Pelcar::SchanCmd> const& cmd) {
    if (client_) {
      batch_->cmdEnq(cmd);
      if (batch_->size() >= 1024) flush();
      return;
    }
    try {
      local_.execute(*cmd);
    } catch (Vorl::RangeException const& error) {
      throw CheckFailed(fmt::format("command {} of the journal cannot be replayed: {}",
                                    record.sequence, error.what()));
    }
  }

  // The chip's digest and cell count once every command taken is on it.
  std::pair<std::uint64_t, std::uint64_t> finish() {
    if (!client_) return {local_.digest(), local_.cells().size()};
    flush();
    try {
      auto now = client_->digest();
      return {now.digest, now.cells};
    } catch (Sim::ChipError const& error) {
      throw CheckFailed(error.what());
    }
  }

 private:
  void flush() {
    if (batch_->empty()) return;
    try {
      auto outcome = client_->write(batch_);
      if (!outcome.ok()) {
        throw CheckFailed(fmt::format("the chip at {} did not complete {} of the replayed commands "
                                      "(is it failing on purpose?)",
                                      socket_, outcome.faults.size()));
      }
    } catch (Sim::ChipError const& error) {
      throw CheckFailed(error.what());
    }
    batch_ = Pelcar::schanCmdsFactory();
  }

  std::string socket_;
  std::unique_ptr<Sim::ChipClient> client_;
  Sim::Chip local_;
  Vorl::Ptr<Pelcar::SchanCmds> batch_ = Pelcar::schanCmdsFactory();
};

struct ReplayCounts {
  std::size_t replayed = 0;
  std::size_t skipped = 0;
  std::size_t partial = 0;
};

void printReplay(Options const& options, std::vector<HwAgent::JournalFile> const& files,
                 ReplayCounts const& counts, std::string const& chip, std::uint64_t digest,
                 std::uint64_t cells) {
  if (options.json) {
    nlohmann::ordered_json document{{"digest", fmt::format("{:#018x}", digest)},
                                    {"cells", cells},
                                    {"replayed", counts.replayed},
                                    {"partlyWritten", counts.partial},
                                    {"skipped", counts.skipped},
                                    {"chip", chip},
                                    {"files", filesJson(files)}};
    fmt::print("{}\n", document.dump(2));
  } else {
    fmt::print("replayed {} command(s) of {} file(s) on {} ({} partly, as recorded; {} skipped: "
               "the chip had not taken them)\n",
               counts.replayed, files.size(), chip, counts.partial, counts.skipped);
    for (auto const& file : files) {
      if (!file.cutShort.empty()) {
        fmt::print("{}: {}; replayed up to its last whole record\n", file.path, file.cutShort);
      }
    }
    fmt::print("digest {:#018x}: {} cells\n", digest, cells);
  }
  std::fflush(stdout);
}

void replay(Options const& options) {
  auto files = journalOf(options.file);
  ReplayChip chip(options.chip);
  ReplayCounts counts;
  for (auto const& file : files) {
    for (auto const& record : file.records) {
      auto cmd = asTaken(record);
      if (!cmd) {
        ++counts.skipped;
        continue;
      }
      counts.partial += record.answer == HwAgent::JournalAnswer::partial;
      ++counts.replayed;
      chip.take(record, cmd);
    }
  }
  auto [digest, cells] = chip.finish();
  printReplay(options, files, counts, chip.name(), digest, cells);
  failOnDamage(files);
  if (auto first = files.front().firstSequence; first != 1) {
    throw CheckFailed(fmt::format(
        "the journal's first {} command(s) were rotated away: the digest is of the commands "
        "kept, not of the recorded run",
        first - 1));
  }
}

void addJournalCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* journal = app.add_subcommand(
      "journal", "What an agent told its chip (agent --journal, demo --journal), and replaying it");
  journal->require_subcommand(1);

  auto* showCommand = journal->add_subcommand(
      "show", "Every recorded command in order, with its table, FAPs, rows and the chip's answer");
  showCommand->add_option("FILE", options->file, "The journal (its rotated files FILE.1 ... are read too)")
      ->required();
  showCommand->add_option("--table", options->table, "Only the commands of this table");
  showCommand->add_option("--fap", options->fap, "Only the commands to this FAP")
      ->check(CLI::Range(0u, 255u));
  showCommand->add_flag("--json", options->json, "JSON for machines");
  showCommand->callback([options] { show(*options); });

  auto* replayCommand = journal->add_subcommand(
      "replay",
      "Send the recorded commands to a fresh simulated chip as the chip took them, and print "
      "its digest (hwtables chip digest prints the recorded chip's)");
  replayCommand->add_option("FILE", options->file, "The journal (its rotated files FILE.1 ... are read too)")
      ->required();
  replayCommand->add_option("--chip", options->chip,
                            "Replay onto this running, empty chip process (default: a simulated "
                            "chip in this process)");
  replayCommand->add_flag("--json", options->json, "JSON for machines");
  replayCommand->callback([options] { replay(*options); });
}

CommandRegistration registration("journal", addJournalCommand);

}  // namespace
}  // namespace JournalCommand
}  // namespace Tool
