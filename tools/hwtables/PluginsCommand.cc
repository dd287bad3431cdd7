// `hwtables plugins [--plugin-dir DIR] [--json]`: the plug-ins loaded from the plug-in
// directory and what each registered: its tables (the table registry), its reader
// factories and the revisions they serve (the holder context), and its table
// plug-ins with the table factories they register when the agent initialises them
// (counted on a scratch holder context, so the agent's own is left untouched). Files
// that failed to load are listed with the reason; the command then exits with 1.
// `--symbols` adds what each plug-in exports for a platform to find by name: its
// chosen dynamic symbols (marker, factories, type-runtime records), read from the
// file; the others (weak ones the compiler shares, a sanitizer's) are only counted.
#include <algorithm>
#include <optional>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>

#include "framework/TableRegistry.h"
#include "platform/plugin/ExportedSymbols.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/Plugins.h"

namespace Tool {
namespace PluginsCommand {
namespace {

struct PluginReport {
  Plugin::LoadedPlugin plugin;
  std::vector<std::string> tables;
  std::size_t readerFactories = 0;
  std::set<std::string> revisions;
  std::size_t tablePlugins = 0;
  std::size_t tableFactories = 0;
  // With --symbols: the chosen exports, and how many others there are.
  std::optional<std::vector<Plugin::ExportedSymbol>> exports;
  std::size_t otherExports = 0;

  nlohmann::ordered_json toJson() const {
    nlohmann::ordered_json document{{"path", plugin.path},
                                    {"name", plugin.name},
                                    {"version", plugin.version},
                                    {"tables", tables},
                                    {"readerFactories", readerFactories},
                                    {"revisions", revisions},
                                    {"tablePlugins", tablePlugins},
                                    {"tableFactories", tableFactories}};
    if (exports) {
      nlohmann::ordered_json symbols = nlohmann::ordered_json::array();
      for (auto const& symbol : *exports) {
        symbols.push_back({{"name", symbol.demangled},
                           {"symbol", symbol.name},
                           {"kind", symbol.function ? "function" : "object"}});
      }
      document["symbols"] = std::move(symbols);
      document["otherSymbols"] = otherExports;
    }
    return document;
  }
};

void addExports(PluginReport& report) {
  report.exports.emplace();
  for (auto& symbol : Plugin::exportedSymbols(report.plugin.path)) {
    if (symbol.chosen()) {
      report.exports->push_back(std::move(symbol));
    } else {
      ++report.otherExports;
    }
  }
}

PluginReport reportOf(Plugin::LoadedPlugin const& plugin) {
  PluginReport report;
  report.plugin = plugin;
  for (auto const& record : Framework::TableRegistry::singleton().tables()) {
    if (record->source == plugin.path) report.tables.emplace_back(record->info->className);
  }
  for (auto const& reader : Tessar::HwTableHolderContext::singleton().readerSources()) {
    if (reader.source != plugin.path) continue;
    ++report.readerFactories;
    report.revisions.insert(reader.hwTableKey.fapRevision.revString());
  }
  Tessar::HwTableHolderContext scratch;
  auto& loader = Tessar::HwTablePlugin::DefaultHwTableLoader();
  for (auto const& [name, source] : loader.pluginSources()) {
    if (source != plugin.path) continue;
    ++report.tablePlugins;
    loader.initPlugin(name, scratch);
  }
  report.tableFactories = scratch.registrations().size();
  return report;
}

void run(bool json, bool symbols) {
  auto const& load = loadPlugins();
  std::vector<PluginReport> reports;
  for (auto const& plugin : Plugin::loadedPlugins()) {
    reports.push_back(reportOf(plugin));
    if (symbols) addExports(reports.back());
  }
  if (json) {
    nlohmann::ordered_json plugins = nlohmann::ordered_json::array();
    for (auto const& report : reports) plugins.push_back(report.toJson());
    nlohmann::ordered_json failed = nlohmann::ordered_json::array();
    for (auto const& error : load.errors) {
      failed.push_back({{"path", error.path}, {"reason", error.reason}});
    }
    nlohmann::ordered_json document{
        {"directory", load.directory}, {"plugins", plugins}, {"failed", failed}};
    fmt::print("{}\n", document.dump(2));
  } else {
    fmt::print("plug-in directory {}\n", load.directory);
    for (auto const& report : reports) {
      fmt::print("\n{} ({} {})\n", report.plugin.path, report.plugin.name, report.plugin.version);
      fmt::print("  tables           {}: {}\n", report.tables.size(),
                 fmt::join(report.tables, ", "));
      fmt::print("  reader factories {} for revisions {}\n", report.readerFactories,
                 fmt::join(report.revisions, ", "));
      fmt::print("  table plug-ins   {}, registering {} table factories\n", report.tablePlugins,
                 report.tableFactories);
      if (report.exports) {
        fmt::print("  exports          {} symbols (and {} the compiler shares or adds)\n",
                   report.exports->size(), report.otherExports);
        for (auto const& symbol : *report.exports) {
          fmt::print("    {:<8} {}\n", symbol.function ? "function" : "object", symbol.demangled);
        }
      }
    }
    for (auto const& error : load.errors) fmt::print("\nfailed: {}\n", error.toString());
  }
  if (!load.errors.empty()) {
    throw CheckFailed(fmt::format("{} plug-in file(s) failed to load", load.errors.size()));
  }
  if (reports.empty()) {
    throw CheckFailed(fmt::format("no plug-in in {}", load.directory));
  }
}

void addPluginsCommand(CLI::App& app) {
  auto json = std::make_shared<bool>(false);
  auto symbols = std::make_shared<bool>(false);
  auto* command = app.add_subcommand(
      "plugins", "List the plug-ins loaded from the plug-in directory and what each registered");
  addPluginDirOption(command, PluginNeed::none);
  command->add_flag("--json", *json, "One JSON document, for machines");
  command->add_flag("--symbols", *symbols,
                    "Also list what each plug-in exports for a platform to find by name "
                    "(its factories and type-runtime records)");
  command->callback([json, symbols] { run(*json, *symbols); });
}

CommandRegistration registration("plugins", addPluginsCommand);

}  // namespace
}  // namespace PluginsCommand
}  // namespace Tool
