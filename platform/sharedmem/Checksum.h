// A small checksum for the store's fixed records (FNV-1a, 32 bits). It detects
// damaged or torn records; it is not a defence against deliberate forgery.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SharedMem {

inline std::uint32_t checksum(void const* data, std::size_t bytes) {
  auto const* byte = static_cast<unsigned char const*>(data);
  std::uint32_t hash = 2166136261u;
  for (std::size_t index = 0; index < bytes; ++index) {
    hash ^= byte[index];
    hash *= 16777619u;
  }
  return hash;
}

}  // namespace SharedMem
