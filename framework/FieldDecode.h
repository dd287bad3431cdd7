// Entry data bytes decoded into named field values, through a table's generated
// field accessors (FieldAccessor.h). Each table registers decodeFields<Fields> with
// the table registry, so code without the table's types can decode its entries.
#pragma once

#include <cstring>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "framework/TableRegistry.h"

namespace Framework {

template <class Fields>
std::vector<DecodedField> decodeFields(std::span<U8 const> data, bool allViews) {
  using Entry = typename Fields::Entry;
  std::vector<DecodedField> decoded;
  if (data.size() != Entry::entrySize()) return decoded;
  Entry entry;
  std::memcpy(entry.dataBytes(), data.data(), data.size());
  for (auto const& field : Fields::accessors()) {
    auto const& info = *field.info;
    switch (info.kind) {
      case FieldKind::scalar: {
        U64 value = field.get(entry, 0);
        decoded.push_back({std::string(info.name), info.width < 8 ? fmt::format("{}", value)
                                                                  : fmt::format("{:#x}", value)});
        break;
      }
      case FieldKind::indexed:
        if (!allViews) break;
        for (U32 index = 0; index < info.count; ++index) {
          decoded.push_back({fmt::format("{}({})", info.name, index),
                             fmt::format("{}", field.get(entry, index))});
        }
        break;
      case FieldKind::bitmap:
        if (!allViews && info.offset == 0 && info.width == Entry::entrySizeBits()) break;
        decoded.push_back({std::string(info.name), field.getBitmap(entry).toString()});
        break;
    }
  }
  return decoded;
}

}  // namespace Framework
