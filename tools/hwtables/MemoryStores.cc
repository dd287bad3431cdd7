#include "tools/hwtables/MemoryStores.h"

#include <fmt/format.h>

#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/ShadowPath.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/Names.h"

namespace Tool {

std::vector<Framework::TableInfo const*> tableCatalogue() {
  std::vector<Framework::TableInfo const*> catalogue;
  for (auto const& record : Framework::TableRegistry::singleton().tables()) {
    catalogue.push_back(record->info);
  }
  return catalogue;
}

Framework::TableInfo const* tableInfo(std::string_view className) {
  if (auto record = Framework::TableRegistry::singleton().table(className)) return record->info;
  for (auto const* info : tableCatalogue()) {
    if (equalIgnoringCase(info->className, className)) return info;
  }
  return nullptr;
}

Framework::TableInfo const& tableNamed(std::string_view className) {
  if (auto const* info = tableInfo(className)) return *info;
  std::vector<std::string> names;
  for (auto const* info : tableCatalogue()) names.emplace_back(info->className);
  throw UsageError(fmt::format("unknown table '{}'{}; 'hwtables tables' lists them",
                               shown(className), didYouMean(className, names)));
}

std::shared_ptr<Framework::TableRecord const> memoryTable(std::string_view className,
                                                          std::string_view what) {
  auto const& info = tableNamed(className);
  auto record = Framework::TableRegistry::singleton().table(info.className);
  if (record && record->isMemory() && record->store.openReader != nullptr) return record;
  throw UsageError(fmt::format("{} is a register; {} memory tables", info.className, what));
}

std::string memoryStoreDirectory(std::string const& root, std::string const& revisionText,
                                 std::string_view fullName, Tessar::HwShadowKey key) {
  return fmt::format(
      "{}/{}", root,
      Tessar::Constants::shadowTblBrellPath(revisionText, std::string(fullName), key.toString()));
}

nlohmann::ordered_json keyJson(Framework::StoredKey const& key) {
  return {{"arrayIndex", key.arrayIndex}, {"entryIndex", key.entryIndex}};
}

std::string entryText(std::string_view className, std::vector<U8> const& data) {
  std::string text = Pelcar::hexBytes(data.data(), data.size());
  for (auto const& field : nonZeroFields(decodeFields(className, data))) {
    text += fmt::format(" {}={}", field.name, field.text());
  }
  return text;
}

nlohmann::ordered_json entryJson(std::string_view className, std::vector<U8> const& data) {
  return {{"data", Pelcar::hexBytes(data.data(), data.size())},
          {"fields", fieldsJson(decodeFields(className, data))}};
}

}  // namespace Tool
