#include "framework/TableRegistry.h"

#include <algorithm>

#include <fmt/format.h>

#include "platform/plugin/PluginDirectory.h"

namespace Framework {

TableRegistry& TableRegistry::singleton() {
  static TableRegistry registry;
  return registry;
}

bool TableRegistry::registerTable(TableRecord record) {
  record.source = Plugin::currentSource();
  std::lock_guard lock(mutex_);
  for (auto const& held : records_) {
    if (held->info->className == record.info->className) {
      Plugin::reportLoadProblem(fmt::format(
          "registers table {} twice (already registered by {})", record.info->className,
          held->source.empty() ? std::string("the program") : held->source));
      return false;
    }
  }
  records_.push_back(std::make_shared<TableRecord const>(std::move(record)));
  return true;
}

void TableRegistry::unregisterTable(TableInfo const& info) {
  std::lock_guard lock(mutex_);
  std::erase_if(records_, [&](auto const& held) { return held->info == &info; });
}

std::vector<std::shared_ptr<TableRecord const>> TableRegistry::tables() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::shared_ptr<TableRecord const> TableRegistry::table(std::string_view className) const {
  std::lock_guard lock(mutex_);
  for (auto const& held : records_) {
    if (held->info->className == className) return held;
  }
  return nullptr;
}

}  // namespace Framework
