// The type runtime's seeded 32-bit hash.
//
// Every process that shares a store must hash keys identically, so this function is
// part of the store's file contract: changing it makes existing store files invalid
// (their chains would no longer match the buckets). It is a murmur3-style mix: cheap,
// well distributed in the low bits (bucket = hash mod 2^k) and in the high bits
// (the store orders chains by the bit-reversed hash).
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>

namespace Tyvo {

constexpr std::uint32_t hashMix(std::uint32_t value) {
  value ^= value >> 16;
  value *= 0x85EBCA6Bu;
  value ^= value >> 13;
  value *= 0xC2B2AE35u;
  value ^= value >> 16;
  return value;
}

// Incremental hash over the fields of a key, each fed with its own width.
class HWTABLES_API Hash {
 public:
  constexpr explicit Hash(std::uint32_t seed) : state_(seed) {}

  constexpr Hash& add(std::uint8_t value) { return addWord(value, 1); }
  constexpr Hash& add(std::uint32_t value) { return addWord(value, 4); }

  constexpr std::uint32_t result() const { return hashMix(state_ ^ length_); }

 private:
  constexpr Hash& addWord(std::uint32_t word, std::uint32_t width) {
    word *= 0xCC9E2D51u;
    word = (word << 15) | (word >> 17);
    word *= 0x1B873593u;
    state_ ^= word;
    state_ = (state_ << 13) | (state_ >> 19);
    state_ = state_ * 5u + 0xE6546B64u;
    length_ += width;
    return *this;
  }

  std::uint32_t state_;
  std::uint32_t length_ = 0;
};

// The hash of a key made of one 32-bit field.
constexpr std::uint32_t hashSingleAttr(std::uint32_t value, std::uint32_t seed) {
  return Hash(seed).add(value).result();
}

}  // namespace Tyvo
