// Subcommands of the hwtables tool register themselves here, one file each.
//
// A command file defines a function that adds its subcommand (options and callback)
// to the application, and a static CommandRegistration naming it. main() adds every
// registered command in name order.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

namespace Tool {

using CommandAdder = std::function<void(CLI::App& app)>;

struct CommandRegistration {
  CommandRegistration(std::string name, CommandAdder adder);
};

void addRegisteredCommands(CLI::App& app);

// A failure the user can fix (bad argument, missing file): main prints
// "hwtables: <message>" on stderr and exits with status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A check that ran and failed (a demo verification, an invalid store): exit status 1.
struct CheckFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Another process has what the command needs (a store's writer lock): exit status 1,
// and trying again later may work.
struct Busy : CheckFailed {
  using CheckFailed::CheckFailed;
};

}  // namespace Tool
