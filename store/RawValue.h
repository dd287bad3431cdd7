// A ready value type for stores of plain records: a 4-byte key followed by payload
// bytes, V bytes in all (V a multiple of 4, at least 8). Used by the tool to fill a
// store and by anyone who needs a store without a table behind it. The key layout
// is recorded in the header, so tools can hash and order its keys.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/tyvo/Hash.h"
#include "store/SlotLayout.h"

namespace Brell {

template <std::size_t V>
struct RawValue {
  static_assert(V >= 8 && V % 4 == 0);
  std::uint32_t key = 0;
  std::array<unsigned char, V - 4> payload{};
};

// Traits for any value whose first field is a `std::uint32_t key`: hashing, order
// and the recorded key layout. A value type adds `typeName()`.
template <class ValueType>
struct LeadingKeyTraits {
  using Value = ValueType;
  using Key = std::uint32_t;
  static Key key(Value const& value) { return value.key; }
  static std::uint32_t hash(Key key, std::uint32_t seed) { return Tyvo::hashSingleAttr(key, seed); }
  static int compare(Key left, Key right) { return left < right ? -1 : left > right ? 1 : 0; }
  static constexpr KeyLayout keyLayout() {
    KeyLayout layout;
    layout.fieldCount = 1;
    layout.fields[0] = {0, 4};
    return layout;
  }
  static std::string keyText(Key key) { return std::to_string(key); }
};

template <std::size_t V>
struct RawValueTraits : LeadingKeyTraits<RawValue<V>> {
  static std::string_view typeName() {
    static std::string const name = "Brell::RawValue<" + std::to_string(V) + ">";
    return name;
  }
};

}  // namespace Brell
