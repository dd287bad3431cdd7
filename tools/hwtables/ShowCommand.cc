// `hwtables show TABLE|all [--faps LIST] [--root DIR] [--revision NAME] [--json]`: a
// memory table's live shadow, read from its shared-memory store by this process.
//
// The command is a reader like any other process beside the agent: it maps the
// store of each shadow (one per FAP) read-only, never takes a lock and never
// writes, so it can run while the agent changes the table. Entries are listed in key
// order, in bytes and decoded into their named fields; an entry held under a key the
// chip has no row for (another program's `set` of a `null` key) is marked as held but
// never downloaded. Exit status 1 when a shadow asked for cannot be read.
#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "store/ErasedStore.h"
#include "store/StoreFiles.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/ChipRows.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Names.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/ShowCommand.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {

namespace ShowCommand {
namespace {

struct Options {
  std::string table;
  std::string faps = "0";
  std::string root;
  std::string revision = "bcm88490_a0";
  bool json = false;
};

ShownShadow readShadow(Framework::TableRecord const& record, std::string_view className,
                       std::string const& directory, Tessar::HwShadowKey shadowKey) {
  ShownShadow shown;
  shown.table = std::string(className);
  shown.fap = shadowKey.fapId();
  shown.directory = directory;
  if (!std::filesystem::is_directory(directory)) {
    shown.problem = "no store (no agent has created this shadow)";
    return shown;
  }
  auto reader = record.store.openReader(std::string(className), directory);
  try {
    if (!reader->initialize("show")) {
      shown.problem = "the store cannot be read now (being created, wiped or damaged)";
      return shown;
    }
    std::vector<std::pair<Framework::StoredKey, std::vector<U8>>> entries;
    reader->forEach([&](Brell::Bytes const& keyBytes, Brell::Bytes const& valueBytes) {
      if (auto key = record.store.key(keyBytes)) {
        entries.emplace_back(*key, record.store.entryData(valueBytes));
      }
    });
    std::sort(entries.begin(), entries.end(), [](auto const& left, auto const& right) {
      return std::pair(left.first.arrayIndex, left.first.entryIndex) <
             std::pair(right.first.arrayIndex, right.first.entryIndex);
    });
    for (auto const& [key, data] : entries) {
      auto missing = missingRow(*record.info, {key.arrayIndex, key.entryIndex});
      shown.entries.push_back({key.text, keyJson(key), entryText(className, data),
                               entryJson(className, data), missing.value_or("")});
    }
  } catch (Vorl::Exception const& error) {
    shown.problem = fmt::format("the store cannot be read: {}", error.what());
  }
  return shown;
}

void run(Options const& options) {
  auto faps = parseFaps(options.faps);
  auto revision = parseRevision(options.revision);
  auto root = options.root.empty() ? Brell::defaultRoot() : options.root;
  std::vector<std::string> tables;
  if (equalIgnoringCase(options.table, "all")) {
    for (auto const* info : tableCatalogue()) {
      if (!info->isRegister()) tables.emplace_back(info->className);
    }
  } else {
    tables.emplace_back(memoryTable(options.table, "show reads")->info->className);
  }
  std::vector<ShownShadow> shadows;
  for (auto const& table : tables) {
    for (auto fap : faps) {
      auto shadowKey = Tessar::HwShadowKey::of(static_cast<U8>(fap), 0);
      auto record = memoryTable(table, "show reads");
      auto directory =
          memoryStoreDirectory(root, revision.revString(), record->info->fullName, shadowKey);
      shadows.push_back(readShadow(*record, table, directory, shadowKey));
    }
  }
  auto missing = std::count_if(shadows.begin(), shadows.end(),
                               [](auto const& shadow) { return !shadow.problem.empty(); });
  if (options.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (auto const& shadow : shadows) list.push_back(shadow.toJson());
    nlohmann::ordered_json document{
        {"revision", revision.revString()}, {"root", root}, {"shadows", list}};
    fmt::print("{}\n", document.dump(2));
  } else {
    for (auto const& shadow : shadows) fmt::print("{}\n", shadow.toText());
  }
  if (missing == 1) {
    auto const& shadow = *std::find_if(shadows.begin(), shadows.end(),
                                       [](auto const& each) { return !each.problem.empty(); });
    throw CheckFailed(fmt::format("{} FAP {}: {}", shadow.table, shadow.fap, shadow.problem));
  }
  if (missing > 1) {
    throw CheckFailed(
        fmt::format("{} of the {} shadows asked for could not be read", missing, shadows.size()));
  }
}

void addShowCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "show",
      "Show a memory table's live shadow (one per FAP), read from its shared-memory store "
      "by this process while the agent runs");
  addPluginDirOption(command);
  command->add_option("table", options->table, "Memory table class name, or 'all'")->required();
  command->add_option("--faps,--fap", options->faps, "FAP ids of the shadows: e.g. 0 or 0-3")
      ->capture_default_str();
  command->add_option("--root", options->root,
                      "Root of the stores (default: $HWTABLES_ROOT, else /dev/shm/hwtables)");
  command->add_option("--revision", options->revision, "Chip revision, e.g. bcm88490_a0")
      ->capture_default_str();
  command->add_flag("--json", options->json, "One JSON document, for machines");
  command->callback([options] { run(*options); });
}

CommandRegistration registration("show", addShowCommand);

}  // namespace
}  // namespace ShowCommand

std::string ShownShadow::toText() const {
  std::string text = fmt::format("{} FAP {}  ({})\n", table, fap, directory);
  if (!problem.empty()) return text + fmt::format("  {}\n", problem);
  if (entries.empty()) return text + "  no entries\n";
  TextTable rows({"KEY", "DATA AND FIELDS"});
  for (auto const& entry : entries) {
    rows.rowIs({entry.keyText, entry.neverDownloaded.empty()
                                   ? entry.valueText
                                   : fmt::format("{}  [held, never downloaded: {}]",
                                                 entry.valueText, entry.neverDownloaded)});
  }
  return text + rows.toString();
}

nlohmann::ordered_json ShownShadow::toJson() const {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (auto const& entry : entries) {
    nlohmann::ordered_json item{{"key", entry.keyJson}};
    for (auto const& [name, value] : entry.valueJson.items()) item[name] = value;
    item["downloadable"] = entry.neverDownloaded.empty();
    if (!entry.neverDownloaded.empty()) item["neverDownloaded"] = entry.neverDownloaded;
    list.push_back(item);
  }
  nlohmann::ordered_json document{{"table", table}, {"fap", fap}, {"directory", directory}};
  if (!problem.empty()) document["problem"] = problem;
  document["entries"] = list;
  return document;
}

}  // namespace Tool
