#include "tools/hwtables/AgentSession.h"

#include <cctype>
#include <charconv>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "framework/ModuleTypes.h"
#include "platform/asic/Assert.h"
#include "platform/lutz/PerUnitBitmap.h"
#include "platform/ordex/EntityManager.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "framework/ReadBackAudit.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/ModuleDescription.h"

namespace Tool {
namespace {

using Vorl::AttributeAnswer;
using Vorl::AttributeOp;
using Framework::ModuleTypes;

// A refused line: the reply's one error line.
struct BadLine : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr char const* kHelp[] = {
    "set TABLE FAP KEY field=value ...   change fields of an entry in the FAP's shadow",
    "get TABLE FAP KEY                   the entry the shadow holds (or its default)",
    "delete TABLE FAP KEY                return the entry to its default",
    "schan TABLE FAP KEY                 the write commands for one entry, sent to the chip",
    "download TABLE|all                  write whole tables to the chip",
    "clear TABLE FAP                     empty a shadow and write defaults to the chip",
    "read TABLE FAP                      read a table back from the chip through its reader",
    "audit [TABLE|all] [FAP]             read back and compare the chip with the shadows",
    "dma-buffer BYTES                    size of the DMA buffers for downloads and reads",
    "describe TABLE                      the table's types as the type runtime has them",
    "help, quit",
    "KEY is a key's text form: {value=3} or {arrayIndex=2 entryIndex=5}; numbers are",
    "decimal or 0x-hex.",
};

U64 parseNumber(std::string const& text, std::string_view what) {
  U64 value = 0;
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
    throw BadLine(fmt::format("'{}' is not a number for {}", text, what));
  }
  return value;
}

// Calls a function attribute by name; a missing one is a bad line.
std::any call(Vorl::TypeDescriptor type, std::any& self, std::string_view name,
              Vorl::Arguments const& arguments) {
  auto const* attribute = type.info().attribute(name);
  if (!attribute) throw BadLine(fmt::format("{} has no attribute {}", type.info().name, name));
  std::any result;
  auto answer = Vorl::attributeAccess(type, self, attribute->id, AttributeOp::call, arguments, result);
  if (answer != AttributeAnswer::done) {
    throw BadLine(fmt::format("{}::{} cannot be called", type.info().name, name));
  }
  return result;
}

std::string valueText(std::any const& value) {
  if (auto const* number = std::any_cast<U64>(&value)) return fmt::format("{:#x}", *number);
  if (auto const* bitmap = std::any_cast<Lutz::PerUnitBitmap>(&value)) return bitmap->toString();
  if (auto const* text = std::any_cast<std::string>(&value)) return *text;
  return "?";
}

// One table as the session drives it: its module, types and object.
struct TableHandle {
  Vorl::ModuleInspectData const* module = nullptr;
  Vorl::Ptr<Tessar::HwCommonShadowTableBase> table;
  std::any object;
  Vorl::TypeDescriptor tableType;
  Vorl::TypeDescriptor keyType;
  Vorl::TypeDescriptor entryType;

  std::any key(std::string const& text) const {
    if (text.empty() || text.front() != '{') {
      throw BadLine(fmt::format("'{}' is not a key: write {{value=N}} or {{arrayIndex=A entryIndex=E}}", text));
    }
    return keyType.info().fromText(text);
  }

  // "field = value" for every field getter of the entry.
  std::vector<std::pair<std::string, std::string>> fields(std::any entry) const {
    std::vector<std::pair<std::string, std::string>> fields;
    for (auto const& attribute : entryType.info().attributes) {
      if (attribute.kind != Vorl::AttributeKind::function || !attribute.parameters.empty()) continue;
      std::any result;
      if (Vorl::attributeAccess(entryType, entry, attribute.id, AttributeOp::call, {}, result) ==
          AttributeAnswer::done) {
        fields.emplace_back(attribute.name, valueText(result));
      }
    }
    return fields;
  }
};

}  // namespace

