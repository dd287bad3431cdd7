// The register record store: where register shadows keep their entries.
//
// One record per stored register entry, keyed by the shadow that owns it (FAP
// revision, shadow name, shadow key) and the entry's position (array index, entry
// index). The record is a fixed 380-byte value whose layout other processes rely on:
//
//   offset  size  field
//        0     8  fapRevision (major u32, minor u32)
//        8     4  name length
//       12   101  name characters (the shadow's name, at most 101)
//      113     3  padding (zero)
//      116     2  hwShadowKey
//      118     1  arrayIndex
//      119     1  padding (zero)
//      120     4  entryIndex
//      124   256  data: the entry's data bytes, then zeros
//
// Integers are little-endian (the host order of every platform the agent runs on).
// A name longer than 101 characters is refused with Vorl::RangeException when a key
// is built, so a record never holds a cut name.
//
// The store here keeps the records in process memory, ordered by key; it offers the
// operations the shadows use: insert-or-replace, remove, lookup by key and removal
// of all records of one shadow. The table manager owns it and hands it to every
// register shadow it creates.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include "platform/plugin/Export.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "platform/hardware/FapRevision.h"
#include "platform/tessar/Keys.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Format.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"

namespace Tessar {

static_assert(std::endian::native == std::endian::little,
              "the record layout is little-endian; a big-endian host needs byte swapping");

// A string of at most `Capacity` characters stored inline, zero-filled after its
// end, padded to a multiple of four bytes so that it can sit in fixed layouts.
template <std::size_t Capacity>
class FixedString {
 public:
  static constexpr std::size_t capacity = Capacity;

  FixedString() = default;
  // Throws Vorl::RangeException when `text` is longer than Capacity.
  explicit FixedString(std::string_view text) {
    if (text.size() > Capacity) {
      throw Vorl::RangeException(
          fmt::format("Tessar::FixedString<{}> length {} > {} not allowed: \"{}\"", Capacity,
                      text.size(), Capacity, text));
    }
    length_ = static_cast<std::uint32_t>(text.size());
    std::memcpy(characters_, text.data(), text.size());
  }

  std::string_view view() const { return {characters_, length_}; }
  std::uint32_t size() const { return length_; }

  bool operator==(FixedString const& other) const { return view() == other.view(); }
  auto operator<=>(FixedString const& other) const { return view() <=> other.view(); }

 private:
  std::uint32_t length_ = 0;
  char characters_[Capacity] = {};
  char padding_[(4 - Capacity % 4) % 4] = {};
};

using ShadowName = FixedString<101>;

struct HWTABLES_API RegisterShadowBrellEntryKey {
  Hardware::Sand::FapRevision fapRevision;
  ShadowName name;
  std::uint16_t hwShadowKey = 0;
  std::uint8_t arrayIndex = 0;
  std::uint8_t padding = 0;
  std::uint32_t entryIndex = 0;

  bool operator==(RegisterShadowBrellEntryKey const& other) const {
    return fapRevision == other.fapRevision && name == other.name &&
           hwShadowKey == other.hwShadowKey && arrayIndex == other.arrayIndex &&
           entryIndex == other.entryIndex;
  }
  auto operator<=>(RegisterShadowBrellEntryKey const& other) const {
    if (auto order = fapRevision <=> other.fapRevision; order != 0) return order;
    if (auto order = name <=> other.name; order != 0) return order;
    if (auto order = hwShadowKey <=> other.hwShadowKey; order != 0) return order;
    if (auto order = arrayIndex <=> other.arrayIndex; order != 0) return order;
    return entryIndex <=> other.entryIndex;
  }
};

struct HWTABLES_API RegisterShadowBrellEntry {
  static constexpr std::size_t kDataBytes = 256;

  RegisterShadowBrellEntryKey key;
  std::uint8_t data[kDataBytes] = {};
};

static_assert(std::is_standard_layout_v<RegisterShadowBrellEntry>);
static_assert(std::is_trivially_copyable_v<RegisterShadowBrellEntry>);
static_assert(offsetof(RegisterShadowBrellEntry, key.fapRevision) == 0);
static_assert(offsetof(RegisterShadowBrellEntry, key.name) == 8);
static_assert(offsetof(RegisterShadowBrellEntry, key.name) + sizeof(std::uint32_t) == 12,
              "the name's characters start at byte 12");
static_assert(sizeof(ShadowName) == 4 + 101 + 3);
static_assert(offsetof(RegisterShadowBrellEntry, key.hwShadowKey) == 116);
static_assert(offsetof(RegisterShadowBrellEntry, key.arrayIndex) == 118);
static_assert(offsetof(RegisterShadowBrellEntry, key.entryIndex) == 120);
static_assert(offsetof(RegisterShadowBrellEntry, data) == 124);
static_assert(sizeof(RegisterShadowBrellEntry) == 380);

class HWTABLES_API RegShadowEntryStorage : public Vorl::Node {
 public:
  // Inserts the record, or replaces the one with the same key.
  void entryCollIs(RegisterShadowBrellEntry const& record);
  // Removes the record of that key; false when there was none.
  bool entryCollDel(RegisterShadowBrellEntryKey const& key);
  // The record of that key, or null. The pointer is valid until the next change.
  // A store that finds its memory damaged throws Vorl::CorruptionDetectedException.
  virtual RegisterShadowBrellEntry const* entryColl(RegisterShadowBrellEntryKey const& key) const;
  // Removes every record of one shadow; returns how many.
  std::size_t collCleanup(Hardware::Sand::FapRevision const& fapRevision,
                          std::string_view shadowName, HwShadowKey hwShadowKey);
  // Every record of one shadow, in key order.
  std::vector<RegisterShadowBrellEntry> shadowEntries(
      Hardware::Sand::FapRevision const& fapRevision, std::string_view shadowName,
      HwShadowKey hwShadowKey) const;
  std::size_t size() const { return records_.size(); }

  // Damage reported by a lookup: counted and kept for the agent's corruption handling.
  void doCorruptionDetected(Vorl::String const& message);
  std::size_t corruptionCount() const { return corruptionMessages_.size(); }
  std::vector<Vorl::String> const& corruptionMessages() const { return corruptionMessages_; }

 private:
  std::map<RegisterShadowBrellEntryKey, RegisterShadowBrellEntry> records_;
  std::vector<Vorl::String> corruptionMessages_;
};

}  // namespace Tessar

template <>
struct fmt::formatter<Tessar::RegisterShadowBrellEntryKey> : fmt::formatter<std::string_view> {
  auto format(Tessar::RegisterShadowBrellEntryKey const& key, format_context& context) const {
    return Vorl::formatTo(
        context.out(), "{{fapRevision={} name={} hwShadowKey={} arrayIndex={} entryIndex={}}}",
        key.fapRevision, key.name.view(), key.hwShadowKey, key.arrayIndex, key.entryIndex);
  }
};
