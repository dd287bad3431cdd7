#include "tools/hwtables/FieldDecoder.h"

#include <cstring>

#include <fmt/format.h>

#include "tables/AllTableFields.h"
#include "tables/AllTables.h"

namespace Tool {
namespace {

template <class Fields>
std::vector<DecodedField> decode(std::span<U8 const> data, bool allViews) {
  using Entry = typename Fields::Entry;
  std::vector<DecodedField> decoded;
  if (data.size() != Entry::entrySize()) return decoded;
  Entry entry;
  std::memcpy(entry.dataBytes(), data.data(), data.size());
  for (auto const& field : Fields::accessors()) {
    auto const& info = *field.info;
    switch (info.kind) {
      case Framework::FieldKind::scalar: {
        U64 value = field.get(entry, 0);
        decoded.push_back({std::string(info.name), info.width < 8 ? fmt::format("{}", value)
                                                                  : fmt::format("{:#x}", value)});
        break;
      }
      case Framework::FieldKind::indexed:
        if (!allViews) break;
        for (U32 index = 0; index < info.count; ++index) {
          decoded.push_back({fmt::format("{}({})", info.name, index),
                             fmt::format("{}", field.get(entry, index))});
        }
        break;
      case Framework::FieldKind::bitmap:
        if (!allViews && info.offset == 0 && info.width == Entry::entrySizeBits()) break;
        decoded.push_back({std::string(info.name), field.getBitmap(entry).toString()});
        break;
    }
  }
  return decoded;
}

}  // namespace

std::vector<DecodedField> decodeFields(std::string_view className, std::span<U8 const> data,
                                       bool allViews) {
#define HW_DECODE(Class) \
  if (className == #Class) return decode<bcm88490_a0::detail::Class##Fields>(data, allViews);
  HW_FOR_EACH_TABLE(HW_DECODE)
#undef HW_DECODE
  return {};
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
