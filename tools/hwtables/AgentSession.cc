#include "tools/hwtables/AgentSession.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "framework/FieldValues.h"
#include "framework/ModuleTypes.h"
#include "framework/ReadBackAudit.h"
#include "platform/lutz/PerUnitBitmap.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "tools/hwtables/ChipRows.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/FieldDecoder.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/ModuleDescription.h"
#include "tools/hwtables/Names.h"
#include "tools/hwtables/Resources.h"

namespace Tool {

using Vorl::AttributeAnswer;
using Vorl::AttributeOp;

// One table as the session drives it: its description, module, types and object.
struct TableHandle {
  Framework::TableInfo const* info = nullptr;
  Vorl::ModuleInspectData const* module = nullptr;
  Vorl::Ptr<Tessar::HwCommonShadowTableBase> table;
  std::any object;
  Vorl::TypeDescriptor tableType;
  Vorl::TypeDescriptor keyType;
  Vorl::TypeDescriptor entryType;

  std::string name() const { return std::string(info->className); }

  // The key of `text`, and the position it names. The tool's check words a value
  // out of range with its numbers; the type runtime parses.
  std::any key(std::string const& text, KeyPosition& position) const;
  // The entry's data bytes, read through its `dataByte0` collection.
  std::vector<U8> data(std::any entry) const;
  // Whether the shadow stores an entry under the key at `position`.
  bool holds(Tessar::HwShadowKey shadowKey, KeyPosition position) const;
};

// The entry a line names (TABLE FAP KEY): its table, shadow and key.
struct EntryTarget {
  TableHandle handle;
  Tessar::HwShadowKey shadowKey;
  std::any shadowKeyValue;  // the shadow key as the type runtime passes it
  std::any key;
  KeyPosition position;
  std::optional<std::string> missingRow;  // why the chip has no row for the key

