#include "tools/hwtables/FieldDecoder.h"

#include <fmt/format.h>

namespace Tool {

std::vector<DecodedField> decodeFields(std::string_view className, std::span<U8 const> data,
                                       bool allViews) {
  auto record = Framework::TableRegistry::singleton().table(className);
  if (!record || record->decode == nullptr) return {};
  return record->decode(data, allViews);
}

std::vector<std::string> fieldLines(std::vector<DecodedField> const& fields, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  for (auto const& field : fields) {
    std::string item = fmt::format("{} = {}", field.name, field.value);
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
