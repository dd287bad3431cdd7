// The two key forms of table entries, as templates over a table's description.
//
// SingleIndexKey: one 32-bit `value`, valid 0 ..= null (registers: null = 1; a
// memory: null = its row count). `null` names no entry but is a valid key value.
// ArrayIndexKey: an 8-bit `arrayIndex` and a 32-bit `entryIndex`, each in its
// inclusive range; the array index is checked first.
//
// Both are trivially copyable values of fixed layout (explicit zero padding), so the
// store can hold them inline and compare them byte for byte. Construction and the
// setters check before they store: a refused value leaves the key unchanged and
// throws Vorl::RangeException naming the type and its bounds.
#pragma once

#include "platform/plugin/Export.h"

#include <compare>
#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "framework/TableInfo.h"
#include "platform/tyvo/Hash.h"
#include "platform/tyvo/TypeRuntime.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Format.h"
#include "platform/vorl/Types.h"

namespace Framework {

// "<type>::<field> < <type>::<min> or > <type>::<max> not allowed"
[[noreturn]] HWTABLES_API void throwKeyRange(std::string_view tableFullName, std::string_view typeSuffix,
                                std::string_view field, std::string_view minName,
                                std::string_view maxName);

// Where one key field lies in the key (and so in the entry, whose key comes first).
struct HWTABLES_API KeyFieldLayout {
  U8 offset;
  U8 width;  // 1 or 4 bytes
};

template <class Desc>
class SingleIndexKey {
 public:
  static constexpr KeyFieldLayout kFieldLayout[] = {{0, 4}};

  static constexpr U32 min = 0;
  static constexpr U32 null = Desc::info.key.null;
  static constexpr U32 max = null;
  static constexpr U8 arrayIndexConstant = 0;

  constexpr SingleIndexKey() = default;
  SingleIndexKey(U32 value) : value_(value) { check(value); }
  // The text form `{value=N}` (see Tyvo::strepToValue), checked like the constructor above.
  explicit SingleIndexKey(Tyvo::CharRange& text)
      : SingleIndexKey(Tyvo::deserializeAttr<U32>(text, "value", typeName())) {}

  static std::string typeName() { return std::string(Desc::info.fullName) + "::EntryKey"; }

  U32 value() const { return value_; }
  void valueIs(U32 value) {
    if (value == value_) return;
    check(value);
    value_ = value;
  }
  U32 entryIndex() const { return value_; }
  U8 arrayIndex() const { return arrayIndexConstant; }

  U32 hash(U32 seed = 0) const { return Tyvo::hashSingleAttr(value_, seed); }
  // Calls `visit` with each field in declaration order (what the store hashes).
  template <class Visitor>
  void forEachField(Visitor&& visit) const {
    visit(value_);
  }

  bool operator==(SingleIndexKey const&) const = default;
  auto operator<=>(SingleIndexKey const&) const = default;

  static std::string_view typeSuffix() { return "::EntryKey"; }

 private:
  static void check(U32 value) {
    if (value > null) throwKeyRange(Desc::info.fullName, "::EntryKey", "value", "min", "null");
  }

  U32 value_ = 0;
};

template <class Desc>
class ArrayIndexKey {
 public:
  static constexpr KeyFieldLayout kFieldLayout[] = {{0, 1}, {4, 4}};

  static constexpr U8 arrayIndexMin = Desc::info.key.arrayIndexMin;
  static constexpr U8 arrayIndexMax = Desc::info.key.arrayIndexMax;
  static constexpr U32 entryIndexMin = Desc::info.key.entryIndexMin;
  static constexpr U32 entryIndexMax = Desc::info.key.entryIndexMax;

  // The first array index and entry 0: a key that always exists.
  constexpr ArrayIndexKey() = default;
  ArrayIndexKey(U8 arrayIndex, U32 entryIndex)
      : arrayIndex_(arrayIndex), entryIndex_(entryIndex) {
    checkArrayIndex(arrayIndex);
    checkEntryIndex(entryIndex);
  }
  // The text form `{arrayIndex=A entryIndex=E}`, optionally after the type's full name;
  // both are read before either is checked, the array index first.
  explicit ArrayIndexKey(Tyvo::CharRange& text) {
    auto arrayIndex = Tyvo::desAttrPre<U8>(text, "arrayIndex", typeName());
    auto entryIndex = Tyvo::desAttrPost<U32>(text, "entryIndex");
    *this = ArrayIndexKey(arrayIndex, entryIndex);
  }

  static std::string typeName() { return std::string(Desc::info.fullName) + "::EntryKey"; }

  U8 arrayIndex() const { return arrayIndex_; }
  U32 entryIndex() const { return entryIndex_; }
  void arrayIndexIs(U8 arrayIndex) {
    checkArrayIndex(arrayIndex);
    arrayIndex_ = arrayIndex;
  }
  void entryIndexIs(U32 entryIndex) {
    checkEntryIndex(entryIndex);
    entryIndex_ = entryIndex;
  }

  U32 hash(U32 seed = 0) const { return Tyvo::Hash(seed).add(arrayIndex_).add(entryIndex_).result(); }
  template <class Visitor>
  void forEachField(Visitor&& visit) const {
    visit(arrayIndex_);
    visit(entryIndex_);
  }

  bool operator==(ArrayIndexKey const& other) const {
    return arrayIndex_ == other.arrayIndex_ && entryIndex_ == other.entryIndex_;
  }
  std::strong_ordering operator<=>(ArrayIndexKey const& other) const {
    if (auto order = arrayIndex_ <=> other.arrayIndex_; order != 0) return order;
    return entryIndex_ <=> other.entryIndex_;
  }

 private:
  static void checkArrayIndex(U8 arrayIndex) {
    if (arrayIndex < arrayIndexMin || arrayIndex > arrayIndexMax) {
      throwKeyRange(Desc::info.fullName, "::EntryKey", "arrayIndex", "arrayIndexMin",
                    "arrayIndexMax");
    }
  }
  static void checkEntryIndex(U32 entryIndex) {
    if (entryIndex < entryIndexMin || entryIndex > entryIndexMax) {
      throwKeyRange(Desc::info.fullName, "::EntryKey", "entryIndex", "entryIndexMin",
                    "entryIndexMax");
    }
  }

  U8 arrayIndex_ = arrayIndexMin;
  U8 padding_[3] = {0, 0, 0};  // explicit, so byte-wise comparison and copies are exact
  U32 entryIndex_ = entryIndexMin;
};

template <class Desc>
using EntryKeyFor = std::conditional_t<Desc::info.key.form == KeyForm::singleIndex,
                                       SingleIndexKey<Desc>, ArrayIndexKey<Desc>>;

}  // namespace Framework

template <class Desc>
struct fmt::formatter<Framework::SingleIndexKey<Desc>> : fmt::formatter<std::string_view> {
  auto format(Framework::SingleIndexKey<Desc> const& key, format_context& context) const {
    return Vorl::formatTo(context.out(), "{{value={}}}", key.value());
  }
};

template <class Desc>
struct fmt::formatter<Framework::ArrayIndexKey<Desc>> : fmt::formatter<std::string_view> {
  auto format(Framework::ArrayIndexKey<Desc> const& key, format_context& context) const {
    return Vorl::formatTo(context.out(), "{{arrayIndex={} entryIndex={}}}", key.arrayIndex(),
                          key.entryIndex());
  }
};