  std::any call(std::string_view function) const;
};

namespace {

using Framework::ModuleTypes;

// Calls a function attribute by name. The table module publishes every function the
// console calls, so a missing or uncallable one is the module's fault, not the line's.
std::any call(Vorl::TypeDescriptor type, std::any& self, std::string_view name,
              Vorl::Arguments const& arguments) {
  auto const* attribute = type.info().attribute(name);
  if (!attribute) throw CheckFailed(fmt::format("{} has no function {}", type.info().name, name));
  std::any result;
  auto answer =
      Vorl::attributeAccess(type, self, attribute->id, AttributeOp::call, arguments, result);
  if (answer != AttributeAnswer::done) {
    throw CheckFailed(fmt::format("{}::{} cannot be called", type.info().name, name));
  }
  return result;
}

U64 readNumber(Vorl::TypeDescriptor type, std::any& self, std::string_view name) {
  auto const* attribute = type.info().attribute(name);
  std::any result;
  if (!attribute || Vorl::attributeAccess(type, self, attribute->id, AttributeOp::read, {},
                                          result) != AttributeAnswer::done) {
    throw CheckFailed(fmt::format("{} has no readable {}", type.info().name, name));
  }
  return std::any_cast<U64>(result);
}

// The lines of a text, each without its line break.
void appendLines(std::string const& text, std::vector<std::string>& lines) {
  for (std::size_t start = 0; start < text.size();) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

nlohmann::ordered_json positionJson(KeyPosition position) {
  return {{"arrayIndex", position.arrayIndex}, {"entryIndex", position.entryIndex}};
}

// A bitmap field's new bits: a number of up to 64 bits, or 0x and hex digits of up
// to the field's width (as bitmaps print).
Lutz::PerUnitBitmap bitmapValue(Framework::FieldInfo const& field, std::string const& text) {
  std::vector<unsigned> nibbles;  // least significant first
  std::string_view digits = text;
  if ((digits.starts_with("0x") || digits.starts_with("0X")) && digits.size() > 2 + 16) {
    for (auto digit = digits.rbegin(); digit != digits.rend() - 2; ++digit) {
      auto value = static_cast<unsigned char>(*digit);
      if (!std::isxdigit(value)) {
        throw UsageError(fmt::format("'{}' is not a number for field {}", shown(text), field.name));
      }
      nibbles.push_back(std::isdigit(value) ? value - '0' : std::tolower(value) - 'a' + 10);
    }
  } else {
    for (U64 value = parseNumber(text, fmt::format("field {}", field.name)); value != 0;
         value >>= 4) {
      nibbles.push_back(static_cast<unsigned>(value & 0xF));
    }
  }
  Lutz::PerUnitBitmap bitmap(field.width);
  for (std::size_t bit = 0; bit < 4 * nibbles.size(); ++bit) {
    if (((nibbles[bit / 4] >> (bit % 4)) & 1u) == 0) continue;
    if (bit >= field.width) {
      throw RangeError(
          fmt::format("value {} is wider than {} ({} bits)", shown(text), field.name, field.width));
    }
    bitmap.bitIs(bit, true);
  }
  return bitmap;
}

// The entry as text (its text form, then its fields that are not zero) and as JSON.
void entryReply(TableHandle const& handle, std::any const& entry, KeyPosition position,
                AgentReply& reply, nlohmann::ordered_json* into = nullptr) {
  auto data = handle.data(entry);
  auto fields = Framework::fieldValues(*handle.info, data);
  reply.lines.push_back(handle.entryType.info().toText(entry));
  for (auto const& line : fieldLines(nonZeroFields(fields), 88)) reply.lines.push_back("  " + line);
  nlohmann::ordered_json json{{"key", positionJson(position)},
                              {"entry", handle.entryType.info().toText(entry)},
                              {"data", Pelcar::hexBytes(data.data(), data.size())},
                              {"fields", fieldsJson(fields)}};
  if (into) {
    into->push_back(json);
  } else {
    for (auto const& [name, value] : json.items()) reply.json[name] = value;
  }
}

}  // namespace

std::any TableHandle::key(std::string const& text, KeyPosition& position) const {
  keyPosition(*info, text);
  std::any parsed;
  try {
    parsed = keyType.info().fromText(text);
  } catch (Vorl::Exception const& error) {
    throw UsageError(
        fmt::format("{} is not a key of {}: write {}", shown(text), name(), keyHint(*info)),
        error.what());
  }
  if (info->key.form == Framework::KeyForm::singleIndex) {
    position = {0, static_cast<U32>(readNumber(keyType, parsed, "value"))};
  } else {
    position = {static_cast<U8>(readNumber(keyType, parsed, "arrayIndex")),
                static_cast<U32>(readNumber(keyType, parsed, "entryIndex"))};
  }
  return parsed;
}

std::vector<U8> TableHandle::data(std::any entry) const {
  std::vector<U8> bytes;
  auto const* collection = entryType.info().attribute("dataByte0");
  if (!collection || !collection->iterate) {
    throw CheckFailed(fmt::format("{} has no dataByte0 collection", entryType.info().name));
  }
  for (auto each = collection->iterate(entry); !each->atEnd(); each->advance()) {
    bytes.push_back(static_cast<U8>(std::any_cast<U64>(each->value())));
  }
  return bytes;
}

bool TableHandle::holds(Tessar::HwShadowKey shadowKey, KeyPosition position) const {
  auto shadow = table->hwShadowColl(shadowKey);
  if (!shadow) return false;
  auto entries = shadow->storedEntries();
  return std::any_of(entries.begin(), entries.end(), [&](auto const& entry) {
    return entry.arrayIndex == position.arrayIndex && entry.entryIndex == position.entryIndex;
  });
}

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
  handle.keyType = {handle.module, ModuleTypes::entryKey};
  handle.entryType = {handle.module, ModuleTypes::entry};
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

std::any EntryTarget::call(std::string_view function) const {
  auto object = handle.object;
  return Tool::call(handle.tableType, object, function, {shadowKeyValue, key});
}

AgentReply AgentSession::set(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChip);
  auto const& handle = target.handle;
  auto entry = target.call("getEntry");
  for (std::size_t index = 4; index < words.size(); ++index) {
    auto const& word = words[index];
    auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw UsageError(fmt::format("'{}' is not field=value", shown(word)));
    }
    auto name = word.substr(0, equals);
    auto const& fields = handle.info->fields;
    auto field = std::find_if(fields.begin(), fields.end(),
                              [&name](auto const& each) { return each.name == name; });
    if (field == fields.end()) {
      std::vector<std::string> names;
      for (auto const& each : fields) names.emplace_back(each.name);
      throw UsageError(fmt::format("{} has no field {}{}", handle.entryType.info().name,
                                   shown(name), didYouMean(name, names)));
    }
    if (field->kind == Framework::FieldKind::indexed) {
      throw UsageError(
          fmt::format("{} is an indexed field: set its parts by their own names", name));
    }
    auto text = word.substr(equals + 1);
    Vorl::Arguments arguments;
    if (field->kind == Framework::FieldKind::bitmap) {
      arguments.push_back(bitmapValue(*field, text));
    } else {
      U64 largest = field->width >= 64 ? ~U64{0} : (U64{1} << field->width) - 1;
      auto value = parseNumber(text, fmt::format("field {}", name));
      if (value > largest) {
        throw RangeError(fmt::format("value {} is outside 0..{} for {} ({} bits)", value, largest,
                                     name, field->width));
      }
      arguments.push_back(value);
    }
    call(handle.entryType, entry, name + "Is", arguments);
  }
  auto object = handle.object;
  call(handle.tableType, object, "setEntry", {target.shadowKeyValue, entry});
  entryReply(handle, entry, target.position, reply);
  return reply;
}

