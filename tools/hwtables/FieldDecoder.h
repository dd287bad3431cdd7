// Entry data bytes decoded into named field values, for any table by class name.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/vorl/Types.h"

namespace Tool {

struct DecodedField {
  std::string name;
  std::string value;  // decimal below 8 bits of width, hex from 8 bits on
};

// The fields of `className`'s entry holding `data`, in description order. Indexed
// fields and bitmaps that span the whole entry repeat other views and are left out
// unless `allViews`. Empty when no such table exists or `data` is not one entry.
std::vector<DecodedField> decodeFields(std::string_view className, std::span<U8 const> data,
                                       bool allViews = false);

// "name = value" items joined into lines of at most `width` characters.
std::vector<std::string> fieldLines(std::vector<DecodedField> const& fields, std::size_t width);

}  // namespace Tool
