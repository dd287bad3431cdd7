// hwtables: the command-line face of the library. See README.md for the commands.
#include <cstdio>
#include <exception>

#include <fmt/format.h>

#include "tools/hwtables/Command.h"

int main(int argc, char** argv) {
  CLI::App app{"hwtables: typed, shadowed access to the MPLS tables of the bcm88490_a0 chip"};
  app.require_subcommand(1);
  Tool::addRegisteredCommands(app);
  try {
    app.parse(argc, argv);
  } catch (CLI::CallForHelp const& help) {
    return app.exit(help);
  } catch (CLI::CallForAllHelp const& help) {
    return app.exit(help);
  } catch (CLI::ParseError const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 2;
  } catch (Tool::UsageError const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 2;
  } catch (Tool::CheckFailed const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 1;
  } catch (std::exception const& error) {
    fmt::print(stderr, "hwtables: {}\n", error.what());
    return 1;
  }
  return 0;
}
