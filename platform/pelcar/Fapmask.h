// FAP ids and FAP masks: which forwarding chips a command goes to.
//
// A default-constructed mask is empty and means "not applicable": an operation
// whose mask is empty builds no command at all.
#pragma once

#include "platform/plugin/Export.h"

#include <bitset>
#include <cstdint>
#include <vector>

#include <fmt/format.h>

#include "platform/vorl/String.h"

namespace Pelcar {

struct HWTABLES_API FapId {
  std::uint32_t value = 0;

  constexpr FapId() = default;
  constexpr explicit FapId(std::uint32_t id) : value(id) {}
  constexpr bool operator==(FapId const&) const = default;
  constexpr auto operator<=>(FapId const&) const = default;
};

class HWTABLES_API Fapmask {
 public:
  static constexpr std::uint32_t kMaxFaps = 256;

  Fapmask() = default;

  // Adds or removes one FAP; an id of kMaxFaps or more throws Vorl::RangeException.
  void fapIdIs(FapId id, bool member);
  bool fapId(FapId id) const { return id.value < kMaxFaps && bits_.test(id.value); }

  bool isEq(Fapmask const& other) const { return bits_ == other.bits_; }
  bool operator==(Fapmask const& other) const { return isEq(other); }
  bool empty() const { return bits_.none(); }
  std::size_t count() const { return bits_.count(); }
  std::vector<FapId> fapIds() const;

  Fapmask& operator&=(Fapmask const& other) {
    bits_ &= other.bits_;
    return *this;
  }
  Fapmask& operator|=(Fapmask const& other) {
    bits_ |= other.bits_;
    return *this;
  }

  static Fapmask of(std::initializer_list<std::uint32_t> ids);

 private:
  std::bitset<kMaxFaps> bits_;
};

// "{}" for an empty mask, otherwise the ids with runs folded: "{0-3,7}".
HWTABLES_API Vorl::String valueToStrep(Fapmask const& mask);

}  // namespace Pelcar

template <>
struct fmt::formatter<Pelcar::FapId> : fmt::formatter<std::uint32_t> {
  auto format(Pelcar::FapId id, format_context& context) const {
    return fmt::formatter<std::uint32_t>::format(id.value, context);
  }
};

template <>
struct fmt::formatter<Pelcar::Fapmask> : fmt::formatter<std::string_view> {
  auto format(Pelcar::Fapmask const& mask, format_context& context) const {
    return fmt::formatter<std::string_view>::format(Pelcar::valueToStrep(mask), context);
  }
};