std::vector<std::string> commandWords(std::string const& line) {
  std::vector<std::string> words;
  std::string word;
  int depth = 0;
  for (char c : line) {
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

AgentSession::AgentSession(std::vector<U32> faps, Hardware::Sand::FapRevision revision,
                           std::string root, U32 dmaBufferBytes)
    : faps_(std::move(faps)), revision_(std::move(revision)) {
  for (auto fap : faps_) fapmask_.fapIdIs(Pelcar::FapId(fap), true);
  auto& context = Tessar::HwTableHolderContext::singleton();
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  manager_ = Vorl::makePtr<Tessar::TableManager>();
  readers_ = Vorl::makePtr<Tessar::ReadTableManager>(fapmask_);
  try {
    auto pool = Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(dmaBufferBytes);
    manager_->dmaMemPoolManagerIs(pool);
    readers_->dmaMemPoolManagerIs(pool);
    manager_->entityManagerIs(Vorl::makePtr<Ordex::EntityManager>(root));
  } catch (Vorl::RangeException const& error) {
    throw UsageError(error.what());
  }
  auto fapType = fmt::format("{}", Hardware::Sand::fapTypeValue(
                                       Hardware::Sand::chipTypeToFapType(revision_.chipType())));
  try {
    for (auto const* info : tableCatalogue()) {
      Tessar::HwTableKey key{std::string(info->className), revision_};
      auto factory = context.hwTableFactory(key);
      if (!factory) throw CheckFailed(fmt::format("no table factory for {}", info->className));
      auto table = Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(factory(revision_, manager_, nullptr));
      if (!table) throw CheckFailed(fmt::format("{} has no shadows", info->className));
      manager_->tableCollIs(key, table);
      for (auto fap : faps_) table->addShadow(Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));
      auto cmds = table->download(fapType, fapmask_);
      chip_.execute(cmds);
    }
  } catch (...) {
    manager_->tableCollDelAll();
    throw;
  }
  bringUp_.push_back(fmt::format("{} tables on FAPs {} of the simulated {} chip; memory shadows below {}",
                                 tableCatalogue().size(), fmt::join(faps_, ","),
                                 revision_.revString(), root));
}

AgentSession::~AgentSession() { manager_->tableCollDelAll(); }

AgentReply AgentSession::handle(std::string const& line) {
  auto words = commandWords(line);
  AgentReply reply;
  if (words.empty()) return reply;
  reply.json["command"] = words[0];
  try {
    reply = run(words);
    reply.json["command"] = words[0];
    reply.json["ok"] = true;
  } catch (BadLine const& error) {
    reply.ok = false;
    reply.lines = {fmt::format("error: {}", error.what())};
  } catch (UsageError const& error) {
    reply.ok = false;
    reply.lines = {fmt::format("error: {}", error.what())};
  } catch (Vorl::Exception const& error) {  // the system's own messages, assertions too
    reply.ok = false;
    reply.lines = {fmt::format("error: {}", error.what())};
  }
  if (!reply.ok) {
    reply.json = {{"command", words[0]}, {"ok", false}, {"error", reply.lines.front().substr(7)}};
  }
  return reply;
}

AgentReply AgentSession::run(std::vector<std::string> const& words) {
  AgentReply reply;
  auto const& verb = words[0];
  auto need = [&](std::size_t count, std::string_view usage) {
    if (words.size() < count) throw BadLine(fmt::format("usage: {}", usage));
  };
  auto tableNamed = [&](std::string const& name) {
    TableHandle handle;
    handle.module = Vorl::loadedModule(name);
    if (!handle.module) throw BadLine(fmt::format("unknown table: {}", name));
    handle.table = Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(
        manager_->tableColl({name, revision_}));
    if (!handle.table) throw BadLine(fmt::format("the agent holds no table {}", name));
    handle.object = Vorl::Ptr<Vorl::Node>(handle.table);
    handle.tableType = handle.table->typeData();
    handle.keyType = {handle.module, ModuleTypes::entryKey};
    handle.entryType = {handle.module, ModuleTypes::entry};
    return handle;
  };
  auto shadowKeyOf = [&](std::string const& text) {
    auto fap = parseNumber(text, "a FAP id");
    if (fap > 255 || fap == Tessar::HwShadowKey::kAllFaps) {
      throw BadLine(fmt::format("FAP id {} is not one shadow's FAP (0..255, not 128)", fap));
    }
    return static_cast<U64>(Tessar::HwShadowKey::of(static_cast<U8>(fap), 0).value());
  };
  auto entryJson = [](TableHandle const& handle, std::any const& entry) {
    nlohmann::json fields = nlohmann::json::object();
    for (auto const& [name, value] : handle.fields(entry)) fields[name] = value;
    return nlohmann::json{{"entry", handle.entryType.info().toText(entry)}, {"fields", fields}};
  };
  auto entryLines = [](TableHandle const& handle, std::any const& entry) {
    std::vector<std::string> lines{handle.entryType.info().toText(entry)};
    std::string line;
    for (auto const& [name, value] : handle.fields(entry)) {
      auto item = fmt::format("{} = {}", name, value);
      if (!line.empty() && line.size() + item.size() > 90) {
        lines.push_back("  " + line);
        line.clear();
      }
      line += (line.empty() ? "" : "   ") + item;
    }
    if (!line.empty()) lines.push_back("  " + line);
    return lines;
  };
  auto cmdsOf = [&](Vorl::Ptr<Pelcar::SchanCmds> const& cmds) {
    nlohmann::json list = nlohmann::json::array();
    if (cmds) {
      for (auto const& cmd : *cmds) {
        reply.lines.push_back("  " + cmd->toString());
        list.push_back(cmd->toJson());
      }
    }
    reply.json["commands"] = list;
    chip_.execute(cmds);
  };

  if (verb == "help") {
    reply.lines.assign(std::begin(kHelp), std::end(kHelp));
    reply.json["help"] = reply.lines;
  } else if (verb == "quit" || verb == "exit") {
    reply.quit = true;
  } else if (verb == "set") {
    need(5, "set TABLE FAP KEY field=value ...");
    auto handle = tableNamed(words[1]);
    auto shadowKey = shadowKeyOf(words[2]);
    auto key = handle.key(words[3]);
    auto entry = call(handle.tableType, handle.object, "getEntry", {shadowKey, key});
    for (std::size_t index = 4; index < words.size(); ++index) {
      auto equals = words[index].find('=');
      if (equals == std::string::npos || equals == 0) {
        throw BadLine(fmt::format("'{}' is not field=value", words[index]));
      }
      auto field = words[index].substr(0, equals);
      auto const* setter = handle.entryType.info().attribute(field + "Is");
      if (!setter || field.ends_with("Is")) {
        throw BadLine(fmt::format("{} has no field {}", handle.entryType.info().name, field));
      }
      auto value = parseNumber(words[index].substr(equals + 1), field);
      Vorl::Arguments arguments;
      if (setter->parameters.size() != 1) {
        throw BadLine(fmt::format("{} is an indexed field: set its parts one by one", field));
      }
      if (setter->parameters[0].type == "Lutz::PerUnitBitmap") {
        auto const* getter = handle.entryType.info().attribute(field);
        std::any current;
        Vorl::attributeAccess(handle.entryType, entry, getter->id, AttributeOp::call, {}, current);
        auto bitmap = std::any_cast<Lutz::PerUnitBitmap>(current);
        for (std::size_t bit = 0; bit < 64; ++bit) {
          bool set = ((value >> bit) & 1u) != 0;
          if (bit >= bitmap.widthBits()) {
            if (set) throw BadLine(fmt::format("{:#x} is too wide for {} ({} bits)", value, field, bitmap.widthBits()));
            continue;
          }
          bitmap.bitIs(bit, set);
        }
        arguments.push_back(bitmap);
      } else {
        arguments.push_back(value);
      }
      call(handle.entryType, entry, setter->name, arguments);
    }
    call(handle.tableType, handle.object, "setEntry", {shadowKey, entry});
    reply.lines = entryLines(handle, entry);
    reply.json.update(entryJson(handle, entry));
  } else if (verb == "get" || verb == "delete" || verb == "schan") {
    need(4, verb + " TABLE FAP KEY");
    auto handle = tableNamed(words[1]);
    auto shadowKey = shadowKeyOf(words[2]);
    auto key = handle.key(words[3]);
    if (verb == "delete") call(handle.tableType, handle.object, "deleteEntry", {shadowKey, key});
    if (verb == "schan") {
      auto cmds = call(handle.tableType, handle.object, "schanCmds", {shadowKey, key});
      auto list = Vorl::ptrCast<Pelcar::SchanCmds>(std::any_cast<Vorl::Ptr<Vorl::Node>>(cmds));
      reply.lines.push_back(fmt::format("{} command(s), sent to the chip:", list ? list->size() : 0));
      cmdsOf(list);
    } else {
      auto entry = call(handle.tableType, handle.object, "getEntry", {shadowKey, key});
      reply.lines = entryLines(handle, entry);
      reply.json.update(entryJson(handle, entry));
    }
  } else if (verb == "download") {
    need(2, "download TABLE|all");
    std::vector<std::string> names;
    if (words[1] == "all") {
      for (auto const* info : tableCatalogue()) names.emplace_back(info->className);
    } else {
      names.push_back(words[1]);
    }
    auto fapType = fmt::format("{}", Hardware::Sand::fapTypeValue(
                                         Hardware::Sand::chipTypeToFapType(revision_.chipType())));
    std::size_t total = 0;
    std::vector<Vorl::Ptr<Pelcar::SchanCmds>> lists;
    for (auto const& name : names) lists.push_back(tableNamed(name).table->download(fapType, fapmask_));
    for (auto const& list : lists) {
      total += list ? list->size() : 0;
      chip_.execute(list);
    }
    reply.lines.push_back(fmt::format("{} table(s) downloaded in {} command(s)", names.size(), total));
    reply.json["tables"] = names.size();
    reply.json["commandCount"] = total;
  } else if (verb == "clear") {
    need(3, "clear TABLE FAP");
    auto handle = tableNamed(words[1]);
    auto shadowKey = Tessar::HwShadowKey(static_cast<std::uint16_t>(shadowKeyOf(words[2])));
    if (!handle.table->hwShadowCollHas(shadowKey)) {
      throw BadLine(fmt::format("{} has no shadow for FAP {}", words[1], shadowKey.fapId()));
    }
    auto cmds = handle.table->clearShadow(shadowKey);
    reply.lines.push_back(fmt::format("cleared; {} command(s) sent to the chip", cmds ? cmds->size() : 0));
    reply.json["commandCount"] = cmds ? cmds->size() : 0;
    chip_.execute(cmds);
  } else if (verb == "read") {
    need(3, "read TABLE FAP");
    auto handle = tableNamed(words[1]);
    auto shadowKey = Tessar::HwShadowKey(static_cast<std::uint16_t>(shadowKeyOf(words[2])));
    auto factory = Tessar::HwTableHolderContext::singleton().hwReaderFactory({words[1], revision_});
    if (!factory) throw BadLine(fmt::format("no reader registered for {}", words[1]));
    auto reader = factory(revision_, readers_);
    auto results = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
    auto cmds = reader->tableReadSchanCmds(
        Vorl::makePtr<Tessar::HwReadRequestParameterBase>(shadowKey,
                                                          Tessar::HwReadRequestType::fullTableRead),
        results);
    chip_.answer(cmds);
    nlohmann::json entries = nlohmann::json::array();
    if (auto result = results->perInstanceReadResult(shadowKey)) {
      auto resultType = result->typeData();
      std::any object = Vorl::Ptr<Vorl::Node>(result);
      auto const* collection = resultType.info().attribute("entry");
      for (auto each = collection->iterate(object); !each->atEnd(); each->advance()) {
        auto lines = entryLines(handle, each->value());
        reply.lines.insert(reply.lines.end(), lines.begin(), lines.end());
        entries.push_back(entryJson(handle, each->value()));
      }
    }
    reply.lines.insert(reply.lines.begin(), fmt::format("{} entries read in {} command(s)",
                                                        entries.size(), cmds->size()));
    reply.json["entries"] = entries;
  } else if (verb == "audit") {
    Readers::AuditScope scope;
    if (words.size() > 1) scope.table = words[1];
    if (words.size() > 2) scope.fapId = static_cast<U32>(parseNumber(words[2], "a FAP id"));
    auto audits = Readers::auditReadBack(*manager_, readers_,
                                         [this](auto const& cmds) { chip_.answer(cmds); }, scope);
    std::size_t differences = 0;
    std::size_t entries = 0;
    nlohmann::json found = nlohmann::json::array();
    for (auto const& audit : audits) {
      entries += audit.entriesRead;
      for (auto const& difference : audit.differences) {
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
  } else if (verb == "dma-buffer") {
    need(2, "dma-buffer BYTES");
    auto bytes = parseNumber(words[1], "a buffer size");
    if (bytes > DmaMemPoolManager::DmaMemPoolManager::kMaxBufferBytes) {
      throw BadLine(fmt::format("{} bytes is above the largest buffer, {}", bytes,
                                DmaMemPoolManager::DmaMemPoolManager::kMaxBufferBytes));
    }
    auto pool = Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(static_cast<U32>(bytes));
    manager_->dmaMemPoolManagerIs(pool);
    readers_->dmaMemPoolManagerIs(pool);
    reply.lines.push_back(fmt::format("DMA buffers of {} bytes", bytes));
    reply.json["dmaBufferBytes"] = bytes;
  } else if (verb == "describe") {
    need(2, "describe TABLE");
    auto const* module = Vorl::loadedModule(words[1]);
    if (!module) throw BadLine(fmt::format("unknown table: {}", words[1]));
    auto text = moduleText(*module);
    for (std::size_t start = 0; start < text.size();) {
      auto end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      reply.lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    reply.json["module"] = moduleJson(*module);
  } else {
    throw BadLine(fmt::format("unknown command: {} (help lists them)", verb));
  }
  return reply;
}

}  // namespace Tool
