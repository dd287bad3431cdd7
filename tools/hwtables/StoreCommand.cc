// `hwtables store check|dump|get|fill`: a shared-memory table store seen from
// outside (`store list` and `store wipe` are in StoreListCommand.cc and
// StoreWipeCommand.cc, `store watch` in StoreWatch.cc).
//
// check, dump and get open a store directory's files read-only and never write to
// it, so they are safe on a store that a writer in another process is using; they
// take a consistent copy between two of the writer's operations. dump prints the
// entries as it walks them. fill is the store's single writer for trying the store
// by hand and for tests.
//
// Directories. DIR is a path used as given (relative to the working directory when
// relative). Without DIR, every subcommand uses <root>/fill, where <root> is --root,
// else $HWTABLES_ROOT, else /dev/shm/hwtables.
//
// Exit status: 0 when the store is valid (check, dump), holds the key (get) or was
// filled (fill); 1 when a store is invalid, busy, lacks the key, or
// the work failed; 2 for bad arguments and for directories that are not stores,
// cannot be read (permissions) or cannot be filled.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>

#include "platform/sharedmem/OwnerFile.h"
#include "store/Link.h"
#include "store/StoreFiles.h"
#include "store/StoreInspector.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/Resources.h"
#include "tools/hwtables/StoreFill.h"
#include "tools/hwtables/StoreReport.h"

