#include "tools/hwtables/AgentSession.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "framework/ModuleTypes.h"
#include "framework/ReadBackAudit.h"
#include "platform/tessar/HwTableBase.h"
#include "tools/hwtables/AgentTables.h"
#include "tools/hwtables/ChipRows.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Names.h"

namespace Tool {

nlohmann::ordered_json AgentReply::toJson(std::string_view command) const {
  nlohmann::ordered_json document{{"command", command},
                                  {"ok", ok()},
                                  {"status", status == ReplyStatus::ok        ? "ok"
                                             : status == ReplyStatus::refused ? "refused"
                                                                              : "failed"}};
  for (auto const& [name, value] : json.items()) document[name] = value;
  if (!ok()) document["error"] = problem;
  if (!detail.empty()) document["detail"] = detail;
  return document;
}

std::vector<std::string> commandWords(std::string const& line) {
  std::vector<std::string> words;
  std::string word;
  int depth = 0;
  for (char c : line) {
    if (depth == 0 && c == '#' && word.empty()) break;
    if (c == '{') ++depth;
    if (c == '}' && depth > 0) --depth;
    if (depth == 0 && std::isspace(static_cast<unsigned char>(c))) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
      continue;
    }
    word += c;
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::span<AgentSession::Command const> AgentSession::commands() {
  using Operand = Command::Operand;
  static Command const list[] = {
      {"set", "set TABLE FAP KEY field=value ...", "change fields of an entry in the FAP's shadow",
       5, 0, &AgentSession::set, Operand::table, true, true},
      {"get", "get TABLE FAP KEY", "the entry the shadow holds (or its default)", 4, 4,
       &AgentSession::get, Operand::table, true, true},
      {"delete", "delete TABLE FAP KEY", "return the entry to its default", 4, 4,
       &AgentSession::remove, Operand::table, true, true},
      {"schan", "schan TABLE FAP KEY", "the write commands for one entry, sent to the chip", 4, 4,
       &AgentSession::schan, Operand::table, true, true},
      {"download", "download TABLE|all", "write whole tables to the chip", 2, 2,
       &AgentSession::download, Operand::tableOrAll},
      {"clear", "clear TABLE FAP", "empty a shadow and write defaults to the chip", 3, 3,
       &AgentSession::clear, Operand::table, true},
      {"read", "read TABLE FAP", "read a table back from the chip through its reader", 3, 3,
       &AgentSession::read, Operand::table, true},
      {"audit", "audit [TABLE|all] [FAP]", "read back and compare the chip with the shadows", 1, 3,
       &AgentSession::audit, Operand::tableOrAll, true},
      {"reconcile", "reconcile [TABLE|all] [FAP]",
       "read back, write only the rows that differ from the shadows", 1, 3,
       &AgentSession::reconcile, Operand::tableOrAll, true},
      {"dma-buffer", "dma-buffer BYTES", "size of the DMA buffers for downloads and reads", 2, 2,
       &AgentSession::dmaBuffer},
      {"describe", "describe TABLE", "the table's types as the type runtime has them", 2, 2,
       &AgentSession::describe, Operand::table},
      {"help", "help [COMMAND]", "these lines, or one command's", 1, 2, &AgentSession::help,
       Operand::command},
      {"quit", "quit", "end the agent (so do exit, the end of input and Ctrl-C)", 1, 1,
       &AgentSession::quit},
  };
  return list;
}

namespace {

AgentSession::Command const* commandNamed(std::string const& name) {
  auto commands = AgentSession::commands();
  auto found = std::find_if(commands.begin(), commands.end(), [&name](auto const& command) {
    return equalIgnoringCase(command.name, name) || (name == "exit" && command.name == "quit");
  });
  return found == commands.end() ? nullptr : &*found;
}

std::vector<std::string> commandNames() {
  std::vector<std::string> names;
  for (auto const& command : AgentSession::commands()) names.emplace_back(command.name);
  return names;
}

}  // namespace

AgentSession::AgentSession(HwAgent::Options options)
    : agent_(std::make_unique<HwAgent::Agent>(std::move(options))),
      faps_(agent_->options().faps),
      revision_(agent_->options().revision) {
  auto const& report = agent_->bringUp();
  if (!report.warm) {
    auto download = agent_->download();
    for (auto const& failure : download.failures()) bringUp_.push_back(failure.text());
    startFailures_ = download.failures();
    if (!download.ok()) {
      startProblem_ = fmt::format("the chip did not complete {} of the start's {} download command(s)",
                                  startFailures_.size(), download.commands());
    }
    auto chip = agent_->options().chipSocket.empty() ? std::string() : " served by " + report.chip;
    bringUp_.push_back(fmt::format(
        "{} tables on FAPs {} of the simulated {} chip{}; memory "
        "shadows below {}",
        agent_->tables().size(), fapsText(), revision_.revString(), chip, report.storeRoot));
    return;
  }
  startReconcile_ = agent_->reconcile();
  appendLines(report.text(), bringUp_);
  appendLines(startReconcile_->text(), bringUp_);
  startFailures_ = startReconcile_->failures();
  if (!startReconcile_->clean()) {
    startProblem_ = fmt::format("the warm start's reconcile left {} rows differing",
                                startReconcile_->total().rowsStillDiffering);
  }
}

AgentSession::~AgentSession() = default;

nlohmann::ordered_json AgentSession::bringUpJson() const {
  nlohmann::ordered_json document{{"start", startReconcile_ ? "warm" : "cold"},
                                  {"chip", agent_->bringUp().chip}};
  if (startReconcile_) {
    document["bringUp"] = agent_->bringUp().json();
    document["reconcile"] = startReconcile_->json();
  } else {
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    for (auto const& failure : startFailures_) failures.push_back(failure.json());
    document["failures"] = failures;
  }
  return document;
}

std::string AgentSession::fapsText() const {
  return fmt::format("{}", fmt::join(faps_, ","));
}

AgentReply AgentSession::handle(std::string const& line) {
  auto words = commandWords(line);
  AgentReply reply;
  if (words.empty()) return reply;
  try {
    auto const* command = commandNamed(words[0]);
    if (!command) {
      throw UsageError(fmt::format("unknown command: {}{} (help lists them)", shown(words[0]),
                                   didYouMean(words[0], commandNames())));
    }
    if (words.size() < command->minWords ||
        (command->maxWords != 0 && words.size() > command->maxWords)) {
      throw UsageError(fmt::format("usage: {}", command->usage));
    }
    reply = (this->*command->run)(words);
  } catch (HwAgent::ChipFault const& fault) {
    // Commands the chip did not complete: an error line for each, naming its table,
    // FAPs and rows; the shadows keep what was asked for.
    reply = {};
    reply.status = ReplyStatus::failed;
    reply.problem = fault.what();
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    for (auto const& failure : fault.failures()) {
      reply.lines.push_back(failure.text());
      failures.push_back(failure.json());
    }
    reply.json["failures"] = failures;
  } catch (std::exception const& error) {
    // Bad input (exit status 2) is refused; anything else ran and failed, a chip
    // that is gone included.
    auto report = errorReport(error);
    reply = {};
    reply.status = report.exitStatus == 2 ? ReplyStatus::refused : ReplyStatus::failed;
    reply.kind = std::string(errorKind(error));
    reply.problem = report.message;
    reply.detail = report.detail;
  }
  return reply;
}

TableHandle AgentSession::table(std::string const& name) const {
  TableHandle handle;
  handle.info = &tableNamed(name);
  handle.module = Vorl::loadedModule(handle.info->className);
  if (!handle.module) {
    throw CheckFailed(fmt::format("the type runtime has no module of {}", handle.name()));
  }
  handle.table = Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(
      agent_->tableManager().tableColl({handle.name(), revision_}));
  if (!handle.table) throw UsageError(fmt::format("the agent holds no table {}", handle.name()));
  handle.object = Vorl::Ptr<Vorl::Node>(handle.table);
  handle.tableType = handle.table->typeData();
  handle.keyType = {handle.module, Framework::ModuleTypes::entryKey};
  handle.entryType = {handle.module, Framework::ModuleTypes::entry};
  return handle;
}

Tessar::HwShadowKey AgentSession::shadowOf(TableHandle const& handle,
                                           std::string const& text) const {
  auto fap = parseNumber(text, "a FAP id", 255);
  auto key = Tessar::HwShadowKey::of(static_cast<U8>(fap), 0);
  if (fap == Tessar::HwShadowKey::kAllFaps || !handle.table->hwShadowCollHas(key)) {
    throw UsageError(fmt::format("{} has no shadow for FAP {} (FAPs {} are up)", handle.name(), fap,
                                 fapsText()));
  }
  return key;
}

void AgentSession::reportNotWritten(std::vector<std::string> const& tables, std::optional<U32> fap,
                                    AgentReply& reply) const {
  nlohmann::ordered_json found = nlohmann::ordered_json::array();
  for (auto const& name : tables) {
    auto handle = table(name);
    for (auto const& [shadowKey, shadow] : handle.table->hwShadowColl()) {
      if (fap && shadowKey.fapId() != *fap) continue;
      for (auto const& entry : shadow->storedEntries()) {
        KeyPosition position{entry.arrayIndex, entry.entryIndex};
        auto missing = missingRow(*handle.info, position);
        if (!missing) continue;
        auto key = keyText(*handle.info, position);
        reply.lines.push_back(fmt::format("  not written: FAP {} {} {}: {}", shadowKey.fapId(),
                                          handle.name(), key, *missing));
        found.push_back({{"table", handle.name()},
                         {"fap", shadowKey.fapId()},
                         {"key", positionJson(position)},
                         {"reason", *missing}});
      }
    }
  }
  reply.json["notWritten"] = found;
  if (found.empty()) return;
  reply.status = ReplyStatus::failed;
  auto summary =
      fmt::format("{} {} held by the shadows {} never written: the chip has no row for {}",
                  found.size(), found.size() == 1 ? "entry" : "entries",
                  found.size() == 1 ? "is" : "are", found.size() == 1 ? "it" : "them");
  reply.problem = reply.problem.empty() ? summary : reply.problem + "; " + summary;
}

EntryTarget AgentSession::entryTarget(Words const& words, RowNeed need) const {
  EntryTarget target;
  target.handle = table(words[1]);
  auto const& handle = target.handle;
  target.shadowKey = shadowOf(handle, words[2]);
  target.shadowKeyValue = static_cast<U64>(target.shadowKey.value());
  target.key = handle.key(words[3], target.position);
  target.missingRow = missingRow(*handle.info, target.position);
  if (target.missingRow &&
      (need == RowNeed::onChip || !handle.holds(target.shadowKey, target.position))) {
    throw RangeError(
        noRowMessage(*handle.info, keyText(*handle.info, target.position), *target.missingRow));
  }
  return target;
}

AgentReply AgentSession::help(Words const& words) {
  AgentReply reply;
  if (words.size() == 2) {
    auto const* command = commandNamed(words[1]);
    if (!command) {
      throw UsageError(fmt::format("unknown command: {}{} (help lists them)", shown(words[1]),
                                   didYouMean(words[1], commandNames())));
    }
    reply.lines = {std::string(command->usage), "  " + std::string(command->help)};
  } else {
    for (auto const& command : commands()) {
      reply.lines.push_back(fmt::format("{:<36}{}", command.usage, command.help));
    }
    reply.lines.push_back("KEY is a key's text form: {value=3} or {arrayIndex=2 entryIndex=5},");
    reply.lines.push_back("optionally after its type name; numbers are decimal or 0x-hex;");
    reply.lines.push_back("# starts a comment. Tab completes commands, tables and fields.");
  }
  reply.json["help"] = reply.lines;
  return reply;
}

AgentReply AgentSession::quit(Words const&) {
  AgentReply reply;
  reply.quit = true;
  return reply;
}

std::vector<std::string> AgentSession::completions(std::vector<std::string> const& before) const {
  using Operand = Command::Operand;
  if (before.empty()) return commandNames();
  auto const* command = commandNamed(before[0]);
  if (!command) return {};
  std::vector<std::string> words;
  switch (before.size()) {
    case 1:
      if (command->operand == Operand::command) return commandNames();
      if (command->operand == Operand::none) return {};
      if (command->operand == Operand::tableOrAll) words.emplace_back("all");
      for (auto const* info : tableCatalogue()) words.emplace_back(info->className);
      return words;
    case 2:
      if (!command->takesFap) return {};
      for (auto fap : faps_) words.push_back(std::to_string(fap));
      return words;
    default:
      break;
  }
  auto const* info = tableInfo(before[1]);
  if (!info) return {};
  if (before.size() == 3 && command->takesKey) {
    return {info->key.form == Framework::KeyForm::singleIndex ? "{value=" : "{arrayIndex="};
  }
  if (before.size() >= 4 && command->run == &AgentSession::set) {
    for (auto const& field : info->fields) {
      if (field.kind != Framework::FieldKind::indexed)
        words.push_back(std::string(field.name) + "=");
    }
  }
  return words;
}

}  // namespace Tool
