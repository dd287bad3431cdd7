// hwtables: the command-line face of the library. See README.md for the commands.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "store/SlotLayout.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/Names.h"

namespace {

constexpr char const* kVersion = HWTABLES_VERSION;

std::vector<CLI::App*> subcommandsOf(CLI::App& app) {
  return app.get_subcommands([](CLI::App*) { return true; });
}

std::vector<std::string> namesOf(std::vector<CLI::App*> const& commands) {
  std::vector<std::string> names;
  for (auto* command : commands) names.push_back(command->get_name());
  return names;
}

CLI::App* subcommandNamed(CLI::App& app, std::string const& word) {
  for (auto* command : subcommandsOf(app)) {
    if (command->get_name() == word) return command;
  }
  return nullptr;
}

// The commands of `app`, one line each: the name and the first sentence of what it does.
std::string commandList(CLI::App& app) {
  std::string text;
  for (auto* command : subcommandsOf(app)) {
    std::string what = command->get_description();
    auto end = what.find_first_of(":;(");
    if (end != std::string::npos) what = what.substr(0, end);
    while (!what.empty() && what.back() == ' ') what.pop_back();
    if (what.size() > 66) what = what.substr(0, what.rfind(' ', 63)) + " ...";
    text += fmt::format("  {:<10}  {}\n", command->get_name(), what);
  }
  return text;
}

void printError(Tool::ErrorReport const& report, bool json) {
  if (json) {
    fmt::print(stderr, "{}\n", report.toJson().dump());
  } else {
    fmt::print(stderr, "{}\n", report.toText());
  }
}

// A command line that names no command where one is needed: the error, then the
// commands there are, so that the next try can succeed.
int refuseWithCommands(CLI::App& at, std::string const& path, std::string const& what, bool json) {
  Tool::ErrorReport report{fmt::format("{}; '{}' has these commands:", what, path), {}, 2};
  if (json) {
    auto document = report.toJson();
    document["commands"] = namesOf(subcommandsOf(at));
    fmt::print(stderr, "{}\n", document.dump());
    return 2;
  }
  fmt::print(stderr, "{}\n{}'{} help COMMAND' or '{} COMMAND --help' says more.\n", report.toText(),
             commandList(at), path, path);
  return 2;
}

// Follows the words of the command line through the subcommands. Returns 0 to go
// on parsing, or the exit status when the line was answered here (-1 for 0): "help"
// at any level prints the help of the command the words after it name; a word
// where a subcommand is required that names none is refused with the nearest name;
// no command, or an option where a command is needed, is refused with the commands.
int preParse(CLI::App& app, int argc, char** argv, bool json) {
  CLI::App* current = &app;
  std::string path = "hwtables";
  for (int index = 1; index < argc; ++index) {
    std::string word = argv[index];
    auto subcommands = subcommandsOf(*current);
    if (subcommands.empty()) return 0;
    if (word == "--help" || word == "-h" || (current == &app && word == "--version")) return 0;
    if (word.starts_with("-")) {
      return refuseWithCommands(*current, path, fmt::format("unknown option {}", Tool::shown(word)),
                                json);
    }
    if (word == "help") {
      CLI::App* target = current;
      std::string targetPath = path;
      for (int next = index + 1; next < argc; ++next) {
        std::string name = argv[next];
        auto* named = subcommandNamed(*target, name);
        if (!named) {
          printError({fmt::format("no command '{}' in '{}'{}", Tool::shown(name), targetPath,
                                  Tool::didYouMean(name, namesOf(subcommandsOf(*target)))),
                      {},
                      2},
                     json);
          return 2;
        }
        target = named;
        targetPath += " " + named->get_name();
        if (subcommandsOf(*target).empty()) break;
      }
      fmt::print("{}", target->help());
      return -1;
    }
    if (auto* named = subcommandNamed(*current, word)) {
      current = named;
      path += " " + named->get_name();
      continue;
    }
    if (current->get_require_subcommand_min() == 0) return 0;
    std::string names;
    for (auto* sub : subcommands) names += (names.empty() ? "" : ", ") + sub->get_name();
    printError({fmt::format("unknown command '{}'{}; '{}' has: {}", Tool::shown(word),
                            Tool::didYouMean(word, namesOf(subcommands)), path, names),
                {},
                2},
               json);
    return 2;
  }
  if (current->get_require_subcommand_min() > 0) {
    return refuseWithCommands(*current, path, "a command is required", json);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit (ulimit -f) a write fails with EFBIG, which the store
  // reports and the command stops on; the signal would end the process mid-write.
  std::signal(SIGXFSZ, SIG_IGN);
  bool json = false;
  for (int index = 1; index < argc && std::strcmp(argv[index], "--") != 0; ++index) {
    if (std::strcmp(argv[index], "--json") == 0) json = true;
  }

  CLI::App app{"hwtables: typed, shadowed access to the MPLS tables of the bcm88490_a0 chip"};
  app.require_subcommand(1);
  app.set_version_flag(
      "--version", fmt::format("hwtables {} (store format {})", kVersion, Brell::kFormatVersion));
  app.footer("'hwtables help COMMAND' or 'hwtables COMMAND --help' says more of a command.");
  Tool::addRegisteredCommands(app);
  if (int answered = preParse(app, argc, argv, json)) return answered < 0 ? 0 : answered;
  try {
    app.parse(argc, argv);
  } catch (CLI::CallForHelp const& help) {
    return app.exit(help);
  } catch (CLI::CallForAllHelp const& help) {
    return app.exit(help);
  } catch (CLI::CallForVersion const& version) {
    return app.exit(version);
  } catch (std::exception const& error) {
    auto report = Tool::errorReport(error);
    printError(report, json);
    return report.exitStatus;
  }
  return 0;
}
