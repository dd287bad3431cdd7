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

namespace Tool {

using CommandAdder = std::function<void(CLI::App& app)>;

struct CommandRegistration {
  CommandRegistration(std::string name, CommandAdder adder);
};

void addRegisteredCommands(CLI::App& app);

// A command's failure, in the user's words; `detail` keeps the system's own text
// when the message translates one (a key's range message, an assertion), and the
// JSON form of the error carries it.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(std::string const& message, std::string detail = {})
      : std::runtime_error(message), detail_(std::move(detail)) {}
  std::string const& detail() const { return detail_; }

 private:
  std::string detail_;
};

// A failure the user can fix (bad argument, missing file): main prints
// "hwtables: <message>" on stderr and exits with status 2. Nothing was changed.
struct UsageError : ToolError {
  using ToolError::ToolError;
};

// A check that ran and failed (a demo verification, an invalid store, work that was
// not all done): exit status 1.
struct CheckFailed : ToolError {
  using ToolError::ToolError;
};

// Another process has what the command needs (a store's writer lock): exit status 1,
// and trying again later may work.
struct Busy : CheckFailed {
  using CheckFailed::CheckFailed;
};

}  // namespace Tool
