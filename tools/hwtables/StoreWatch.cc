// `hwtables store watch [DIR]`: follows a live store through its writer's change
// notifications and prints every change (key added, changed, removed) as it happens,
// until Ctrl-C or SIGTERM. The store holds plain records (Brell::RawValue<V>, as
// `store fill` writes them), V read from the store's header. Keys are their bytes in
// hex exactly as `store dump` prints them (and `store get --bytes` reads them), values
// their bytes in hex. The loop itself is WatchLoop.h; the events are described in
// docs/change-stream.md.
#include <filesystem>
#include <memory>

#include <fmt/format.h>

#include "platform/sharedmem/MappedFile.h"
#include "store/RawValue.h"
#include "store/StoreFiles.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/WatchLoop.h"

namespace Tool {
namespace StoreWatch {
namespace {

struct WatchCommandOptions {
  std::string dir;
  std::string root;
  bool json = false;
  std::uint64_t maxEvents = 0;
};

// The value size recorded in the header of `dir`'s slot table; 0 while there is
// no readable slot table yet.
std::uint32_t recordedValueSize(std::string const& dir) {
  unsigned char header[32] = {};
  std::string path = (std::filesystem::path(dir) / Brell::kSlotFileName).string();
  if (SharedMem::readSmallFile(path, header, sizeof header) != static_cast<long>(sizeof header)) {
    return 0;
  }
  if (std::memcmp(header, "HTBSLOTS", 8) != 0) return 0;
  std::uint32_t valueSize = 0;
  std::memcpy(&valueSize, header + Brell::SlotHeaderOffset::valueSize, 4);
  return valueSize;
}

template <std::size_t V>
int watchRaw(std::string const& dir, WatchCommandOptions const& options) {
  using Traits = Brell::RawValueTraits<V>;
  auto open = [](std::string const& rootPath, Brell::ErasedNotify notify) {
    return Brell::makeErasedShadow<Traits>("watch", rootPath, std::move(notify));
  };
  auto hex = [](Brell::Bytes const& bytes) {
    std::string text;
    for (unsigned char byte : bytes) fmt::format_to(std::back_inserter(text), "{:02x}", byte);
    return text;
  };
  WatchDescriptions describe;
  describe.keyText = hex;
  describe.keyJson = [hex](Brell::Bytes const& bytes) {
    return nlohmann::ordered_json(hex(bytes));
  };
  describe.valueText = hex;
  describe.valueJson = [hex](Brell::Bytes const& bytes) {
    return nlohmann::ordered_json(hex(bytes));
  };
  WatchOptions watch;
  watch.json = options.json;
  watch.maxEvents = options.maxEvents;
  return watchStore(dir, open, describe, watch);
}

void runWatch(WatchCommandOptions const& options) {
  std::string dir = options.dir;
  if (dir.empty()) {
    std::string root = options.root.empty() ? Brell::defaultRoot() : options.root;
    dir = (std::filesystem::path(root) / "fill").string();
  }
  std::error_code error;
  auto status = std::filesystem::status(dir, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    throw UsageError(fmt::format("no store directory {}", printable(dir)));
  }
  if (status.type() != std::filesystem::file_type::directory) {
    throw UsageError(fmt::format("{} is not a directory", printable(dir)));
  }
  // The value size decides the value type; a store not yet made is waited for.
  std::uint32_t valueSize = recordedValueSize(dir);
  bool announced = false;
  StopSignals signals;
  while (valueSize == 0) {
    if (!announced) {
      if (options.json) {
        nlohmann::ordered_json line{{"event", "waiting"}, {"root", dir}, {"reason", "no store"}};
        fmt::print("{}\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
      } else {
        fmt::print("{:<8} for a store in {}\n", "waiting", dir);
      }
      std::fflush(stdout);
      announced = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (StopSignals::requested()) return;
    valueSize = recordedValueSize(dir);
  }
  if (StopSignals::requested()) return;
  int result = 0;
  switch (valueSize) {
    case 8:
      result = watchRaw<8>(dir, options);
      break;
    case 12:
      result = watchRaw<12>(dir, options);
      break;
    case 16:
      result = watchRaw<16>(dir, options);
      break;
    case 20:
      result = watchRaw<20>(dir, options);
      break;
    default:
      throw UsageError(
          fmt::format("{} holds {}-byte values; watch shows stores of 8, 12, 16 or "
                      "20-byte records",
                      printable(dir), valueSize));
  }
  if (result != 0) throw CheckFailed(fmt::format("store watch {}: the store is corrupt", dir));
}

void addWatchCommand(CLI::App& app) {
  auto* store = app.get_subcommand("store");
  auto* command = store->add_subcommand(
      "watch",
      "Follow a live store and print every change (added, changed, removed) as it "
      "happens, until Ctrl-C");
  auto options = std::make_shared<WatchCommandOptions>();
  command->add_option("dir", options->dir, "Store directory, used as given (default: <root>/fill)");
  command->add_option("--root", options->root,
                      "Root of stores for the default directory (default: $HWTABLES_ROOT, "
                      "else /dev/shm/hwtables)");
  command->add_flag("--json", options->json, "JSON Lines, one event per line, for machines");
  command->add_option("--max-events", options->maxEvents, "Stop after this many events (0: never)");
  command->footer(
      "Attaches as a shadow (a reader with a local index fed by the writer's notifications);\n"
      "never writes the store. It prints the latest state of every key: each change carries\n"
      "the writer's sequence number (#N, or #F-N when changes F..N were merged into one\n"
      "line). Events: waiting; resync (reading the whole store: at the start, after the\n"
      "writer lapped this follower, after another writer took over), followed by the\n"
      "differences and synced; added, changed, removed; writer (went away, or attached;\n"
      "a new restart identity means the store was wiped); with --json also unchanged.\n"
      "Keys are their bytes in hex as 'store dump' prints them, values their bytes in hex.\n"
      "Applying the events in order gives the store's contents. Ends on Ctrl-C or\n"
      "SIGTERM, exit 0. The JSON Lines events: docs/change-stream.md.");
  command->callback([options] { runWatch(*options); });
}

// Registered after "store" (commands are added in name order).
CommandRegistration registration("store~watch", addWatchCommand);

}  // namespace
}  // namespace StoreWatch
}  // namespace Tool
