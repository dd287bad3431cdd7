#include "framework/FieldValues.h"

#include <algorithm>
#include <map>
#include <mutex>

#include <fmt/format.h>

#include "framework/BitCopy.h"

namespace Framework {
namespace {

// Bits [first, end) of an entry.
struct BitRange {
  U32 first;
  U32 end;
  bool operator==(BitRange const&) const = default;
  bool contains(BitRange const& other) const { return first <= other.first && other.end <= end; }
};

std::vector<BitRange> rangesOf(FieldInfo const& field) {
  if (field.kind != FieldKind::indexed) return {{field.offset, field.offset + field.width}};
  std::vector<BitRange> ranges;
  for (U32 index = 0; index < field.count; ++index) {
    U32 first = field.offset + index * field.stride;
    ranges.push_back({first, first + field.width});
  }
  return ranges;
}

// `width` bits at `offset`, as (width + 7) / 8 bytes, least significant first.
std::vector<U8> bitsAt(std::span<U8 const> data, U32 offset, U32 width) {
  std::vector<U8> bits((width + 7) / 8, 0);
  copyBits(bits.data(), bits.size(), data.data(), data.size(), width, 0, offset);
  return bits;
}

U64 numberAt(std::span<U8 const> data, U32 offset, U32 width) {
  auto bits = bitsAt(data, offset, std::min<U32>(width, 64));
  U64 number = 0;
  for (std::size_t index = bits.size(); index-- > 0;) number = (number << 8) | bits[index];
  return number;
}

}  // namespace

bool FieldValue::isZero() const {
  if (!bitmap) return number == 0;
  return std::all_of(bits.begin(), bits.end(), [](U8 byte) { return byte == 0; });
}

std::string FieldValue::text() const {
  if (!bitmap) return fmt::format("{}", number);
  std::string text = "0x";
  for (std::size_t index = bits.size(); index-- > 0;) text += fmt::format("{:02x}", bits[index]);
  return bits.empty() ? "0x0" : text;
}

bool repeatsOtherFields(TableInfo const& info, FieldInfo const& field) {
  if (field.kind == FieldKind::indexed) {
    auto elements = rangesOf(field);
    return std::all_of(elements.begin(), elements.end(), [&](BitRange const& element) {
      return std::any_of(info.fields.begin(), info.fields.end(), [&](FieldInfo const& other) {
        return other.kind == FieldKind::scalar && rangesOf(other).front() == element;
      });
    });
  }
  // Covered when narrower fields, each inside it, together describe every one of its bits.
  BitRange whole = rangesOf(field).front();
  std::vector<bool> covered(whole.end - whole.first, false);
  for (auto const& other : info.fields) {
    if (&other == &field) continue;
    for (auto const& part : rangesOf(other)) {
      if (!whole.contains(part) || part == whole) continue;
      std::fill(covered.begin() + (part.first - whole.first),
                covered.begin() + (part.end - whole.first), true);
    }
  }
  return std::all_of(covered.begin(), covered.end(), [](bool bit) { return bit; });
}

namespace {

// Which fields a view leaves out depends on the table alone, and working it out
// compares every field with every other: done once per table, not once per entry.
// Descriptions are compile-time data of the plug-ins, which stay loaded.
std::vector<bool> const& repeatedFields(TableInfo const& info) {
  static std::mutex mutex;
  static std::map<TableInfo const*, std::vector<bool>> repeated;
  std::lock_guard lock(mutex);
  auto [at, added] = repeated.try_emplace(&info);
  if (added) {
    for (auto const& field : info.fields) at->second.push_back(repeatsOtherFields(info, field));
  }
  return at->second;
}

}  // namespace

std::vector<FieldValue> fieldValues(TableInfo const& info, std::span<U8 const> data,
                                    FieldSelection selection) {
  std::vector<FieldValue> values;
  if (data.size() != info.entryBytes) return values;
  auto const& repeated = repeatedFields(info);
  values.reserve(info.fields.size());
  for (std::size_t index = 0; index < info.fields.size(); ++index) {
    auto const& field = info.fields[index];
    if (selection == FieldSelection::shown && repeated[index]) continue;
    switch (field.kind) {
      case FieldKind::scalar:
        values.push_back({std::string(field.name),
                          false,
                          field.width,
                          numberAt(data, field.offset, field.width),
                          {}});
        break;
      case FieldKind::indexed:
        for (U32 index = 0; index < field.count; ++index) {
          values.push_back({fmt::format("{}({})", field.name, index),
                            false,
                            field.width,
                            numberAt(data, field.offset + index * field.stride, field.width),
                            {}});
        }
        break;
      case FieldKind::bitmap:
        values.push_back({std::string(field.name), true, field.width, 0,
                          bitsAt(data, field.offset, field.width)});
        break;
    }
  }
  return values;
}

std::vector<std::string> differingFields(TableInfo const& info, std::span<U8 const> left,
                                         std::span<U8 const> right) {
  auto before = fieldValues(info, left);
  auto after = fieldValues(info, right);
  std::vector<std::string> names;
  if (before.size() != after.size()) return names;
  for (std::size_t index = 0; index < before.size(); ++index) {
    if (before[index].number != after[index].number || before[index].bits != after[index].bits) {
      names.push_back(before[index].name);
    }
  }
  return names;
}

}  // namespace Framework
