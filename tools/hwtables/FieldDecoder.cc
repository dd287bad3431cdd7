#include "tools/hwtables/FieldDecoder.h"

#include <algorithm>

#include <fmt/format.h>

#include "tools/hwtables/MemoryStores.h"

namespace Tool {

std::vector<FieldValue> decodeFields(std::string_view className, std::span<U8 const> data) {
  auto const* info = tableInfo(className);
  if (!info) return {};
  return Framework::fieldValues(*info, data);
}

std::vector<FieldValue> nonZeroFields(std::vector<FieldValue> fields) {
  std::erase_if(fields, [](FieldValue const& field) { return field.isZero(); });
  return fields;
}

nlohmann::ordered_json fieldsJson(std::vector<FieldValue> const& fields) {
  nlohmann::ordered_json document = nlohmann::ordered_json::object();
  for (auto const& field : fields) {
    if (field.bitmap) {
      document[field.name] = field.text();
    } else {
      document[field.name] = field.number;
    }
  }
  return document;
}

std::vector<std::string> fieldLines(std::vector<FieldValue> const& fields, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  for (auto const& field : fields) {
    std::string item = fmt::format("{} = {}", field.name, field.text());
    if (!line.empty() && line.size() + 3 + item.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : "   ") + item;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace Tool
