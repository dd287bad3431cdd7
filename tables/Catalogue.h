// The catalogue of every table this library defines, in module load order.
#pragma once

#include <span>
#include <string_view>

#include "framework/TableInfo.h"

namespace bcm88490_a0 {

std::span<Framework::TableInfo const* const> tableCatalogue();

// The table of that class name, or null.
Framework::TableInfo const* tableInfo(std::string_view className);

}  // namespace bcm88490_a0