namespace Tool {
namespace StoreCommand {
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

std::string existingDirectory(Where const& where) {
  std::string dir = storeDirectory(where);
  std::error_code error;
  auto status = std::filesystem::status(dir, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    throw UsageError(fmt::format("no store directory {}", printable(dir)));
  }
  if (error) {
    throw UsageError(fmt::format("cannot use {}: {}", printable(dir), error.message()));
  }
  if (status.type() != std::filesystem::file_type::directory) {
    throw UsageError(fmt::format("{} is not a directory", printable(dir)));
  }
  return dir;
}

// "missing" and "inaccessible" are about the directory, not a verdict on a store.
void refuseUnreadable(std::string const& dir, Brell::InspectionReport const& report) {
  if (report.result == "missing") {
    throw UsageError(
        fmt::format("{} is not a store: {}", printable(dir), printable(report.reason)));
  }
  if (report.result == "inaccessible") {
    throw UsageError(
        fmt::format("cannot read store {}: {}", printable(dir), printable(report.reason)));
  }
}

Brell::StoreInspector inspectorOf(std::string const& dir, InspectOptions const& options) {
  Brell::StoreInspector::Options inspectorOptions;
  inspectorOptions.maxWaitMilliseconds = options.waitMilliseconds;
  return Brell::StoreInspector(dir, inspectorOptions);
}

void check(Where const& where, InspectOptions const& options) {
  std::string dir = existingDirectory(where);
  auto report = inspectorOf(dir, options).check();
  refuseUnreadable(dir, report);
  judgeOwnerFile(report);
  if (options.json) {
    fmt::print("{}\n", jsonText(storeReportJson(dir, report, false)));
  } else {
    fmt::print("{}", storeReportText(dir, report, false));
  }
  std::fflush(stdout);
  if (!report.valid()) throw CheckFailed(storeFailureLine(dir, report));
}

// The dump is printed as the walk goes: the report first, then one entry at a time,
// so its first lines come at once and its memory does not grow with the store.
void dump(Where const& where, InspectOptions const& options) {
  std::string dir = existingDirectory(where);
  bool started = false;
  std::uint64_t count = 0;
  std::optional<Brell::SlotHeader> header;
  auto ready = [&](Brell::InspectionReport const& walked) {
    started = true;
    auto report = walked;
    judgeOwnerFile(report);
    header = report.slotHeader;
    if (options.json) {
      // The document without its closing brace; the entries follow.
      std::string text = jsonText(storeReportJson(dir, report, false));
      text.resize(text.rfind('}'));
      while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
      }
      fmt::print("{},\n  \"entries\": [", text);
    } else {
      fmt::print("{}\n{}", storeReportText(dir, report, false), entryTableHead(*header));
    }
  };
  auto each = [&](Brell::ChainEntry const& entry) {
    if (options.json) {
      fmt::print("{}\n    {}", count == 0 ? "" : ",",
                 entryJson(*header, entry)
                     .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    } else {
      fmt::print("{}", entryTableRow(*header, entry));
    }
    ++count;
  };
  auto report = inspectorOf(dir, options).dumpEach(ready, each);
  judgeOwnerFile(report);
  if (!started) {
    refuseUnreadable(dir, report);
    if (options.json) {
      fmt::print("{}\n", jsonText(storeReportJson(dir, report, true)));
    } else {
      fmt::print("{}", storeReportText(dir, report, false));
    }
  } else if (options.json) {
    fmt::print("{}]\n}}\n", count == 0 ? "" : "\n  ");
  } else {
    fmt::print("{}", entryTableTail(count, report.valid()));
  }
  std::fflush(stdout);
  if (!report.valid()) throw CheckFailed(storeFailureLine(dir, report));
}

enum class KeyForm { either, bytes, number };

struct GetOptions {
  InspectOptions inspect;
  std::string key;
  KeyForm form = KeyForm::either;
};

// KEY as the store holds it. The canonical form is the key bytes in hex, exactly as
// dump (and watch) print them; a number (decimal or 0x...) is read for a key of one
// 4-byte field, stored little-endian. Text that is both (eight decimal digits) is
// read as key bytes, and the output says so; --bytes and --number choose.
struct KeyReading {
  std::vector<unsigned char> bytes;
  std::string readAs;  // "bytes" or "number"
  std::string note;    // how KEY was read, for people
};

KeyReading keyBytesOf(std::string const& key, KeyForm form, Brell::SlotHeader const& header) {
  std::size_t keySize = header.keyLayout.fieldCount != 0 ? header.keySize : 4;
  bool oneWord = keySize == 4 && header.keyLayout.fieldCount <= 1;
  bool hexBytes = key.size() == 2 * keySize &&
                  key.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  std::optional<std::uint32_t> number;
  {
    std::uint64_t value = 0;
    bool hex = key.starts_with("0x") || key.starts_with("0X");
    std::string digits = hex ? key.substr(2) : key;
    auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
    if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size() &&
        value <= 0xFFFFFFFFu) {
      number = static_cast<std::uint32_t>(value);
    }
  }
  KeyReading reading;
  bool asBytes = form == KeyForm::bytes || (form == KeyForm::either && hexBytes);
  if (asBytes) {
    if (!hexBytes) {
      throw UsageError(
          fmt::format("key {} is not {} bytes in hex (as dump prints keys)", shown(key), keySize));
    }
    for (std::size_t index = 0; index < keySize; ++index) {
      reading.bytes.push_back(
          static_cast<unsigned char>(std::stoul(key.substr(2 * index, 2), nullptr, 16)));
    }
    reading.readAs = "bytes";
    reading.note = fmt::format(
        "key {}: the key bytes, as dump prints them{}", shown(key),
        form == KeyForm::either && oneWord && number ? " (--number reads it as a number)" : "");
    return reading;
  }
  if (!oneWord) {
    throw UsageError(fmt::format(
        "the keys of this store are {} bytes; give KEY as their bytes in hex, as dump prints "
        "them",
        keySize));
  }
  if (!number) {
    throw UsageError(
        fmt::format("key {} is neither {} bytes in hex (as dump prints keys) nor a 32-bit number",
                    shown(key), keySize));
  }
  for (int byte = 0; byte < 4; ++byte) {
    reading.bytes.push_back(static_cast<unsigned char>(*number >> (8 * byte)));
  }
  reading.readAs = "number";
  reading.note = fmt::format("key {}: the number {}, whose key bytes are {:02x}", shown(key),
                             *number, fmt::join(reading.bytes, ""));
  return reading;
}

void get(Where const& where, GetOptions const& options) {
  std::string dir = existingDirectory(where);
  KeyReading wanted;
  std::optional<Brell::ChainEntry> found;
  std::optional<Brell::SlotHeader> header;
  auto ready = [&](Brell::InspectionReport const& report) {
    header = report.slotHeader;
    wanted = keyBytesOf(options.key, options.form, *header);
  };
  auto each = [&](Brell::ChainEntry const& entry) {
    if (!found && Brell::StoreInspector::keyBytes(*header, entry) == wanted.bytes) found = entry;
  };
  auto report = inspectorOf(dir, options.inspect).dumpEach(ready, each);
  refuseUnreadable(dir, report);
  judgeOwnerFile(report);
  if (!report.valid()) {
    if (options.inspect.json) fmt::print("{}\n", jsonText(storeReportJson(dir, report, false)));
    throw CheckFailed(storeFailureLine(dir, report));
  }
  if (options.inspect.json) {
    nlohmann::ordered_json document{
        {"root", dir},
        {"result", report.result},
        {"key", options.key},
        {"keyReadAs", wanted.readAs},
        {"keyBytes", fmt::format("{:02x}", fmt::join(wanted.bytes, ""))},
        {"found", found.has_value()}};
    document["entry"] = found ? entryJson(*header, *found) : nlohmann::ordered_json();
    fmt::print("{}\n", jsonText(document));
  } else {
    fmt::print("{}\n", wanted.note);
    if (found) fmt::print("{}", entryTableHead(*header) + entryTableRow(*header, *found));
  }
  std::fflush(stdout);
  if (!found) {
    throw CheckFailed(fmt::format("store {} holds no key {}", printable(dir), shown(options.key)));
  }
}

void addGetCommand(CLI::App* store) {
  auto* command = store->add_subcommand(
      "get", "Show the entry of one key: its slot, version, key and value bytes");
  auto where = std::make_shared<Where>();
  auto options = std::make_shared<GetOptions>();
  command->add_option("dir", where->dir, "Store directory, used as given")->required();
  command
      ->add_option("key", options->key,
                   "The key: its bytes in hex as dump and watch print them, or a number "
                   "(decimal or 0x...) for keys of one 4-byte field")
      ->required();
  auto* bytes = command->add_flag_callback(
      "--bytes", [options] { options->form = KeyForm::bytes; },
      "KEY is the key's bytes in hex, as dump shows");
  command
      ->add_flag_callback(
          "--number", [options] { options->form = KeyForm::number; },
          "KEY is a number, for keys of one 4-byte field")
      ->excludes(bytes);
  addInspectOptions(command, options->inspect.json, options->inspect.waitMilliseconds);
  command->footer(
      "Reads the files only, like check. KEY in hex bytes is the form dump and watch print;\n"
      "eight decimal digits are read as key bytes unless --number is given.\nExit status: 0 "
      "found, 1 not found or the store is invalid or busy, 2 not a store or bad arguments.");
  command->callback([where, options] { get(*where, *options); });
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
  addInspectOptions(command, options->json, options->waitMilliseconds);
  command->footer(
      "Opens the files read-only and never writes to the directory; safe while a writer "
      "runs.\nExit status: 0 valid, 1 invalid or busy, 2 not a store or bad arguments.");
  command->callback([where, options, dump] {
    if (dump) {
      StoreCommand::dump(*where, *options);
    } else {
      check(*where, *options);
    }
  });
}

struct FillCommandOptions {
  FillOptions fill;
  bool json = false;
};

void runFillCommand(Where const& where, FillCommandOptions options) {
  // The default directory lies in the store root, which is made only when its parent
  // exists; DIR itself is made by the fill, also only when its parent exists.
  if (where.dir.empty()) storeRoot(where.root);
  options.fill.root = storeDirectory(where);
  options.fill.progress = !options.json && ::isatty(STDERR_FILENO) == 1;
  FillResult result = runFill(options.fill);
  if (options.json) {
    // The names of check and dump for the same facts.
    nlohmann::ordered_json document{{"root", options.fill.root},
                                    {"result", !result.failure.empty() ? "stopped"
                                               : result.interrupted    ? "interrupted"
                                                                       : "ok"},
                                    {"valueSize", options.fill.valueBytes},
                                    {"slotSize", result.slotBytes},
                                    {"seed", options.fill.seed},
                                    {"written", result.written},
                                    {"removed", result.removed},
                                    {"updates", result.updates},
                                    {"occupancy", result.occupancy},
                                    {"slotCount", result.capacity},
                                    {"buckets", {{"count", result.buckets}}},
                                    {"pyrelId", result.pyrelId},
                                    {"interrupted", result.interrupted}};
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
  if (!result.failure.empty()) {
    throw CheckFailed(fmt::format("store fill {} stopped: {}; the store holds {} entries",
                                  printable(options.fill.root), result.failure, result.occupancy));
  }
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
      "DIR is created when absent and its parent exists. A fill writes only into a new or\n"
      "empty directory or a whole, valid store of the same value size, whose entries it\n"
      "keeps; symbolic links in DIR are refused. A fill past the free space or the file-size\n"
      "limit (ulimit -f) is refused up front. Ctrl-C stops it between two operations,\n"
      "leaving a valid store.");
  command->callback([where, options] { runFillCommand(*where, *options); });
}

void addStoreCommand(CLI::App& app) {
  auto* store = app.add_subcommand(
      "store",
      "List, check, dump, get, watch, fill or wipe shared-memory table stores (see 'hwtables "
      "store --help')");
  store->require_subcommand(1);
  store->footer(
      "DIR is a store directory, used as given. Without DIR, the subcommands use\n"
      "<root>/fill, where <root> is --root, else $HWTABLES_ROOT, else /dev/shm/hwtables.\n"
      "check, dump and get only read the files and work while a writer runs; fill and wipe\n"
      "write.");
  addInspectCommand(store, false);
  addInspectCommand(store, true);
  addGetCommand(store);
  addFillCommand(store);
}

CommandRegistration registration("store", addStoreCommand);

}  // namespace
}  // namespace StoreCommand

void addInspectOptions(CLI::App* command, bool& json, int& waitMilliseconds) {
  command->add_flag("--json", json, "One JSON document, for machines");
  command
      ->add_option("--wait", waitMilliseconds,
                   "Milliseconds to wait for a running writer to pause between operations")
      ->check(CLI::Range(0, 600000));
}

}  // namespace Tool
