// The common part of every table entry: its key and its data bytes.
//
// The data bytes are the hardware entry as the chip holds it, least significant byte
// first; field bit k is bit (k % 8) of byte (k / 8). A table's generated Entry class
// derives from EntryData and adds one getter and one setter per field, all of which
// go through copyBits. Entries are trivially copyable fixed-size values: the store
// keeps them inline, and they are compared byte for byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "framework/BitCopy.h"
#include "framework/EntryKey.h"
#include "platform/asic/Assert.h"
#include "platform/vorl/Format.h"
#include "platform/lutz/PerUnitBitmap.h"
#include "platform/pelcar/SchanCmd.h"

namespace Framework {

// An index into an entry's data bytes, valid 0 ..= max (data size - 1).
template <class Desc>
class DataByteIndex {
 public:
  static constexpr U32 min = 0;
  static constexpr U32 max = Desc::info.entryBytes - 1;
  static constexpr U32 size = Desc::info.entryBytes;

  DataByteIndex(U32 value) : value_(value) {
    if (value > max) {
      throwKeyRange(Desc::info.fullName, "::Entry::DataByte0Index", "value", "min", "max");
    }
  }
  // The text form `{value=N}`.
  explicit DataByteIndex(Tyvo::CharRange& text)
      : DataByteIndex(Tyvo::deserializeAttr<U32>(text, "value", typeName())) {}

  static std::string typeName() {
    return std::string(Desc::info.fullName) + "::Entry::DataByte0Index";
  }
  U32 value() const { return value_; }
  bool operator==(DataByteIndex const&) const = default;

 private:
  U32 value_;
};

template <class Desc, class Key>
class EntryData {
 public:
  using Description = Desc;
  using EntryKey = Key;
  using DataByte0Index = DataByteIndex<Desc>;
  static constexpr U32 kSize = Desc::info.entryBytes;

  EntryData() = default;
  explicit EntryData(Key const& key) : entryKey_(key) {}
  // An entry holds a collection (its data bytes) and so has no text form to parse.
  explicit EntryData(Tyvo::CharRange&) {
    ASIC_FATAL_ASSERT(false, "\"No String constructor for Entry - has collection\" == nullptr",
                      "an entry cannot be parsed from text");
  }

  static constexpr U32 entrySize() { return kSize; }
  static constexpr U32 entrySizeBits() { return kSize * 8; }

  Key const& entryKey() const { return entryKey_; }

  U8 dataByte0(DataByte0Index index) const { return dataByte0_[checked(index)]; }
  void dataByte0Is(DataByte0Index index, U8 value) { dataByte0_[checked(index)] = value; }
  void dataByte0Del(DataByte0Index index) { dataByte0_[checked(index)] = 0; }
  // Clears the byte an iterator over dataBytes() points at; a pointer outside this
  // entry's bytes is refused like an index out of range.
  void dataByte0Del(U8 const* position) {
    auto address = reinterpret_cast<std::uintptr_t>(position);
    auto first = reinterpret_cast<std::uintptr_t>(dataByte0_);
    dataByte0Del(DataByte0Index(address >= first && address - first < kSize
                                    ? static_cast<U32>(address - first)
                                    : kSize));
  }
  void dataByte0DelAll() { std::fill(std::begin(dataByte0_), std::end(dataByte0_), U8{0}); }

  U8 const* dataBytes() const { return dataByte0_; }
  U8* dataBytes() { return dataByte0_; }

  // The type runtime's equality: the same object, or equal keys and equal data bytes.
  static bool isEq(void const* left, void const* right) {
    if (left == right) return true;
    auto const& a = *static_cast<EntryData const*>(left);
    auto const& b = *static_cast<EntryData const*>(right);
    return a.entryKey_ == b.entryKey_ && std::memcmp(a.dataByte0_, b.dataByte0_, kSize) == 0;
  }
  bool operator==(EntryData const& other) const { return isEq(this, &other); }

 protected:
  template <class T>
  T field(U32 offset, U32 width) const {
    static_assert(std::is_unsigned_v<T>);
    U8 bytes[sizeof(T)] = {};
    copyBits(bytes, sizeof(T), dataByte0_, kSize, width, 0, offset);
    T value = 0;
    for (std::size_t index = sizeof(T); index-- > 0;) value = static_cast<T>((value << 8) | bytes[index]);
    return value;
  }

  template <class T>
  void fieldIs(U32 offset, U32 width, T value) {
    static_assert(std::is_unsigned_v<T>);
    U8 bytes[sizeof(T)];
    for (std::size_t index = 0; index < sizeof(T); ++index) {
      bytes[index] = static_cast<U8>(static_cast<std::uint64_t>(value) >> (8 * index));
    }
    copyBits(dataByte0_, kSize, bytes, sizeof(T), width, offset, 0);
  }

  // Indexed fields refuse an index at or above `count` as a graceful assertion.
  static void checkFieldIndex(U32 index, U32 count) {
    ASIC_GRACEFUL_ASSERT(index < count, "false", "Invalid field array index for index {}", index);
  }

  Lutz::PerUnitBitmap bitmapField(U32 offset, U32 width) const {
    Lutz::PerUnitBitmap bitmap(width);
    U8 bytes[kSize] = {};
    copyBits(bytes, kSize, dataByte0_, kSize, width, 0, offset);
    for (U32 word = 0; word < bitmap.wordCount(); ++word) {
      U32 value = 0;
      for (U32 byte = 0; byte < 4 && word * 4 + byte < kSize; ++byte) {
        value |= static_cast<U32>(bytes[word * 4 + byte]) << (8 * byte);
      }
      bitmap.wordIs(word, value);
    }
    return bitmap;
  }

  // Takes the bitmap's first (width + 7) / 8 bytes; a bitmap with fewer words than
  // that needs is refused by its range check before the entry changes.
  void bitmapFieldIs(U32 offset, U32 width, Lutz::PerUnitBitmap const& bitmap) {
    U32 byteCount = (width + 7) / 8;
    U8 bytes[kSize] = {};
    for (U32 byte = 0; byte < byteCount; ++byte) bytes[byte] = bitmap.byte(byte);
    copyBits(dataByte0_, kSize, bytes, kSize, width, offset, 0);
  }

 private:
  static U32 checked(DataByte0Index index) {
    ASIC_FATAL_ASSERT(index.value() < kSize, "index < size", "data byte index {} of {}",
                      index.value(), kSize);
    return index.value();
  }

  Key entryKey_{};
  U8 dataByte0_[kSize] = {};
};

}  // namespace Framework

template <class Entry>
  requires requires(Entry const& entry) {
    entry.entryKey();
    entry.dataBytes();
    Entry::entrySize();
  }
struct fmt::formatter<Entry> : fmt::formatter<std::string_view> {
  auto format(Entry const& entry, format_context& context) const {
    return Vorl::formatTo(context.out(), "{{entryKey={} dataByte0={}}}", entry.entryKey(),
                          Pelcar::hexBytes(entry.dataBytes(), Entry::entrySize()));
  }
};
