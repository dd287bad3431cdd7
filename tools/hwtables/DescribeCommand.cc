// `hwtables describe TABLE [--json]`: a table module's types as the type runtime
// knows them, with each attribute's id, name, kind, type and parameters.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/ModuleDescription.h"

namespace Tool {
namespace DescribeCommand {
namespace {

struct Options {
  std::string table;
  bool json = false;
};

void addDescribeCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "describe", "A table module's types as the type runtime publishes them: attributes with "
                  "their ids, kinds, types and parameters");
  addPluginDirOption(command);
  command->add_option("table", options->table, "The table, e.g. IppaBsplProfileTblHwDirect")
      ->required();
  command->add_flag("--json", options->json, "One JSON document, for machines");
  command->callback([options] {
    auto const& module = moduleOf(options->table);
    if (options->json) {
      fmt::print("{}\n", moduleJson(module).dump(2));
    } else {
      fmt::print("{}", moduleText(module));
    }
  });
}

CommandRegistration registration("describe", addDescribeCommand);

}  // namespace
}  // namespace DescribeCommand
}  // namespace Tool
