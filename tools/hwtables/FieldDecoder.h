// An entry's fields as every command shows them (demo, agent, show, watch): decoded
// once, by framework/FieldValues.h, which also decides which fields a view leaves
// out. Numbers are decimal in text and JSON numbers in JSON; a bitmap is a bit
// string, "0x" and hex digits, in both. Text leaves out the fields that are zero;
// JSON has every shown field.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/FieldValues.h"
#include "platform/vorl/Types.h"

namespace Tool {

using Framework::FieldValue;

// The shown fields of `className`'s entry holding `data`, in description order.
// Empty when no such table is loaded or `data` is not one entry.
std::vector<FieldValue> decodeFields(std::string_view className, std::span<U8 const> data);

// The fields that are not zero.
std::vector<FieldValue> nonZeroFields(std::vector<FieldValue> fields);

// {"name": value, ...}: numbers as numbers, bitmaps as their text.
nlohmann::ordered_json fieldsJson(std::vector<FieldValue> const& fields);

// "name = value" items joined into lines of at most `width` characters.
std::vector<std::string> fieldLines(std::vector<FieldValue> const& fields, std::size_t width);

}  // namespace Tool
