// `hwtables watch TABLE [--fap N] [--root DIR] [--revision NAME] [--json]`: follows a
// memory table's live shadow through its store's change notifications and prints
// every entry added, changed or removed, decoded into its fields, until Ctrl-C.
//
// The store may not exist yet (the agent has not created the shadow): the watch
// waits for it. It goes on through the writer's growth, compaction and restart and
// says when the writer went away or wiped the store. What it prints and promises:
// WatchLoop.h and docs/change-stream.md.
#include <fmt/format.h>

#include "store/StoreFiles.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/WatchLoop.h"

namespace Tool {
namespace WatchCommand {
namespace {

struct Options {
  std::string table;
  std::string fap = "0";
  std::string root;
  std::string revision = "bcm88490_a0";
  bool json = false;
  std::uint64_t maxEvents = 0;
};

void run(Options const& options) {
  auto faps = parseFaps(options.fap);
  if (faps.size() != 1) throw UsageError("watch follows one shadow: give one FAP id");
  auto revision = parseRevision(options.revision);
  auto root = options.root.empty() ? Brell::defaultRoot() : options.root;
  auto shadowKey = Tessar::HwShadowKey::of(static_cast<U8>(faps.front()), 0);
  int status = 0;
  auto record = memoryTable(options.table, "watch follows");
  auto directory =
      memoryStoreDirectory(root, revision.revString(), record->info->fullName, shadowKey);
  if (!options.json) {
    fmt::print("watching {} FAP {} in {} (Ctrl-C stops)\n", options.table, faps.front(),
               directory);
  }
  WatchOptions watch;
  watch.json = options.json;
  watch.maxEvents = options.maxEvents;
  status = watchTable(*record, options.table, directory, watch);
  if (status != 0) throw CheckFailed(fmt::format("watch of {} ended with status {}", options.table, status));
}

void addWatchCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "watch",
      "Follow a memory table's live shadow through its store's notifications and print each "
      "entry added, changed or removed, decoded into fields, until interrupted");
  addPluginDirOption(command);
  command->add_option("table", options->table, "Memory table class name")->required();
  command->add_option("--fap", options->fap, "FAP id of the shadow")->capture_default_str();
  command->add_option("--root", options->root,
                      "Root of the stores (default: $HWTABLES_ROOT, else /dev/shm/hwtables)");
  command->add_option("--revision", options->revision, "Chip revision, e.g. bcm88490_a0")
      ->capture_default_str();
  command->add_flag("--json", options->json, "JSON Lines, one event a line, for machines");
  command->add_option("--max-events", options->maxEvents,
                      "Stop after this many events (0: until interrupted)")
      ->capture_default_str();
  command->footer(
      "Attaches as a shadow of the table's store and never writes it. It prints the latest\n"
      "state of every entry: each change carries the writer's sequence number (#N, or #F-N\n"
      "when changes F..N were merged into one line). Events: waiting; resync (reading the\n"
      "whole store: at the start, after the writer lapped this follower, after another\n"
      "writer took over), followed by the differences and synced; added, changed, removed;\n"
      "writer (went away, or attached); with --json also unchanged. Applying the events in\n"
      "order gives the shadow's contents. The JSON Lines events: docs/change-stream.md.");
  command->callback([options] { run(*options); });
}

CommandRegistration registration("watch", addWatchCommand);

}  // namespace
}  // namespace WatchCommand

int watchTable(Framework::TableRecord const& record, std::string const& className,
               std::string const& directory, WatchOptions const& watch) {
  auto const& store = record.store;
  auto open = [&store](std::string const& rootPath, Brell::ErasedNotify notify) {
    return store.openShadow("watch", rootPath, std::move(notify));
  };
  auto keyOf = [&store](Brell::Bytes const& bytes) {
    return store.key(bytes).value_or(Framework::StoredKey{});
  };
  WatchDescriptions describe;
  describe.keyText = [keyOf](Brell::Bytes const& key) { return keyOf(key).text; };
  describe.keyJson = [keyOf](Brell::Bytes const& key) { return keyJson(keyOf(key)); };
  describe.valueText = [&store, className](Brell::Bytes const& value) {
    return entryText(className, store.entryData(value));
  };
  describe.valueJson = [&store, className](Brell::Bytes const& value) {
    return entryJson(className, store.entryData(value));
  };
  return watchStore(directory, open, describe, watch);
}

}  // namespace Tool
