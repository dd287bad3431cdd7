#include "tools/hwtables/ChipRows.h"

#include <cctype>
#include <charconv>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tools/hwtables/Errors.h"

namespace Tool {
namespace {

using Framework::KeyForm;

// A number as commands write them, decimal or 0x-hex; nothing when `text` is not one.
// `tooLarge` says a number above 2^64 - 1 was written.
std::optional<U64> numberOf(std::string_view text, bool& tooLarge) {
  tooLarge = false;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  U64 value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || end != text.data() + text.size()) return std::nullopt;
  if (error == std::errc::result_out_of_range) tooLarge = true;
  if (error != std::errc()) return std::nullopt;
  return value;
}

std::string outside(std::string_view what, U64 value, U64 first, U64 last) {
  return fmt::format("{} {} is outside {}..{}", what, value, first, last);
}

// "name=number" items between the braces, in order; nothing when the text is not of
// that shape (the runtime's parser then explains what is wrong).
std::optional<std::vector<std::pair<std::string, U64>>> attributes(std::string_view body) {
  std::vector<std::pair<std::string, U64>> items;
  std::size_t at = 0;
  auto skipSeparators = [&] {
    while (at < body.size() && (body[at] == ' ' || body[at] == ',' || body[at] == '\t')) ++at;
  };
  for (skipSeparators(); at < body.size(); skipSeparators()) {
    auto equals = body.find('=', at);
    if (equals == std::string_view::npos) return std::nullopt;
    std::string name(body.substr(at, equals - at));
    at = equals + 1;
    auto end = body.find_first_of(" ,\t", at);
    if (end == std::string_view::npos) end = body.size();
    bool tooLarge = false;
    auto value = numberOf(body.substr(at, end - at), tooLarge);
    if (!value) return std::nullopt;
    items.emplace_back(std::move(name), *value);
    at = end;
  }
  return items;
}

}  // namespace

std::optional<KeyPosition> keyPosition(Framework::TableInfo const& info, std::string_view text) {
  auto open = text.find('{');
  if (open == std::string_view::npos || !text.ends_with('}')) return std::nullopt;
  auto typeName = text.substr(0, open);
  std::string keyType = fmt::format("{}::EntryKey", info.fullName);
  if (!typeName.empty() && typeName != keyType) {
    throw UsageError(fmt::format("{} is not a key of {}: its keys are {}", shown(text),
                                 info.className, keyType));
  }
  auto items = attributes(text.substr(open + 1, text.size() - open - 2));
  if (!items) return std::nullopt;
  auto const& key = info.key;
  if (key.form == KeyForm::singleIndex) {
    if (items->size() != 1 || (*items)[0].first != "value") return std::nullopt;
    U64 value = (*items)[0].second;
    if (value > key.null) {
      auto const& member = info.members.front();
      throw RangeError(noRowMessage(info, fmt::format("{{value={}}}", value),
                                    outside("row", value, member.firstEntryIndex,
                                            member.firstEntryIndex + member.entryCount - 1)));
    }
    return KeyPosition{0, static_cast<U32>(value)};
  }
  if (items->size() != 2 || (*items)[0].first != "arrayIndex" ||
      (*items)[1].first != "entryIndex") {
    return std::nullopt;
  }
  U64 arrayIndex = (*items)[0].second;
  U64 entryIndex = (*items)[1].second;
  auto typed = fmt::format("{{arrayIndex={} entryIndex={}}}", arrayIndex, entryIndex);
  if (arrayIndex < key.arrayIndexMin || arrayIndex > key.arrayIndexMax) {
    throw RangeError(noRowMessage(
        info, typed, outside("array", arrayIndex, key.arrayIndexMin, key.arrayIndexMax)));
  }
  if (entryIndex < key.entryIndexMin || entryIndex > key.entryIndexMax) {
    throw RangeError(noRowMessage(
        info, typed, outside("row", entryIndex, key.entryIndexMin, key.entryIndexMax)));
  }
  return KeyPosition{static_cast<U8>(arrayIndex), static_cast<U32>(entryIndex)};
}

std::optional<std::string> missingRow(Framework::TableInfo const& info, KeyPosition position) {
  auto const& member = info.members.front();
  U32 lastArray = member.firstArrayIndex + member.arrayCount - 1;
  U32 lastRow = member.firstEntryIndex + member.entryCount - 1;
  if (info.key.form == KeyForm::arrayAndIndex &&
      (position.arrayIndex < member.firstArrayIndex || position.arrayIndex > lastArray)) {
    return outside("array", position.arrayIndex, member.firstArrayIndex, lastArray);
  }
  if (position.entryIndex < member.firstEntryIndex || position.entryIndex > lastRow) {
    return outside("row", position.entryIndex, member.firstEntryIndex, lastRow);
  }
  return std::nullopt;
}

std::string noRowMessage(Framework::TableInfo const& info, std::string const& key,
                         std::string const& why) {
  return fmt::format("the chip has no row {} of {}: {}", key, info.className, why);
}

std::string keyText(Framework::TableInfo const& info, KeyPosition position) {
  if (info.key.form == KeyForm::singleIndex)
    return fmt::format("{{value={}}}", position.entryIndex);
  return fmt::format("{{arrayIndex={} entryIndex={}}}", position.arrayIndex, position.entryIndex);
}

std::string keyHint(Framework::TableInfo const& info) {
  auto const& member = info.members.front();
  U32 lastRow = member.firstEntryIndex + member.entryCount - 1;
  if (info.key.form == KeyForm::singleIndex) {
    return fmt::format("{{value=N}} (N in {}..{})", member.firstEntryIndex, lastRow);
  }
  return fmt::format("{{arrayIndex=A entryIndex=E}} (A in {}..{}, E in {}..{})",
                     member.firstArrayIndex, member.firstArrayIndex + member.arrayCount - 1,
                     member.firstEntryIndex, lastRow);
}

U64 parseNumber(std::string_view text, std::string_view what, U64 maximum) {
  bool tooLarge = false;
  auto value = numberOf(text, tooLarge);
  if (!value && !tooLarge) {
    throw UsageError(fmt::format("'{}' is not a number for {}", shown(text), what));
  }
  if (tooLarge || *value > maximum) {
    throw RangeError(fmt::format("{} {} is outside 0..{}", what, shown(text), maximum));
  }
  return *value;
}

}  // namespace Tool
