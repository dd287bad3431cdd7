// How the table modules are set up in one place (modules/Modules.cc) without knowing
// the tables' types: each table's generated unit hands it a
// ModuleMaker, so the heavy instantiations of thirteen tables are spread over
// thirteen units instead of one.
#pragma once

#include <cstdint>
#include <memory>

namespace Framework {
class TableModuleBase;
}

namespace bcm88490_a0 {

struct ModuleMaker {
  std::uint32_t moduleOrder;
  // Registers the table and sets its module up; null when the table is registered
  // already (a second copy of the plug-in), an exception when a later registration is
  // refused (all of the module's are withdrawn then).
  std::unique_ptr<Framework::TableModuleBase> (*make)();
};

}  // namespace bcm88490_a0
