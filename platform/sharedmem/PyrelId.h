// The restart identity of a store's writer.
//
// 32 bits: the upper 16 are a number (a process-wide counter when the identity is
// made, incremented by every wipe of the store), the lower 16 the low bits of the
// process id that made it. The identity is written into every store header and into
// the restart-identity file; readers trust a header only when the two agree, which is
// how they notice that a new writer wiped and re-formatted the store.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <string>

namespace SharedMem {

class HWTABLES_API PyrelId {
 public:
  constexpr PyrelId() = default;
  constexpr explicit PyrelId(std::uint32_t value) : value_(value) {}
  constexpr PyrelId(std::uint16_t number, std::uint32_t processId)
      : value_((std::uint32_t{number} << 16) | (processId & 0xFFFFu)) {}

  // A new identity from the process-wide counter and this process's id.
  static PyrelId makeNew();

  constexpr std::uint32_t value() const { return value_; }
  constexpr std::uint16_t number() const { return static_cast<std::uint16_t>(value_ >> 16); }
  constexpr std::uint16_t processBits() const { return static_cast<std::uint16_t>(value_); }

  // The identity after one more wipe: upper 16 bits + 1 (wrapping), process bits kept.
  constexpr PyrelId wiped() const {
    return PyrelId(static_cast<std::uint16_t>(number() + 1), processBits());
  }

  constexpr bool operator==(PyrelId const&) const = default;
  std::string toString() const;

 private:
  std::uint32_t value_ = 0;
};

}  // namespace SharedMem