AgentReply AgentSession::get(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChipOrHeld);
  entryReply(target.handle, target.call("getEntry"), target.position, reply);
  if (target.missingRow) {
    reply.lines.push_back(
        fmt::format("  held by the shadow, never downloaded: {}", *target.missingRow));
    reply.json["heldNotDownloaded"] = *target.missingRow;
  }
  return reply;
}

AgentReply AgentSession::remove(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChipOrHeld);
  target.call("deleteEntry");
  entryReply(target.handle, target.call("getEntry"), target.position, reply);
  return reply;
}

AgentReply AgentSession::schan(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChip);
  auto result = target.call("schanCmds");
  auto cmds = Vorl::ptrCast<Pelcar::SchanCmds>(std::any_cast<Vorl::Ptr<Vorl::Node>>(result));
  reply.lines.push_back(fmt::format("{} command(s), sent to the chip:", cmds ? cmds->size() : 0));
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  if (cmds) {
    for (auto const& cmd : *cmds) {
      reply.lines.push_back("  " + cmd->toString());
      list.push_back(nlohmann::ordered_json(cmd->toJson()));
    }
  }
  reply.json["commands"] = list;
  agent_->send(cmds, target.handle.name());
  return reply;
}

AgentReply AgentSession::download(Words const& words) {
  AgentReply reply;
  std::vector<std::string> names;
  if (equalIgnoringCase(words[1], "all")) {
    for (auto const* info : tableCatalogue()) names.emplace_back(info->className);
  } else {
    names.push_back(table(words[1]).name());
  }
  auto report = agent_->download(names.size() == 1 ? names[0] : "all");
  auto total = report.commands();
  auto failed = report.failures();
  nlohmann::ordered_json failures = nlohmann::ordered_json::array();
  for (auto const& failure : failed) {
    reply.lines.push_back(failure.text());
    failures.push_back(failure.json());
  }
  reply.lines.push_back(
      fmt::format("{} table(s) downloaded in {} command(s)", names.size(), total));
  reply.json["tables"] = names.size();
  reply.json["commandCount"] = total;
  reply.json["failures"] = failures;
  if (!failed.empty()) {
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format("the chip did not complete {} of {} command(s); audit shows the "
                                "rows that differ, reconcile writes them",
                                failed.size(), total);
  }
  reportNotWritten(names, std::nullopt, reply);
  return reply;
}

AgentReply AgentSession::clear(Words const& words) {
  AgentReply reply;
  auto handle = table(words[1]);
  auto shadowKey = shadowOf(handle, words[2]);
  auto cmds = handle.table->clearShadow(shadowKey);
  reply.lines.push_back(
      fmt::format("cleared; {} command(s) sent to the chip", cmds ? cmds->size() : 0));
  reply.json["commandCount"] = cmds ? cmds->size() : 0;
  agent_->send(cmds, handle.name());
  return reply;
}

