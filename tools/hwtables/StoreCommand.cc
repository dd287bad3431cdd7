// `hwtables store check|dump|fill`: a shared-memory table store seen from outside.
//
// check and dump open a store directory's files read-only and never write to it, so
// they are safe on a store that a writer in another process is using; they take a
// consistent copy between two of the writer's operations. fill is the store's single
// writer for trying the store by hand and for tests.
//
// Directories. DIR is a path used as given (relative to the working directory when
// relative). Without DIR, every subcommand uses <root>/fill, where <root> is --root,
// else $HWTABLES_ROOT, else /dev/shm/hwtables.
//
// Exit status: 0 when the store is valid (check, dump) or filled (fill); 1 when a
// store is invalid, busy, or the work failed; 2 for bad arguments and for directories
// that are not stores or cannot be filled.
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <memory>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "store/Link.h"
#include "store/StoreFiles.h"
#include "store/StoreInspector.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/StoreFill.h"
#include "tools/hwtables/StoreReport.h"

namespace Tool {
namespace {

constexpr char const* kDefaultStoreName = "fill";

struct Where {
  std::string dir;
  std::string root;
};

std::string storeDirectory(Where const& where) {
  if (!where.dir.empty()) return where.dir;
  std::string root = where.root.empty() ? Brell::defaultRoot() : where.root;
  return (std::filesystem::path(root) / kDefaultStoreName).string();
}

void addWhereOptions(CLI::App* command, std::shared_ptr<Where> const& where) {
  command->add_option("dir", where->dir, "Store directory, used as given (default: <root>/fill)");
  command->add_option("--root", where->root,
                      "Root of stores for the default directory (default: $HWTABLES_ROOT, "
                      "else /dev/shm/hwtables)");
}

struct InspectOptions {
  bool json = false;
  int waitMilliseconds = 2000;
};

void inspect(Where const& where, InspectOptions const& options, bool dump) {
  std::string dir = storeDirectory(where);
  std::error_code error;
  auto status = std::filesystem::status(dir, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    throw UsageError(fmt::format("no store directory {}", printable(dir)));
  }
  if (status.type() != std::filesystem::file_type::directory) {
    throw UsageError(fmt::format("{} is not a directory", printable(dir)));
  }
  Brell::StoreInspector::Options inspectorOptions;
  inspectorOptions.maxWaitMilliseconds = options.waitMilliseconds;
  Brell::StoreInspector inspector(dir, inspectorOptions);
  auto report = dump ? inspector.dump() : inspector.check();
  if (report.result == "missing") {
    throw UsageError(
        fmt::format("{} is not a store: {}", printable(dir), printable(report.reason)));
  }
  if (options.json) {
    fmt::print("{}\n", jsonText(storeReportJson(dir, report, dump)));
  } else {
    fmt::print("{}", storeReportText(dir, report, dump));
  }
  std::fflush(stdout);
  if (!report.valid()) throw CheckFailed(storeFailureLine(dir, report));
}

void addInspectCommand(CLI::App* store, bool dump) {
  auto* command = store->add_subcommand(
      dump ? "dump" : "check",
      dump ? "Show a store's header, bucket count, occupancy, free-list length and every "
             "occupied slot in list order (key and value bytes in hex)"
           : "Validate a store's files: result, reason and header fields; exit 0 only when "
             "valid");
  auto where = std::make_shared<Where>();
  auto options = std::make_shared<InspectOptions>();
  addWhereOptions(command, where);
  command->add_flag("--json", options->json, "One JSON document, for machines");
  command
      ->add_option("--wait", options->waitMilliseconds,
                   "Milliseconds to wait for a running writer to pause between operations")
      ->check(CLI::Range(0, 600000));
  command->footer(
      "Opens the files read-only and never writes to the directory; safe while a writer "
      "runs.\nExit status: 0 valid, 1 invalid or busy, 2 not a store or bad arguments.");
  command->callback([where, options, dump] { inspect(*where, *options, dump); });
}

struct FillCommandOptions {
  FillOptions fill;
  bool json = false;
};

void runFillCommand(Where const& where, FillCommandOptions options) {
  options.fill.root = storeDirectory(where);
  options.fill.progress = !options.json && ::isatty(STDERR_FILENO) == 1;
  FillResult result = runFill(options.fill);
  if (options.json) {
    nlohmann::ordered_json document{
        {"root", options.fill.root},     {"valueBytes", options.fill.valueBytes},
        {"slotBytes", result.slotBytes}, {"seed", options.fill.seed},
        {"written", result.written},     {"removed", result.removed},
        {"updates", result.updates},     {"occupancy", result.occupancy},
        {"capacity", result.capacity},   {"buckets", result.buckets},
        {"pyrelId", result.pyrelId},     {"interrupted", result.interrupted}};
    fmt::print("{}\n", jsonText(document));
  } else {
    fmt::print(
        "store {}: {} entries written, {} removed{}; {} in the store ({}-byte values in {}-byte "
        "slots, capacity {}, {} buckets)\n",
        printable(options.fill.root), result.written, result.removed,
        result.updates ? fmt::format(", {} updates", result.updates) : std::string(),
        result.occupancy, options.fill.valueBytes, result.slotBytes, result.capacity,
        result.buckets);
  }
  std::fflush(stdout);
  if (result.interrupted) {
    throw CheckFailed(
        fmt::format("store fill {} interrupted; the store is valid and holds {} "
                    "entries",
                    printable(options.fill.root), result.occupancy));
  }
}

void addFillCommand(CLI::App* store) {
  auto* command = store->add_subcommand(
      "fill",
      "Write N synthetic entries as the store's single writer, remove M of them, and "
      "leave the files in place");
  auto where = std::make_shared<Where>();
  auto options = std::make_shared<FillCommandOptions>();
  addWhereOptions(command, where);
  command->add_option("--entries", options->fill.entries, "Entries to write (N)")
      ->required()
      ->check(CLI::Range(0u, Brell::kMaxSlots));
  command->add_option("--value-bytes", options->fill.valueBytes, "Value size V in bytes")
      ->check(CLI::IsMember({8u, 12u, 16u, 20u}))
      ->default_val(8u);
  command->add_option("--remove", options->fill.remove, "Entries to remove afterwards (M <= N)")
      ->default_val(0u);
  command->add_option("--seed", options->fill.seed, "Seed of the keys")->default_val(1u);
  command
      ->add_option("--update-for", options->fill.updateSeconds,
                   "Then keep rewriting the values that are left for this many seconds")
      ->check(CLI::Range(0.0, 86400.0));
  command->add_flag("--json", options->json, "One JSON document, for machines");
  command->footer(
      "Values are a 4-byte key followed by V - 4 payload bytes. The keys are the distinct\n"
      "outputs, in order, of std::mt19937 seeded with the seed; payload word j of key k is\n"
      "k ^ (0x9E3779B9 * (j + 1)), little-endian (during --update-for, word 0 counts the\n"
      "rewrites). The first M keys written are the ones removed.\n"
      "DIR is created when absent. A fill writes only into a new or empty directory or a\n"
      "valid store of the same value size, whose entries it keeps; symbolic links in DIR\n"
      "are refused. Ctrl-C stops it between two operations, leaving a valid store.");
  command->callback([where, options] { runFillCommand(*where, *options); });
}

void addStoreCommand(CLI::App& app) {
  auto* store = app.add_subcommand(
      "store", "Check, dump or fill a shared-memory table store (see 'hwtables store --help')");
  store->require_subcommand(1);
  store->footer(
      "DIR is a store directory, used as given. Without DIR, the subcommands use\n"
      "<root>/fill, where <root> is --root, else $HWTABLES_ROOT, else /dev/shm/hwtables.\n"
      "check and dump only read the files and work while a writer runs; fill writes.");
  addInspectCommand(store, false);
  addInspectCommand(store, true);
  addFillCommand(store);
}

CommandRegistration registration("store", addStoreCommand);

}  // namespace
}  // namespace Tool
