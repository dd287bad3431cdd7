// Subcommands of the hwtables tool register themselves here, one file each.
//
// A command file defines a function that adds its subcommand (options and callback)
// to the application, and a static CommandRegistration naming it. main() adds every
// registered command in name order.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/hwtables/Errors.h"

namespace Tool {

using CommandAdder = std::function<void(CLI::App& app)>;

struct CommandRegistration {
  CommandRegistration(std::string name, CommandAdder adder);
};

void addRegisteredCommands(CLI::App& app);

}  // namespace Tool