AgentReply AgentSession::read(Words const& words) {
  AgentReply reply;
  auto handle = table(words[1]);
  auto shadowKey = shadowOf(handle, words[2]);
  auto factory =
      Tessar::HwTableHolderContext::singleton().hwReaderFactory({handle.name(), revision_});
  if (!factory) throw CheckFailed(fmt::format("no reader registered for {}", handle.name()));
  auto reader = factory(revision_, agent_->readTableManager());
  auto results = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  auto cmds = reader->tableReadSchanCmds(Vorl::makePtr<Tessar::HwReadRequestParameterBase>(
                                             shadowKey, Tessar::HwReadRequestType::fullTableRead),
                                         results);
  agent_->read(cmds);
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  AgentReply listed;
  if (auto result = results->perInstanceReadResult(shadowKey)) {
    auto resultType = result->typeData();
    std::any object = Vorl::Ptr<Vorl::Node>(result);
    auto const* collection = resultType.info().attribute("entry");
    for (auto each = collection->iterate(object); !each->atEnd(); each->advance()) {
      std::any key = each->key();
      KeyPosition position;
      if (handle.info->key.form == Framework::KeyForm::singleIndex) {
        position = {0, static_cast<U32>(readNumber(handle.keyType, key, "value"))};
      } else {
        position = {static_cast<U8>(readNumber(handle.keyType, key, "arrayIndex")),
                    static_cast<U32>(readNumber(handle.keyType, key, "entryIndex"))};
      }
      entryReply(handle, each->value(), position, listed, &entries);
    }
  }
  reply.lines.push_back(
      fmt::format("{} entries read in {} command(s)", entries.size(), cmds ? cmds->size() : 0));
  reply.lines.insert(reply.lines.end(), listed.lines.begin(), listed.lines.end());
  reply.json["entries"] = entries;
  return reply;
}

Framework::AuditScope AgentSession::scopeOf(Words const& words,
                                          std::vector<std::string>& names) const {
  Framework::AuditScope scope;
  if (words.size() > 1 && !equalIgnoringCase(words[1], "all")) {
    auto handle = table(words[1]);
    scope.table = handle.name();
    names.push_back(handle.name());
    if (words.size() > 2) scope.fapId = shadowOf(handle, words[2]).fapId();
  } else {
    for (auto const* info : tableCatalogue()) names.emplace_back(info->className);
    if (words.size() > 2) {
      auto fap = static_cast<U32>(parseNumber(words[2], "a FAP id", 255));
      if (std::find(faps_.begin(), faps_.end(), fap) == faps_.end()) {
        throw UsageError(fmt::format("no shadow serves FAP {} (FAPs {} are up)", fap, fapsText()));
      }
      scope.fapId = fap;
    }
  }
  return scope;
}

AgentReply AgentSession::audit(Words const& words) {
  AgentReply reply;
  std::vector<std::string> names;
  auto scope = scopeOf(words, names);
  auto audits = agent_->audit(scope);
  std::size_t differences = 0;
  std::size_t entries = 0;
  nlohmann::ordered_json found = nlohmann::ordered_json::array();
  for (auto const& each : audits) {
    entries += each.entriesRead;
    for (auto const& difference : each.differences) {
      ++differences;
      reply.lines.push_back("  " + difference.toString());
      found.push_back(difference.toString());
    }
  }
  reply.lines.insert(reply.lines.begin(),
                     fmt::format("{} table(s) read back: {} entries, {} differ from the shadows",
                                 audits.size(), entries, differences));
  reply.json["tables"] = audits.size();
  reply.json["entriesRead"] = entries;
  reply.json["differences"] = found;
  if (differences != 0) {
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format("the chip differs from the shadows in {} {}", differences,
                                differences == 1 ? "entry" : "entries");
  }
  reportNotWritten(names, scope.fapId, reply);
  return reply;
}

AgentReply AgentSession::reconcile(Words const& words) {
  AgentReply reply;
  std::vector<std::string> names;
  auto report = agent_->reconcile(scopeOf(words, names));
  appendLines(report.text(), reply.lines);
  auto json = report.json();
  for (auto const& [name, value] : json.items()) reply.json[name] = value;
  if (!report.clean()) {
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format("read back after the writes, {} rows still differ",
                                report.total().rowsStillDiffering);
  } else if (auto failed = report.failures().size(); failed != 0) {
    // Every row took in the end, but the chip failed writes on the way: that is
    // reported, not passed over (the chip may need looking at).
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format(
        "the chip did not complete {} write(s); written again, nothing differs now", failed);
  }
  return reply;
}

AgentReply AgentSession::dmaBuffer(Words const& words) {
  AgentReply reply;
  auto bytes = checkDmaBuffer(parseNumber(words[1], "a DMA buffer size", ~U32{0}));
  agent_->dmaBufferIs(bytes);
  reply.lines.push_back(fmt::format("DMA buffers of {} bytes for downloads and reads", bytes));
  reply.json["dmaBufferBytes"] = bytes;
  return reply;
}

AgentReply AgentSession::describe(Words const& words) {
  AgentReply reply;
  auto handle = table(words[1]);
  appendLines(moduleText(*handle.module), reply.lines);
  reply.json["module"] = nlohmann::ordered_json(moduleJson(*handle.module));
  return reply;
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
