// The keys that address tables and their shadows.
//
// HwShadowKey names one shadow of a table: the copy of its contents kept for one FAP
// (low byte: FAP id) and instance (high byte: instance id). HwTableKey names one table
// for one chip revision; factories are registered and tables held under it.
#pragma once

#include "platform/plugin/Export.h"

#include <compare>
#include <cstdint>

#include <fmt/format.h>

#include "platform/hardware/FapRevision.h"
#include "platform/tyvo/Hash.h"
#include "platform/vorl/String.h"

namespace Tessar {

using MemoryId = std::uint32_t;
using InstanceId = std::uint32_t;

class HWTABLES_API HwShadowKey {
 public:
  // In a read request, FAP id 128 stands for every FAP of the reader's mask.
  static constexpr std::uint8_t kAllFaps = 128;

  constexpr HwShadowKey() = default;
  constexpr HwShadowKey(std::uint16_t value) : value_(value) {}
  static constexpr HwShadowKey of(std::uint8_t fapId, std::uint8_t instanceId) {
    return HwShadowKey(static_cast<std::uint16_t>(fapId | (instanceId << 8)));
  }

  constexpr std::uint16_t value() const { return value_; }
  constexpr std::uint8_t fapId() const { return static_cast<std::uint8_t>(value_ & 0xFF); }
  constexpr std::uint8_t instanceId() const { return static_cast<std::uint8_t>(value_ >> 8); }

  constexpr std::uint32_t hash(std::uint32_t seed) const {
    return Tyvo::hashSingleAttr(value_, seed);
  }
  // The decimal value; it is also part of a shadow's store path.
  Vorl::String toString() const { return fmt::format("{}", value_); }

  constexpr bool operator==(HwShadowKey const&) const = default;
  constexpr auto operator<=>(HwShadowKey const&) const = default;

 private:
  std::uint16_t value_ = 0;
};

struct HWTABLES_API HwTableKey {
  Vorl::String tableName;
  Hardware::Sand::FapRevision fapRevision;

  bool operator==(HwTableKey const&) const = default;
  auto operator<=>(HwTableKey const&) const = default;
};

}  // namespace Tessar

template <>
struct fmt::formatter<Tessar::HwShadowKey> : fmt::formatter<std::string_view> {
  auto format(Tessar::HwShadowKey key, format_context& context) const {
    return fmt::formatter<std::string_view>::format(key.toString(), context);
  }
};

template <>
struct fmt::formatter<Tessar::HwTableKey> : fmt::formatter<std::string_view> {
  auto format(Tessar::HwTableKey const& key, format_context& context) const {
    return fmt::formatter<std::string_view>::format(
        fmt::format("{}/{}", key.tableName, key.fapRevision.revString()), context);
  }
};
