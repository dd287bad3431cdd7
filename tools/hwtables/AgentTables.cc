#include "tools/hwtables/AgentTables.h"

#include <fmt/format.h>

#include "framework/FieldValues.h"
#include "platform/pelcar/SchanCmd.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/FieldDecoder.h"

namespace Tool {

using Vorl::AttributeAnswer;
using Vorl::AttributeOp;

std::any call(Vorl::TypeDescriptor type, std::any& self, std::string_view name,
              Vorl::Arguments const& arguments) {
  auto const* attribute = type.info().attribute(name);
  if (!attribute) throw CheckFailed(fmt::format("{} has no function {}", type.info().name, name));
  std::any result;
  auto answer =
      Vorl::attributeAccess(type, self, attribute->id, AttributeOp::call, arguments, result);
  if (answer != AttributeAnswer::done) {
    throw CheckFailed(fmt::format("{}::{} cannot be called", type.info().name, name));
  }
  return result;
}

U64 readNumber(Vorl::TypeDescriptor type, std::any& self, std::string_view name) {
  auto const* attribute = type.info().attribute(name);
  std::any result;
  if (!attribute || Vorl::attributeAccess(type, self, attribute->id, AttributeOp::read, {},
                                          result) != AttributeAnswer::done) {
    throw CheckFailed(fmt::format("{} has no readable {}", type.info().name, name));
  }
  return std::any_cast<U64>(result);
}

void appendLines(std::string const& text, std::vector<std::string>& lines) {
  for (std::size_t start = 0; start < text.size();) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

nlohmann::ordered_json positionJson(KeyPosition position) {
  return {{"arrayIndex", position.arrayIndex}, {"entryIndex", position.entryIndex}};
}

void entryReply(TableHandle const& handle, std::any const& entry, KeyPosition position,
                AgentReply& reply, nlohmann::ordered_json* into) {
  auto data = handle.data(entry);
  auto fields = Framework::fieldValues(*handle.info, data);
  reply.lines.push_back(handle.entryType.info().toText(entry));
  for (auto const& line : fieldLines(nonZeroFields(fields), 88)) reply.lines.push_back("  " + line);
  nlohmann::ordered_json json{{"key", positionJson(position)},
                              {"entry", handle.entryType.info().toText(entry)},
                              {"data", Pelcar::hexBytes(data.data(), data.size())},
                              {"fields", fieldsJson(fields)}};
  if (into) {
    into->push_back(json);
  } else {
    for (auto const& [name, value] : json.items()) reply.json[name] = value;
  }
}

std::any TableHandle::key(std::string const& text, KeyPosition& position) const {
  keyPosition(*info, text);
  std::any parsed;
  try {
    parsed = keyType.info().fromText(text);
  } catch (Vorl::Exception const& error) {
    throw UsageError(
        fmt::format("{} is not a key of {}: write {}", shown(text), name(), keyHint(*info)),
        error.what());
  }
  if (info->key.form == Framework::KeyForm::singleIndex) {
    position = {0, static_cast<U32>(readNumber(keyType, parsed, "value"))};
  } else {
    position = {static_cast<U8>(readNumber(keyType, parsed, "arrayIndex")),
                static_cast<U32>(readNumber(keyType, parsed, "entryIndex"))};
  }
  return parsed;
}

std::vector<U8> TableHandle::data(std::any entry) const {
  std::vector<U8> bytes;
  auto const* collection = entryType.info().attribute("dataByte0");
  if (!collection || !collection->iterate) {
    throw CheckFailed(fmt::format("{} has no dataByte0 collection", entryType.info().name));
  }
  for (auto each = collection->iterate(entry); !each->atEnd(); each->advance()) {
    bytes.push_back(static_cast<U8>(std::any_cast<U64>(each->value())));
  }
  return bytes;
}

bool TableHandle::holds(Tessar::HwShadowKey shadowKey, KeyPosition position) const {
  auto shadow = table->hwShadowColl(shadowKey);
  if (!shadow) return false;
  auto entries = shadow->storedEntries();
  return std::any_of(entries.begin(), entries.end(), [&](auto const& entry) {
    return entry.arrayIndex == position.arrayIndex && entry.entryIndex == position.entryIndex;
  });
}

std::any EntryTarget::call(std::string_view function) const {
  auto object = handle.object;
  return Tool::call(handle.tableType, object, function, {shadowKeyValue, key});
}

}  // namespace Tool
