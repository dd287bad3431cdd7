// `hwtables tables [TABLE...] [--json]`: the catalogue of the tables, straight from
// their descriptions. Without names: one summary row per table; with names: each
// named table in full (members and fields).
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tools/hwtables/Command.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace TablesCommand {
namespace {

using Framework::FieldKind;
using Framework::KeyForm;
using Framework::TableInfo;

// A single-index key also takes `null`, which names no row: shown apart from the rows.
std::string keyText(TableInfo const& info) {
  if (info.key.form == KeyForm::singleIndex) {
    return info.key.null == 1
               ? "value 0 (null 1)"
               : fmt::format("value 0..{} (null {})", info.key.null - 1, info.key.null);
  }
  return fmt::format("array {}..{}, entry {}..{}", info.key.arrayIndexMin, info.key.arrayIndexMax,
                     info.key.entryIndexMin, info.key.entryIndexMax);
}

std::string rangeText(std::uint32_t first, std::uint32_t count) {
  return count == 1 ? fmt::format("{}", first) : fmt::format("{}..{}", first, first + count - 1);
}

nlohmann::json keyJson(TableInfo const& info) {
  if (info.key.form == KeyForm::singleIndex) {
    return {{"form", "single"}, {"min", 0}, {"max", info.key.null - 1}, {"null", info.key.null}};
  }
  return {{"form", "array"},
          {"arrayIndexMin", info.key.arrayIndexMin},
          {"arrayIndexMax", info.key.arrayIndexMax},
          {"entryIndexMin", info.key.entryIndexMin},
          {"entryIndexMax", info.key.entryIndexMax}};
}

nlohmann::json tableJson(TableInfo const& info) {
  nlohmann::json members = nlohmann::json::array();
  for (auto const& member : info.members) {
    members.push_back({{"memoryId", member.memoryId},
                       {"name", member.name},
                       {"block", member.block},
                       {"address", member.address},
                       {"firstArrayIndex", member.firstArrayIndex},
                       {"arrayCount", member.arrayCount},
                       {"firstEntryIndex", member.firstEntryIndex},
                       {"entryCount", member.entryCount}});
  }
  nlohmann::json fields = nlohmann::json::array();
  for (auto const& field : info.fields) {
    nlohmann::json entry{{"name", field.name},
                         {"type", field.typeName},
                         {"kind", Framework::fieldKindName(field.kind)},
                         {"offset", field.offset},
                         {"width", field.width}};
    if (field.kind == FieldKind::indexed) {
      entry["stride"] = field.stride;
      entry["count"] = field.count;
    }
    fields.push_back(entry);
  }
  auto const& first = info.members.front();
  nlohmann::json table{{"class", info.className},
                       {"fullName", info.fullName},
                       {"kind", Framework::kindName(info.kind)},
                       {info.isRegister() ? "bcmRegName" : "bcmMemName", info.hardwareName},
                       {"descriptorName", info.descriptorName},
                       {"moduleOrder", info.moduleOrder},
                       {"key", keyJson(info)},
                       {"firstArrayIndex", first.firstArrayIndex},
                       {"arrays", first.arrayCount},
                       {"firstRow", first.firstEntryIndex},
                       {"rows", first.entryCount},
                       {"entryBytes", info.entryBytes},
                       {"entryBits", info.entryBits()},
                       {"members", members},
                       {"fields", fields}};
  if (!info.isRegister()) table["hardwareBlock"] = info.tableBlock;
  return table;
}

std::string membersText(TableInfo const& info) {
  std::string text;
  for (auto const& member : info.members) {
    if (!text.empty()) text += ", ";
    text += fmt::format("{} (block {}, {:#x})", member.name, member.block, member.address);
  }
  return text;
}

std::string summary(std::span<TableInfo const* const> tables) {
  TextTable table({"TABLE", "KIND", "KEY", "ARRAYS", "ROWS", "BYTES", "BITS", "MEMBERS"});
  for (auto const* info : tables) {
    auto const& first = info->members.front();
    table.rowIs({std::string(info->className), std::string(Framework::kindName(info->kind)),
                 keyText(*info), rangeText(first.firstArrayIndex, first.arrayCount),
                 fmt::format("{}", first.entryCount), fmt::format("{}", info->entryBytes),
                 fmt::format("{}", info->entryBits()), membersText(*info)});
  }
  return table.toString();
}

std::string details(TableInfo const& info) {
  auto const& first = info.members.front();
  std::string text = fmt::format(
      "{}  ({})\n  hardware name   {}\n  description     {}\n  key             {}\n"
      "  arrays          {}\n  rows            {}\n  entry           {} bytes, {} bits\n",
      info.fullName, Framework::kindName(info.kind), info.hardwareName, info.descriptorName,
      keyText(info),
      fmt::format("{} ({})", rangeText(first.firstArrayIndex, first.arrayCount), first.arrayCount),
      fmt::format("{} ({})", rangeText(first.firstEntryIndex, first.entryCount), first.entryCount),
      info.entryBytes, info.entryBits());
  if (!info.isRegister()) text += fmt::format("  hardware block  {}\n", info.tableBlock);
  text += "\n";
  TextTable members({"MEMORY ID", "MEMBER", "BLOCK", "ADDRESS"});
  for (auto const& member : info.members) {
    members.rowIs({fmt::format("{}", member.memoryId), std::string(member.name),
                   fmt::format("{}", member.block), fmt::format("{:#x}", member.address)});
  }
  text += members.toString() + "\n";
  TextTable fields({"FIELD", "TYPE", "BITS", "WIDTH"});
  for (auto const& field : info.fields) {
    std::string bits = field.width == 1
                           ? fmt::format("{}", field.offset)
                           : fmt::format("{}..{}", field.offset, field.offset + field.width - 1);
    std::string name(field.name);
    if (field.kind == FieldKind::indexed) {
      name += fmt::format("(0..{})", field.count - 1);
      bits += fmt::format(" + {}*index", field.stride);
    }
    fields.rowIs({name, std::string(field.typeName), bits, fmt::format("{}", field.width)});
  }
  return text + fields.toString();
}

void run(std::vector<std::string> const& names, bool json) {
  std::vector<TableInfo const*> tables;
  if (names.empty()) {
    auto catalogue = tableCatalogue();
    tables.assign(catalogue.begin(), catalogue.end());
  }
  for (auto const& name : names) tables.push_back(&tableNamed(name));
  if (json) {
    nlohmann::json document = nlohmann::json::array();
    for (auto const* info : tables) document.push_back(tableJson(*info));
    fmt::print("{}\n", document.dump(2));
    return;
  }
  if (names.empty()) {
    fmt::print("{}", summary(tables));
    return;
  }
  for (std::size_t index = 0; index < tables.size(); ++index) {
    fmt::print("{}{}", index ? "\n" : "", details(*tables[index]));
  }
}

void addTablesCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "tables", "List the tables: keys, sizes, hardware members; name tables for their fields");
  addPluginDirOption(command);
  auto names = std::make_shared<std::vector<std::string>>();
  auto json = std::make_shared<bool>(false);
  command->add_option("table", *names,
                      "Show these tables in full (class names, matched ignoring case)");
  command->add_flag("--json", *json, "One JSON document with every detail, for machines");
  command->callback([names, json] { run(*names, *json); });
}

CommandRegistration registration("tables", addTablesCommand);

}  // namespace
}  // namespace TablesCommand
}  // namespace Tool
