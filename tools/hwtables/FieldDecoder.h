// Entry data bytes decoded into named field values, for any table by class name.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/TableRegistry.h"
#include "platform/vorl/Types.h"

namespace Tool {

using DecodedField = Framework::DecodedField;

// The fields of `className`'s entry holding `data`, in description order, decoded by
// the table's registered decoder. Indexed fields and bitmaps that span the whole
// entry repeat other views and are left out unless `allViews`. Empty when no such
// table is registered or `data` is not one entry.
std::vector<DecodedField> decodeFields(std::string_view className, std::span<U8 const> data,
                                       bool allViews = false);

// "name = value" items joined into lines of at most `width` characters.
std::vector<std::string> fieldLines(std::vector<DecodedField> const& fields, std::size_t width);

}  // namespace Tool
