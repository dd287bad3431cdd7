// Chip revisions (FAP revisions), chip types and FAP types.
//
// A FapRevision is a major and a minor revision; the revision catalogue below maps
// each major revision to its chip type. Chip type 25 is the bcm88490_a0, the chip
// every table of this library serves; the other revisions exist so that agents and
// tests can show registration skipping foreign chips.
#pragma once

#include "platform/plugin/Export.h"

#include <compare>
#include <cstdint>
#include <span>

#include <fmt/format.h>

#include "platform/vorl/String.h"

namespace Hardware {

enum class ChipType : std::uint8_t {};

constexpr ChipType chipType(unsigned value) { return static_cast<ChipType>(value); }
constexpr unsigned chipTypeValue(ChipType type) { return static_cast<unsigned>(type); }

inline constexpr ChipType bcm88490_a0ChipType = chipType(25);

namespace Sand {

enum class FapRevMajor : std::uint32_t {
  FAPR_none = 0,
  FAPR_sim5_a0 = 6,
  FAPR_sim12_a0 = 8,
  FAPR_sim12_b0 = 9,
  FAPR_sim24_a0 = 11,
  FAPR_sim26_a0 = 12,
  FAPR_sim28_a0 = 13,
  FAPR_sim40_a0 = 14,
  FAPR_sim12_c0 = 15,
  FAPR_bcm88490_a0 = 20,
  FAPR_bcm88490_b0 = 21,
};

enum class FapRevMinor : std::uint32_t {
  FAPR_none = 0,
  FAPR__m1 = 1,
  FAPR__m2 = 2,
};

enum class FapType : std::uint8_t {};

constexpr unsigned fapTypeValue(FapType type) { return static_cast<unsigned>(type); }

// The enumerator's name, or "FAPR_unknown" for a value outside the catalogue.
HWTABLES_API Vorl::String stringValue(FapRevMajor major);
HWTABLES_API Vorl::String stringValue(FapRevMinor minor);

// The FAP type of a chip type 0..36; a larger chip type is a fatal assertion
// ("Unhandled chipType " and the chip type).
HWTABLES_API FapType chipTypeToFapType(ChipType chipType);

class HWTABLES_API FapRevision {
 public:
  constexpr FapRevision() = default;
  constexpr explicit FapRevision(FapRevMajor major, FapRevMinor minor = FapRevMinor::FAPR_none)
      : major_(major), minor_(minor) {}

  constexpr FapRevMajor major() const { return major_; }
  constexpr FapRevMinor minor() const { return minor_; }
  constexpr std::uint32_t majorNumber() const { return static_cast<std::uint32_t>(major_); }

  // The chip type of the major revision; ChipType 0 for a revision outside the catalogue.
  ChipType chipType() const;
  // The major revision's name without its first five characters, followed by the
  // minor revision's name without its first five characters when the minor is not 0.
  Vorl::String revString() const;

  constexpr bool isEq(FapRevision const& other) const { return *this == other; }
  constexpr bool operator==(FapRevision const&) const = default;
  constexpr auto operator<=>(FapRevision const&) const = default;

 private:
  FapRevMajor major_ = FapRevMajor::FAPR_none;
  FapRevMinor minor_ = FapRevMinor::FAPR_none;
};
static_assert(sizeof(FapRevision) == 8);

// Every revision the platform knows, in ascending order.
HWTABLES_API std::span<FapRevision const> knownFapRevisions();
// The revision whose revString() is `text`; false when there is none.
HWTABLES_API bool fapRevisionFromString(std::string_view text, FapRevision& revision);

inline constexpr FapRevision bcm88490_a0Revision{FapRevMajor::FAPR_bcm88490_a0};

}  // namespace Sand
}  // namespace Hardware

template <>
struct fmt::formatter<Hardware::Sand::FapRevision> : fmt::formatter<std::string_view> {
  auto format(Hardware::Sand::FapRevision const& revision, format_context& context) const {
    return fmt::formatter<std::string_view>::format(revision.revString(), context);
  }
};
