#include "tables/Catalogue.h"

#include <algorithm>
#include <array>

#include "tables/AllTables.h"

namespace bcm88490_a0 {
namespace {

#define HW_TABLE_INFO(Class) &detail::Class##Desc::info,
constexpr std::array unsortedCatalogue{HW_FOR_EACH_TABLE(HW_TABLE_INFO)};
#undef HW_TABLE_INFO

constexpr auto sortedCatalogue() {
  auto catalogue = unsortedCatalogue;
  std::sort(catalogue.begin(), catalogue.end(),
            [](auto* left, auto* right) { return left->moduleOrder < right->moduleOrder; });
  return catalogue;
}

constexpr auto catalogue = sortedCatalogue();

constexpr bool moduleOrdersAreDistinct() {
  for (std::size_t index = 0; index < catalogue.size(); ++index) {
    if (catalogue[index]->moduleOrder != index + 1) return false;
  }
  return true;
}
static_assert(moduleOrdersAreDistinct(), "module orders must run 1, 2, ... without gaps");

}  // namespace

std::span<Framework::TableInfo const* const> tableCatalogue() { return catalogue; }

Framework::TableInfo const* tableInfo(std::string_view className) {
  for (auto const* info : catalogue) {
    if (info->className == className) return info;
  }
  return nullptr;
}

}  // namespace bcm88490_a0
