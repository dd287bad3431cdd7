// What the store needs to know about the values it keeps.
//
// The store is generic over a traits class T:
//
//   struct T {
//     using Value = ...;                 // trivially copyable, size a multiple of 4,
//                                        // alignment at most 8
//     using Key = ...;                   // trivially copyable
//     static Key key(Value const&);      // the key: the value's leading field(s)
//     static std::uint32_t hash(Key const&, std::uint32_t seed);
//                                        // Tyvo::hashSingleAttr for one 32-bit field,
//                                        // Tyvo::Hash fed field by field otherwise
//     static int compare(Key const&, Key const&);
//                                        // field by field as unsigned numbers: <0, 0, >0
//     static std::string_view typeName();  // recorded in the header
//     // optional:
//     static constexpr std::uint32_t kSlotSize = ...;   // default slotSizeFor(V)
//     static constexpr Brell::KeyLayout keyLayout();    // lets tools hash keys
//     static std::string keyText(Key const&);           // for traces; default hex
//   };
//
// TyvoBrell::ValWrapTraits adapts the memory tables' wrapped entries; tests define
// their own value types the same way.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>

#include "platform/tyvo/Hash.h"
#include "store/SlotLayout.h"

namespace Brell {

template <class T>
concept StoreTraits = requires(typename T::Value const& value, typename T::Key const& key,
                               std::uint32_t seed) {
  { T::key(value) } -> std::convertible_to<typename T::Key>;
  { T::hash(key, seed) } -> std::same_as<std::uint32_t>;
  { T::compare(key, key) } -> std::same_as<int>;
  { T::typeName() } -> std::convertible_to<std::string_view>;
};

// Hex of an object's bytes, lowest address first.
template <class Object>
std::string bytesText(Object const& object) {
  unsigned char bytes[sizeof(Object)];
  std::memcpy(bytes, &object, sizeof(Object));
  std::string text;
  text.reserve(2 * sizeof(Object));
  static constexpr char kDigits[] = "0123456789abcdef";
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

// Compile-time facts derived from a traits class.
template <StoreTraits T>
struct TraitsInfo {
  using Value = typename T::Value;
  using Key = typename T::Key;

  static_assert(std::is_trivially_copyable_v<Value>, "stored values are copied bytewise");
  static_assert(std::is_trivially_copyable_v<Key>);
  static_assert(sizeof(Value) % 4 == 0, "value size must be a multiple of 4");
  static_assert(alignof(Value) <= 8, "slots align values to 8 bytes");

  static constexpr std::uint32_t kValueSize = sizeof(Value);
  static constexpr std::uint32_t kSlotSize = [] {
    if constexpr (requires { T::kSlotSize; }) {
      return static_cast<std::uint32_t>(T::kSlotSize);
    } else {
      return slotSizeFor(sizeof(Value));
    }
  }();
  static_assert(kSlotSize % 8 == 0 && kSlotSize >= kValueSize + 12,
                "a slot holds link, value and rhash and keeps 8-byte alignment");
  static constexpr std::uint32_t kHeaderSize = headerSizeFor(kSlotSize);
  // Slot body = everything after the link: value, rhash, padding.
  static constexpr std::uint32_t kBodySize = kSlotSize - 8;
  static constexpr std::uint32_t kRhashOffset = kValueSize;  // within the body

  static constexpr KeyLayout keyLayout() {
    if constexpr (requires { T::keyLayout(); }) {
      return T::keyLayout();
    } else {
      return KeyLayout{};
    }
  }

  static std::string keyText(Key const& key) {
    if constexpr (requires { T::keyText(key); }) {
      return T::keyText(key);
    } else {
      return bytesText(key);
    }
  }
};

}  // namespace Brell

namespace TyvoBrell {

// A table entry as the store keeps it. The key is obtained through the entry's
// key accessor (a member function of the entry or of a base, returning the key by
// value or by reference).
template <class Entry, class EntryKey, auto keyAccessor>
struct ValWrap {
  Entry entry;

  EntryKey key() const { return (entry.*keyAccessor)(); }
};

// Traits for ValWrap values. The key type provides
//   template <class Visitor> void forEachField(Visitor&&) const;
// calling the visitor with each field (std::uint8_t or std::uint32_t) in declaration
// order; the entry provides `static std::string_view typeName()`.
template <class Wrapped>
struct ValWrapTraits;

template <class Entry, class EntryKey, auto keyAccessor>
struct ValWrapTraits<ValWrap<Entry, EntryKey, keyAccessor>> {
  using Value = ValWrap<Entry, EntryKey, keyAccessor>;
  using Key = EntryKey;

  static Key key(Value const& value) { return value.key(); }

  static std::uint32_t hash(Key const& key, std::uint32_t seed) {
    Tyvo::Hash hash(seed);
    key.forEachField([&hash](auto field) { hash.add(field); });
    return hash.result();
  }

  static int compare(Key const& left, Key const& right) {
    std::uint32_t leftFields[Brell::kMaxKeyFields * 4];
    std::uint32_t rightFields[Brell::kMaxKeyFields * 4];
    std::size_t leftCount = 0;
    std::size_t rightCount = 0;
    left.forEachField([&](auto field) { leftFields[leftCount++] = field; });
    right.forEachField([&](auto field) { rightFields[rightCount++] = field; });
    for (std::size_t index = 0; index < leftCount && index < rightCount; ++index) {
      if (leftFields[index] != rightFields[index]) {
        return leftFields[index] < rightFields[index] ? -1 : 1;
      }
    }
    return 0;
  }

  static std::string_view typeName() { return Entry::typeName(); }

  // Where the key's fields lie in the value, so tools can hash and order keys
  // without knowing the entry type.
  static constexpr Brell::KeyLayout keyLayout() {
    Brell::KeyLayout layout;
    for (auto const& field : EntryKey::kFieldLayout) {
      layout.fields[layout.fieldCount++] = {field.offset, field.width};
    }
    return layout;
  }
};

}  // namespace TyvoBrell
