// `hwtables demo [--faps LIST] [--revision NAME] [--json]`: the tables at work, end to
// end, on the simulated chip.
//
// The demo does what the agent does when it brings chips up: it initialises the
// table plug-ins with the holder context, obtains each table through the factory
// registered for the revision, adds one shadow per FAP (shadow key = FAP id,
// instance 0; each shadow serves its own FAP), downloads every table to the
// simulated chip and then checks that the chip holds exactly what each shadow holds.
// Exit status 0 only when every check holds.
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>

#include "platform/hardware/FapRevision.h"
#include "platform/sim/SimChip.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "tables/Catalogue.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/FieldDecoder.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace {

struct Options {
  std::string faps = "0,1";
  std::string revision = "bcm88490_a0";
  bool json = false;
};

struct TableResult {
  std::string name;
  std::string fullName;
  std::vector<std::pair<Tessar::HwShadowKey, Vorl::Ptr<Tessar::HwShadowBase>>> shadows;
  Vorl::Ptr<Pelcar::SchanCmds> cmds;
  Sim::TableCheck check;
};

U32 parseFapId(std::string_view text, std::string const& list) {
  U32 value = 0;
  if (text.empty() || text.size() > 3) {
    throw UsageError(fmt::format("bad FAP list '{}': '{}' is not a FAP id (0..255)", list, text));
  }
  for (char digit : text) {
    if (digit < '0' || digit > '9') {
      throw UsageError(fmt::format("bad FAP list '{}': '{}' is not a FAP id (0..255)", list, text));
    }
    value = value * 10 + static_cast<U32>(digit - '0');
  }
  if (value > 255) {
    throw UsageError(fmt::format("bad FAP list '{}': FAP id {} is above 255", list, value));
  }
  if (value == Tessar::HwShadowKey::kAllFaps) {
    throw UsageError(fmt::format(
        "bad FAP list '{}': FAP id 128 is reserved (it stands for every FAP in read requests)",
        list));
  }
  return value;
}

