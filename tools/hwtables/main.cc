// hwtables: the command-line face of the library. See README.md for the commands.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "store/SlotLayout.h"
#include "tools/hwtables/Command.h"

namespace {

constexpr char const* kVersion = HWTABLES_VERSION;

std::size_t editDistance(std::string const& left, std::string const& right) {
  std::vector<std::size_t> row(right.size() + 1);
  for (std::size_t column = 0; column <= right.size(); ++column) row[column] = column;
  for (std::size_t line = 1; line <= left.size(); ++line) {
    std::size_t diagonal = row[0];
    row[0] = line;
    for (std::size_t column = 1; column <= right.size(); ++column) {
      std::size_t above = row[column];
      row[column] = std::min({above + 1, row[column - 1] + 1,
                              diagonal + (left[line - 1] == right[column - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[right.size()];
}

// Follows the words of the command line through the subcommands. Returns 0 to go
// on parsing, or the exit status when the line was answered here: "help" at any
// level prints that level's help; a word where a subcommand is required that names
// none is refused with the nearest name.
int preParse(CLI::App& app, int argc, char** argv) {
  CLI::App* current = &app;
  std::string path = "hwtables";
  for (int index = 1; index < argc; ++index) {
    std::string word = argv[index];
    if (word.starts_with("-")) return 0;
    auto subcommands = current->get_subcommands([](CLI::App*) { return true; });
    if (subcommands.empty()) return 0;
    if (word == "help") {
      fmt::print("{}", current->help());
      return -1;
    }
    auto named = std::find_if(subcommands.begin(), subcommands.end(),
                              [&word](CLI::App* sub) { return sub->get_name() == word; });
    if (named != subcommands.end()) {
      current = *named;
      path += " " + word;
      continue;
    }
    if (current->get_require_subcommand_min() == 0) return 0;
    CLI::App* nearest = *std::min_element(
        subcommands.begin(), subcommands.end(), [&word](CLI::App* left, CLI::App* right) {
          return editDistance(word, left->get_name()) < editDistance(word, right->get_name());
        });
    std::string names;
    for (auto* sub : subcommands) names += (names.empty() ? "" : ", ") + sub->get_name();
    fmt::print(stderr, "hwtables: unknown command '{}'{}; '{}' has: {}\n", word,
               editDistance(word, nearest->get_name()) <= std::max<std::size_t>(2, word.size() / 2)
                   ? fmt::format(" (did you mean '{}'?)", nearest->get_name())
                   : std::string(),
               path, names);
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"hwtables: typed, shadowed access to the MPLS tables of the bcm88490_a0 chip"};
  app.require_subcommand(1);
  app.set_version_flag(
      "--version", fmt::format("hwtables {} (store format {})", kVersion, Brell::kFormatVersion));
  Tool::addRegisteredCommands(app);
  if (int answered = preParse(app, argc, argv)) return answered < 0 ? 0 : answered;
  try {
    app.parse(argc, argv);
  } catch (CLI::CallForHelp const& help) {
    return app.exit(help);
  } catch (CLI::CallForAllHelp const& help) {
    return app.exit(help);
  } catch (CLI::CallForVersion const& version) {
    return app.exit(version);
  } catch (CLI::ParseError const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 2;
  } catch (Tool::UsageError const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 2;
  } catch (Tool::CheckFailed const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 1;
  } catch (std::bad_alloc const&) {
    fmt::print(stderr, "hwtables: out of memory\n");
    return 1;
  } catch (std::exception const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 1;
  }
  return 0;
}
