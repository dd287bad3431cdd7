// The table modules, as loaded: one per table, initialised in module order when the
// library is loaded and torn down in reverse order at unload.
#pragma once

#include <string_view>
#include <vector>

namespace bcm88490_a0 {

// The table names of the loaded modules, in the order they were initialised.
std::vector<std::string_view> loadedModules();

}  // namespace bcm88490_a0
