// The journal's file layout shared by its writer and its reader (Journal.h has the
// layout in words).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sim/ChipWire.h"

namespace HwAgent::JournalFormat {

inline constexpr std::string_view kMagic{"HWTJRNL\0", 8};
inline constexpr std::size_t kRecordHeaderBytes = 8;  // payload length, checksum
// Sequence, time, answer, 3 zero bytes, rows written, the two names' lengths.
inline constexpr std::size_t kRecordFixedBytes = 8 + 8 + 4 + 4 + 2 + 2;
// A record larger than this is damage, not a record (the largest command is one
// frame of the chip's wire).
inline constexpr std::uint32_t kLargestRecord = Sim::Wire::kMaxPayload + 2 * 65536 + 64;

std::uint32_t checksumOf(std::uint8_t const* bytes, std::size_t size);

// Little-endian, as every number in the file.
inline std::uint8_t* put(std::uint8_t* to, std::uint64_t value, unsigned bytes) {
  for (unsigned index = 0; index < bytes; ++index) *to++ = static_cast<std::uint8_t>(value >> (8 * index));
  return to;
}

inline std::uint64_t get(std::uint8_t const* bytes, unsigned count) {
  std::uint64_t value = 0;
  for (unsigned index = 0; index < count; ++index) value |= std::uint64_t{bytes[index]} << (8 * index);
  return value;
}

std::string errnoText();
bool exists(std::string const& path);
// FILE.number, the files rotated out of a journal.
std::string rotated(std::string const& path, unsigned number);
// Whether the file at `path` starts as a journal does (any version).
bool looksLikeJournal(std::string const& path);

}  // namespace HwAgent::JournalFormat
