#include "tools/hwtables/ModuleDescription.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>

#include "tools/hwtables/Errors.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace {

std::string parametersText(Vorl::AttributeInfo const& attribute) {
  std::string text;
  for (auto const& parameter : attribute.parameters) {
    text += fmt::format("{}{} {}", text.empty() ? "" : ", ", parameter.type, parameter.name);
  }
  return text;
}

}  // namespace

Vorl::ModuleInspectData const& moduleOf(std::string_view tableName) {
  auto const& info = tableNamed(tableName);
  if (auto const* module = Vorl::loadedModule(info.className)) return *module;
  throw CheckFailed(fmt::format("the type runtime has no module of {}", info.className));
}

std::string moduleText(Vorl::ModuleInspectData const& module) {
  std::string text = fmt::format("Module {} ({} types)\n", module.name(), module.types().size());
  for (std::size_t index = 0; index < module.types().size(); ++index) {
    auto const& type = module.types()[index];
    text += fmt::format("\n[{}] {} ({})\n", index, type.name,
                        type.kind == Vorl::TypeKind::value ? "value" : "object");
    TextTable table({"ID", "ATTRIBUTE", "KIND", "TYPE", "KEY", "PARAMETERS"});
    for (auto const& attribute : type.attributes) {
      table.rowIs({fmt::format("{}", attribute.id), attribute.name,
                   std::string(Vorl::attributeKindName(attribute.kind)), attribute.type,
                   attribute.keyType, parametersText(attribute)});
    }
    text += table.toString();
  }
  auto foreign = module.foreignTypes();
  text += fmt::format("\nTypes of other modules: {}\n", fmt::join(foreign, ", "));
  return text;
}

nlohmann::json moduleJson(Vorl::ModuleInspectData const& module) {
  nlohmann::json types = nlohmann::json::array();
  for (std::size_t index = 0; index < module.types().size(); ++index) {
    auto const& type = module.types()[index];
    nlohmann::json attributes = nlohmann::json::array();
    for (auto const& attribute : type.attributes) {
      nlohmann::json parameters = nlohmann::json::array();
      for (auto const& parameter : attribute.parameters) {
        parameters.push_back({{"name", parameter.name}, {"type", parameter.type}});
      }
      nlohmann::json entry{{"id", attribute.id},
                           {"name", attribute.name},
                           {"kind", Vorl::attributeKindName(attribute.kind)},
                           {"type", attribute.type},
                           {"parameters", parameters}};
      if (!attribute.keyType.empty()) entry["keyType"] = attribute.keyType;
      attributes.push_back(entry);
    }
    types.push_back({{"index", index},
                     {"name", type.name},
                     {"kind", type.kind == Vorl::TypeKind::value ? "value" : "object"},
                     {"attributes", attributes}});
  }
  return {{"module", module.name()},
          {"table", module.tableName()},
          {"types", types},
          {"foreignTypes", module.foreignTypes()}};
}

}  // namespace Tool
