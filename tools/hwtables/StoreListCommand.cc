// `hwtables store list [ROOT]`: every store below a root, whether a writer holds it,
// what it holds and the space it takes, so that leftovers can be found and wiped.
//
// Read-only: each store is looked at as `store check` does (files opened read-only,
// a copy taken between two of a running writer's operations), and whether a writer
// holds it comes from the kernel's lock table, without taking the lock.
//
// Exit status: 0 when every directory below the root could be read (whatever the
// stores' state); 1 when some could not, as the list is then incomplete; 2 for a
// ROOT that is not a directory.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "store/StoreFiles.h"
#include "store/StoreInspector.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/StoreReport.h"
#include "tools/hwtables/StoreTree.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace StoreListCommand {
namespace {

struct ListOptions {
  std::string root;
  bool json = false;
  int waitMilliseconds = 2000;
};

struct ListedStore {
  std::string directory;
  Brell::InspectionReport report;
  WriterLock writer;
  std::uint64_t bytes = 0;
};

ListedStore look(std::string const& directory, int waitMilliseconds) {
  Brell::StoreInspector::Options options;
  options.maxWaitMilliseconds = waitMilliseconds;
  ListedStore store{directory, Brell::StoreInspector(directory, options).check(), {}, 0};
  if (auto lock = writerLockOf(directory)) {
    store.writer = *lock;
  } else if (store.report.writerAlive) {
    // Without the kernel's lock table, the writer the owner file names.
    store.writer = {true, store.report.owner->shocketInfo.processId};
  }
  store.bytes = bytesOnDisk(directory);
  return store;
}

nlohmann::ordered_json storeJson(StoreTree const& tree, ListedStore const& store) {
  auto const& header = store.report.slotHeader;
  nlohmann::ordered_json writer{{"held", store.writer.held}};
  writer["processId"] = store.writer.held && store.writer.processId != 0
                            ? nlohmann::ordered_json(store.writer.processId)
                            : nlohmann::ordered_json();
  nlohmann::ordered_json document{{"path", tree.relative(store.directory)},
                                  {"directory", store.directory},
                                  {"result", store.report.result},
                                  {"reason", store.report.reason},
                                  {"writer", writer}};
  document["entries"] = header ? nlohmann::ordered_json(header->occupancy) : nullptr;
  document["valueSize"] = header ? nlohmann::ordered_json(header->valueSize) : nullptr;
  document["bytesOnDisk"] = store.bytes;
  return document;
}

std::string writerText(WriterLock const& writer) {
  if (!writer.held) return "-";
  return writer.processId != 0 ? std::to_string(writer.processId) : "yes";
}

void list(ListOptions const& options) {
  bool defaulted = options.root.empty();
  std::string root = defaulted ? Brell::defaultRoot() : options.root;
  std::error_code error;
  if (defaulted && !std::filesystem::exists(root, error) && !error) {
    // Nothing has been written on this machine yet: no stores, and no mistake.
    if (options.json) {
      fmt::print("{}\n", jsonText({{"root", root},
                                   {"stores", nlohmann::ordered_json::array()},
                                   {"unreadable", nlohmann::ordered_json::array()}}));
    } else {
      fmt::print("no stores: {} does not exist yet\n", printable(root));
    }
    return;
  }
  if (!defaulted && !std::filesystem::exists(options.root, error) && !error) {
    throw UsageError(fmt::format("no directory {}", printable(root)));
  }
  StoreTree tree = findStores(root);
  std::vector<ListedStore> stores;
  for (auto const& directory : tree.stores)
    stores.push_back(look(directory, options.waitMilliseconds));

  if (options.json) {
    nlohmann::ordered_json document{{"root", root}, {"stores", nlohmann::ordered_json::array()}};
    for (auto const& store : stores) document["stores"].push_back(storeJson(tree, store));
    document["unreadable"] = nlohmann::ordered_json::array();
    for (auto const& failure : tree.unreadable) {
      document["unreadable"].push_back(
          {{"directory", failure.directory}, {"reason", failure.reason}});
    }
    fmt::print("{}\n", jsonText(document));
  } else if (stores.empty()) {
    fmt::print("no stores below {}\n", printable(root));
  } else {
    TextTable table({"store", "result", "writer", "entries", "value bytes", "bytes on disk"});
    for (auto const& store : stores) {
      auto const& header = store.report.slotHeader;
      table.rowIs({printable(tree.relative(store.directory)), store.report.result,
                   writerText(store.writer), header ? std::to_string(header->occupancy) : "-",
                   header ? std::to_string(header->valueSize) : "-", std::to_string(store.bytes)});
    }
    std::size_t held = 0;
    for (auto const& store : stores) held += store.writer.held ? 1 : 0;
    fmt::print("{} store{} below {}, {} held by a writer\n{}", stores.size(),
               stores.size() == 1 ? "" : "s", printable(root), held, table.toString());
  }
  std::fflush(stdout);
  if (!tree.unreadable.empty()) {
    auto const& first = tree.unreadable.front();
    throw CheckFailed(fmt::format(
        "the list is incomplete: {} director{} below {} could not be read ({}: {}{})",
        tree.unreadable.size(), tree.unreadable.size() == 1 ? "y" : "ies", printable(root),
        printable(first.directory), first.reason, tree.unreadable.size() > 1 ? ", ..." : ""));
  }
}

void addListCommand(CLI::App& app) {
  auto* store = app.get_subcommand("store");
  auto* command = store->add_subcommand(
      "list", "List the stores below a root: state, writer, entries and the space they take");
  auto options = std::make_shared<ListOptions>();
  command->add_option("root", options->root,
                      "Directory to look below (default: $HWTABLES_ROOT, else "
                      "/dev/shm/hwtables, or /dev/shm/hwtables-<uid> when that belongs to "
                      "another user)");
  addInspectOptions(command, options->json, options->waitMilliseconds);
  command->footer(
      "A store is a directory holding a store's files; symbolic links are not followed.\n"
      "Each store is checked read-only as 'store check' does; 'writer' is the process that\n"
      "holds its writer lock ('-' when none does: 'hwtables store wipe' may remove it).\n"
      "Exit status: 0 listed, 1 some directories could not be read, 2 ROOT is not a "
      "directory.");
  command->callback([options] { list(*options); });
}

CommandRegistration registration("store~list", addListCommand);

}  // namespace
}  // namespace StoreListCommand
}  // namespace Tool
