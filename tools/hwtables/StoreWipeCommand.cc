// `hwtables store wipe DIR` and `store wipe --recursive ROOT`: remove every file of a
// store no writer holds, or of every such store below a root.
//
// A store is wiped under its writer lock (Tool::wipeStore), so one a live writer
// holds is never touched: it is reported as kept, with the writer's process id.
// Files in a store directory that are not the store's stay, and are named. With
// --recursive, directories left empty by a wipe are removed up to, not including,
// ROOT.
//
// Exit status: 0 when everything asked for was wiped; 1 when a store was kept
// (held by a writer), could not be removed whole, or a directory could not be read;
// 2 for a DIR that is not a directory or holds no store.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tools/hwtables/Command.h"
#include "tools/hwtables/StoreReport.h"
#include "tools/hwtables/StoreTree.h"

namespace Tool {
namespace StoreWipeCommand {
namespace {

struct WipeOptions {
  std::string dir;
  bool recursive = false;
  bool json = false;
};

std::string joinedNames(std::vector<std::string> const& names) {
  std::string text;
  for (auto const& name : names) text += (text.empty() ? "" : ", ") + printable(name);
  return text;
}

std::string keptText(WipeOutcome const& outcome) {
  if (outcome.kept.empty()) return {};
  return fmt::format("; kept what is not the store's: {}", joinedNames(outcome.kept));
}

std::string heldText(WipeOutcome const& outcome) {
  return outcome.processId != 0 ? fmt::format("another process ({})", outcome.processId)
                                : std::string("another process");
}

nlohmann::ordered_json outcomeJson(WipeOutcome const& outcome) {
  nlohmann::ordered_json document;
  document["result"] = outcome.wiped ? "wiped" : outcome.held ? "held" : "failed";
  document["occupancy"] =
      outcome.entries ? nlohmann::ordered_json(*outcome.entries) : nlohmann::ordered_json();
  document["writerProcessId"] =
      outcome.held && outcome.processId != 0 ? nlohmann::ordered_json(outcome.processId) : nullptr;
  document["error"] = outcome.error;
  document["removed"] = outcome.removed;
  document["kept"] = outcome.kept;
  return document;
}

// The outcome of one store as a line for people.
std::string outcomeText(std::string const& name, WipeOutcome const& outcome) {
  if (outcome.held) {
    return fmt::format("kept   {}: held by the writer {}", name, heldText(outcome));
  }
  if (!outcome.wiped) {
    return fmt::format("failed {}: {} (removed: {})", name, printable(outcome.error),
                       outcome.removed.empty() ? "nothing" : joinedNames(outcome.removed));
  }
  return fmt::format("wiped  {}: {}{}", name,
                     outcome.entries
                         ? fmt::format("{} entries gone", *outcome.entries)
                         : std::string("its tables were unreadable, every file removed"),
                     keptText(outcome));
}

std::string existingDirectory(std::string const& dir) {
  std::error_code error;
  auto status = std::filesystem::status(dir, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    throw UsageError(fmt::format("no store directory {}", printable(dir)));
  }
  if (error) throw UsageError(fmt::format("cannot use {}: {}", printable(dir), error.message()));
  if (status.type() != std::filesystem::file_type::directory) {
    throw UsageError(fmt::format("{} is not a directory", printable(dir)));
  }
  return dir;
}

void wipeOne(std::string const& dir, StoreTree const& tree, bool json) {
  bool isStore = !tree.stores.empty() && tree.stores.front() == tree.root;
  if (!isStore) {
    if (!tree.stores.empty()) {
      throw UsageError(fmt::format(
          "{} is not a store; {} store{} below it ('hwtables store wipe --recursive {}' wipes "
          "those no writer holds)",
          printable(dir), tree.stores.size(), tree.stores.size() == 1 ? " is" : "s are",
          printable(dir)));
    }
    throw UsageError(
        fmt::format("{} is not a store: it holds none of a store's files", printable(dir)));
  }
  WipeOutcome outcome = wipeStore(dir);
  if (json) {
    nlohmann::ordered_json document{{"root", dir}};
    document.update(outcomeJson(outcome));
    fmt::print("{}\n", jsonText(document));
  } else if (outcome.wiped) {
    fmt::print("store {} wiped; {}{}\n", printable(dir),
               outcome.entries ? fmt::format("the {} entries it held are gone", *outcome.entries)
                               : std::string("its tables were unreadable, every file removed"),
               keptText(outcome));
  }
  std::fflush(stdout);
  if (outcome.held) {
    throw Busy(fmt::format("store {} is being written by {}; stop its writer first", printable(dir),
                           heldText(outcome)));
  }
  if (!outcome.wiped) {
    throw CheckFailed(fmt::format(
        "store {} was not wiped whole: {} (removed: {})", printable(dir), printable(outcome.error),
        outcome.removed.empty() ? "nothing" : joinedNames(outcome.removed)));
  }
}

void wipeTree(std::string const& dir, StoreTree const& tree, bool json) {
  if (tree.stores.empty() && tree.unreadable.empty()) {
    throw UsageError(fmt::format("no stores below {}", printable(dir)));
  }
  std::size_t wiped = 0, held = 0, failed = 0;
  nlohmann::ordered_json stores = nlohmann::ordered_json::array();
  for (auto const& store : tree.stores) {
    WipeOutcome outcome = wipeStore(store);
    if (outcome.wiped) {
      ++wiped;
      removeEmptyDirectories(store, dir);
    } else if (outcome.held) {
      ++held;
    } else {
      ++failed;
    }
    std::string name = tree.relative(store);
    if (json) {
      nlohmann::ordered_json entry{{"path", name}, {"directory", store}};
      entry.update(outcomeJson(outcome));
      stores.push_back(entry);
    } else {
      fmt::print("{}\n", outcomeText(printable(name), outcome));
      std::fflush(stdout);
    }
  }
  bool whole = wiped == tree.stores.size() && tree.unreadable.empty();
  std::string summary = fmt::format("{} of {} store{} below {} wiped", wiped, tree.stores.size(),
                                    tree.stores.size() == 1 ? "" : "s", printable(dir));
  if (held != 0) summary += fmt::format(", {} kept (held by a writer)", held);
  if (failed != 0) summary += fmt::format(", {} not removed whole", failed);
  if (!tree.unreadable.empty()) {
    summary +=
        fmt::format(", {} director{} could not be read ({}: {})", tree.unreadable.size(),
                    tree.unreadable.size() == 1 ? "y" : "ies",
                    printable(tree.unreadable.front().directory), tree.unreadable.front().reason);
  }
  if (json) {
    nlohmann::ordered_json document{
        {"root", dir}, {"result", whole ? "wiped" : "partial"}, {"stores", stores}};
    document["unreadable"] = nlohmann::ordered_json::array();
    for (auto const& failure : tree.unreadable) {
      document["unreadable"].push_back(
          {{"directory", failure.directory}, {"reason", failure.reason}});
    }
    fmt::print("{}\n", jsonText(document));
  } else if (whole) {
    fmt::print("{}\n", summary);
  }
  std::fflush(stdout);
  if (!whole) throw CheckFailed(summary);
}

void wipe(WipeOptions const& options) {
  std::string dir = existingDirectory(options.dir);
  StoreTree tree = findStores(dir);
  if (options.recursive) {
    wipeTree(dir, tree, options.json);
  } else {
    wipeOne(dir, tree, options.json);
  }
}

void addWipeCommand(CLI::App& app) {
  auto* store = app.get_subcommand("store");
  auto* command = store->add_subcommand(
      "wipe",
      "Remove every file of a store no writer holds (or, with --recursive, of every such "
      "store below a directory)");
  auto options = std::make_shared<WipeOptions>();
  command->add_option("dir", options->dir, "Store directory, used as given")->required();
  command->add_flag("-r,--recursive", options->recursive,
                    "Wipe every store at or below DIR that no writer holds, and remove the "
                    "directories that leaves empty (DIR itself stays)");
  command->add_flag("--json", options->json, "One JSON document, for machines");
  command->footer(
      "For stores a killed writer left (check explains them) and for clearing a root of old\n"
      "stores ('hwtables store list' shows them). A store a writer holds is never touched;\n"
      "files that are not the store's stay and are named. Without --recursive the store\n"
      "directory stays.\n"
      "Exit status: 0 wiped, 1 a store was held by a writer, not removed whole, or a\n"
      "directory could not be read, 2 not a directory, no store, or bad arguments.");
  command->callback([options] { wipe(*options); });
}

CommandRegistration registration("store~wipe", addWipeCommand);

}  // namespace
}  // namespace StoreWipeCommand
}  // namespace Tool
