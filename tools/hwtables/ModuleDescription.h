// A table module's types as the type runtime publishes them, for `describe` and the
// agent's `describe`: readable text for people, JSON for machines.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/tyvo/TypeRuntime.h"

namespace Tool {

// The loaded module of that table (named as `tables` matches names); UsageError
// naming the table when there is none.
Vorl::ModuleInspectData const& moduleOf(std::string_view tableName);

std::string moduleText(Vorl::ModuleInspectData const& module);
nlohmann::json moduleJson(Vorl::ModuleInspectData const& module);

}  // namespace Tool