// "0,1", "0-3", "0,4-6": FAP ids 0..255 (128 excluded), in ascending order.
std::vector<U32> parseFaps(std::string const& list) {
  std::set<U32> faps;
  std::string_view rest = list;
  while (true) {
    auto comma = rest.find(',');
    auto item = rest.substr(0, comma);
    if (auto dash = item.find('-'); dash != std::string_view::npos) {
      U32 first = parseFapId(item.substr(0, dash), list);
      U32 last = parseFapId(item.substr(dash + 1), list);
      if (first > last) {
        throw UsageError(fmt::format("bad FAP list '{}': range {} runs backwards", list, item));
      }
      if (first < Tessar::HwShadowKey::kAllFaps && last >= Tessar::HwShadowKey::kAllFaps) {
        parseFapId("128", list);  // refuses the reserved id with its reason
      }
      for (U32 fap = first; fap <= last; ++fap) faps.insert(fap);
    } else {
      faps.insert(parseFapId(item, list));
    }
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  return {faps.begin(), faps.end()};
}

Hardware::Sand::FapRevision parseRevision(std::string const& name) {
  Hardware::Sand::FapRevision revision;
  if (!Hardware::Sand::fapRevisionFromString(name, revision)) {
    std::string known;
    for (auto const& candidate : Hardware::Sand::knownFapRevisions()) {
      if (candidate.chipType() != Hardware::bcm88490_a0ChipType) continue;
      known += (known.empty() ? "" : ", ") + candidate.revString();
    }
    throw UsageError(fmt::format("unknown revision '{}' (the tables serve {})", name, known));
  }
  if (revision.chipType() != Hardware::bcm88490_a0ChipType) {
    throw UsageError(
        fmt::format("revision '{}' is chip type {}; the tables register only for chip type {}",
                    name, Hardware::chipTypeValue(revision.chipType()),
                    Hardware::chipTypeValue(Hardware::bcm88490_a0ChipType)));
  }
  return revision;
}

std::string fapsText(std::vector<U32> const& faps) {
  Pelcar::Fapmask mask;
  for (auto fap : faps) mask.fapIdIs(Pelcar::FapId(fap), true);
  return Pelcar::valueToStrep(mask);
}

nlohmann::json resultJson(TableResult const& result) {
  nlohmann::json shadows = nlohmann::json::array();
  for (auto const& [key, shadow] : result.shadows) {
    nlohmann::json entries = nlohmann::json::array();
    for (auto const& entry : shadow->storedEntries()) {
      entries.push_back({{"arrayIndex", entry.arrayIndex},
                         {"entryIndex", entry.entryIndex},
                         {"data", Pelcar::hexBytes(entry.data.data(), entry.data.size())}});
    }
    nlohmann::json faps = nlohmann::json::array();
    for (auto id : shadow->servedFapmask().fapIds()) faps.push_back(id.value);
    shadows.push_back({{"hwShadowKey", key.value()},
                       {"fapId", key.fapId()},
                       {"name", shadow->name()},
                       {"servedFaps", faps},
                       {"entries", entries}});
  }
  nlohmann::json cmds = nlohmann::json::array();
  if (result.cmds) {
    for (auto const& cmd : *result.cmds) cmds.push_back(cmd->toJson());
  }
  return {{"table", result.name},
          {"fullName", result.fullName},
          {"shadows", shadows},
          {"commands", cmds},
          {"cellsChecked", result.check.cellsChecked},
          {"ok", result.check.ok()},
          {"mismatches", result.check.mismatches}};
}

// What a person wants to see after a bring-up: each register's value as the chip now
// holds it, in bytes and decoded into its fields.
void printChipContents(Sim::Chip const& chip, std::vector<TableResult> const& results, U32 fap) {
  fmt::print("\nOn the chip now (FAP {}):\n", fap);
  for (auto const& result : results) {
    auto const* info = bcm88490_a0::tableInfo(result.name);
    if (!info) continue;
    auto const& member = info->members.front();
    auto value = chip.registerValue(Pelcar::FapId(fap), member.block, member.address);
    if (!value) continue;
    fmt::print("\n  {}  {:02x}\n", result.name, fmt::join(*value, " "));
    for (auto const& line : fieldLines(decodeFields(result.name, *value), 96)) {
      fmt::print("    {}\n", line);
    }
  }
}

void run(Options const& options) {
  auto faps = parseFaps(options.faps);
  auto revision = parseRevision(options.revision);
  Pelcar::Fapmask downloadFapmask;
  for (auto fap : faps) downloadFapmask.fapIdIs(Pelcar::FapId(fap), true);
  auto fapType =
      Hardware::Sand::fapTypeValue(Hardware::Sand::chipTypeToFapType(revision.chipType()));

  // The agent's side: plug-ins initialised with the holder context, a table manager.
  auto& context = Tessar::HwTableHolderContext::singleton();
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  auto manager = Vorl::makePtr<Tessar::TableManager>();
  auto mdbManager = Vorl::makePtr<Ombra::TableManager>();
  Sim::Chip chip;

  std::vector<TableResult> results;
  try {
    for (auto const* info : bcm88490_a0::tableCatalogue()) {
      if (!info->isRegister()) continue;
      Tessar::HwTableKey key{std::string(info->className), revision};
      auto factory = context.hwTableFactory(key);
      if (!factory) {
        throw CheckFailed(fmt::format("no table factory registered for {} on revision {}",
                                      info->className, revision.revString()));
      }
      auto table =
          Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(factory(revision, manager, mdbManager));
      if (!table) {
        throw CheckFailed(
            fmt::format("the factory of {} returned no shadowed table", info->className));
      }
      manager->tableCollIs(key, table);
      for (auto fap : faps) table->addShadow(Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));

      TableResult result{std::string(info->className), table->typeName(), {}, {}, {}};
      for (auto const& [shadowKey, shadow] : table->hwShadowColl()) {
        result.shadows.emplace_back(shadowKey, shadow);
      }
      result.cmds = table->download(fmt::format("{}", fapType), downloadFapmask);
      chip.execute(result.cmds);
      result.check = Sim::verifyTable(chip, *table, downloadFapmask);
      results.push_back(std::move(result));
    }
  } catch (...) {
    manager->tableCollDelAll();
    throw;
  }

  std::size_t failed = 0;
  for (auto const& result : results) failed += result.check.ok() ? 0 : 1;

  if (options.json) {
    nlohmann::json tables = nlohmann::json::array();
    for (auto const& result : results) tables.push_back(resultJson(result));
    nlohmann::json document{{"revision", revision.revString()},
                            {"fapType", fapType},
                            {"faps", faps},
                            {"tables", tables},
                            {"chipCommandsExecuted", chip.log().size()},
                            {"ok", failed == 0}};
    fmt::print("{}\n", document.dump(2));
  } else {
    fmt::print("Simulated chip, revision {} (FAP type {}), FAPs {}\n\n", revision.revString(),
               fapType, fapsText(faps));
    TextTable table({"TABLE", "SHADOWS", "ENTRIES", "COMMANDS", "CELLS CHECKED", "CHECK"});
    for (auto const& result : results) {
      std::size_t entries = 0;
      for (auto const& [key, shadow] : result.shadows) entries += shadow->storedEntries().size();
      table.rowIs(
          {result.name, fmt::format("{}", result.shadows.size()), fmt::format("{}", entries),
           fmt::format("{}", result.cmds ? result.cmds->size() : 0),
           fmt::format("{}", result.check.cellsChecked), result.check.ok() ? "ok" : "MISMATCH"});
    }
    fmt::print("{}", table.toString());
    for (auto const& result : results) {
      for (auto const& mismatch : result.check.mismatches) {
        fmt::print("  {}: {}\n", result.name, mismatch);
      }
    }
    printChipContents(chip, results, faps.front());
    if (failed == 0) {
      fmt::print("\n{} registers programmed and verified on the simulated chip.\n", results.size());
    }
  }
  manager->tableCollDelAll();
  if (failed != 0) {
    throw CheckFailed(
        fmt::format("{} of {} tables do not match the simulated chip", failed, results.size()));
  }
}

void addDemoCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "demo",
      "Program every register on a simulated chip through the registered factories and "
      "verify that the chip holds each shadow's contents");
  command
      ->add_option("--faps", options->faps,
                   "FAP ids to bring up, one shadow each: e.g. 0,1 or 0-3 (0..255, not 128)")
      ->capture_default_str();
  command->add_option("--revision", options->revision, "Chip revision, e.g. bcm88490_a0")
      ->capture_default_str();
  command->add_flag("--json", options->json,
                    "One JSON document with each shadow's entries and the commands, for machines");
  command->callback([options] { run(*options); });
}

CommandRegistration registration("demo", addDemoCommand);

}  // namespace
}  // namespace Tool
