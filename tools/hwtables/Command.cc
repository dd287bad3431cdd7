#include "tools/hwtables/Command.h"

#include <map>

namespace Tool {
namespace {

std::map<std::string, CommandAdder>& registry() {
  static std::map<std::string, CommandAdder> commands;
  return commands;
}

}  // namespace

CommandRegistration::CommandRegistration(std::string name, CommandAdder adder) {
  registry().emplace(std::move(name), std::move(adder));
}

void addRegisteredCommands(CLI::App& app) {
  for (auto const& [name, adder] : registry()) adder(app);
}

}  // namespace Tool
