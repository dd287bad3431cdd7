#include "tools/hwtables/MemoryStores.h"

#include <fmt/format.h>

#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/ShadowPath.h"
#include "tools/hwtables/Errors.h"

namespace Tool {

std::vector<Framework::TableInfo const*> tableCatalogue() {
  std::vector<Framework::TableInfo const*> catalogue;
  for (auto const& record : Framework::TableRegistry::singleton().tables()) {
    catalogue.push_back(record->info);
  }
  return catalogue;
}

Framework::TableInfo const* tableInfo(std::string_view className) {
  auto record = Framework::TableRegistry::singleton().table(className);
  return record ? record->info : nullptr;
}

std::shared_ptr<Framework::TableRecord const> memoryTable(std::string_view className,
                                                          std::string_view what) {
  auto record = Framework::TableRegistry::singleton().table(className);
  if (record && record->isMemory() && record->store.openReader != nullptr) return record;
  if (record) throw UsageError(fmt::format("{} is a register; {} memory tables", className, what));
  throw UsageError(fmt::format("unknown table '{}' (see `hwtables tables`)", className));
}

std::string memoryStoreDirectory(std::string const& root, std::string const& revisionText,
                                 std::string_view fullName, Tessar::HwShadowKey key) {
  return fmt::format("{}/{}", root,
                     Tessar::Constants::shadowTblBrellPath(revisionText, std::string(fullName),
                                                           key.toString()));
}

nlohmann::ordered_json keyJson(Framework::StoredKey const& key) {
  return {{"arrayIndex", key.arrayIndex}, {"entryIndex", key.entryIndex}};
}

std::string entryText(std::string_view className, std::vector<U8> const& data) {
  std::string text = Pelcar::hexBytes(data.data(), data.size());
  for (auto const& field : decodeFields(className, data)) {
    if (field.value == "0" || field.value == "0x0") continue;
    text += fmt::format(" {}={}", field.name, field.value);
  }
  return text;
}

nlohmann::ordered_json entryJson(std::string_view className, std::vector<U8> const& data) {
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
  for (auto const& field : decodeFields(className, data)) fields[field.name] = field.value;
  return {{"data", Pelcar::hexBytes(data.data(), data.size())}, {"fields", fields}};
}

}  // namespace Tool
