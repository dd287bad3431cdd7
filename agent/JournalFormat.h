// The journal's file layout shared by its writer and its reader (Journal.h has the
// layout in words).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/plugin/Export.h"
#include "platform/sim/ChipWire.h"

namespace HwAgent::JournalFormat {

inline constexpr std::string_view kMagic{"HWTJRNL\0", 8};
inline constexpr std::size_t kRecordHeaderBytes = 8;  // payload length, checksum
// A record larger than this is damage, not a record (the largest command is one
// frame of the chip's wire).
inline constexpr std::uint32_t kLargestRecord = Sim::Wire::kMaxPayload + 2 * 65536 + 64;

// Version 1: every record a command, with both names and the command as the chip's
// wire carries it. Sequence, time, answer, 3 zero bytes, rows written, the two names'
// lengths.
inline constexpr std::size_t kV1FixedBytes = 8 + 8 + 4 + 4 + 2 + 2;

// Versions 2 to 4: a record is an entry of the file's dictionary or a command that
// refers to it. The payload's first byte says which. Version 3 adds `repeat`: a command
// whose rows are those of an earlier command in the same file; version 4 `copy`: a
// command that is an earlier one of the same file sent to other FAPs.
enum class Entry : std::uint8_t { command = 0, name = 1, fapmask = 2, repeat = 3, copy = 4 };
// Entry, answer, command kind, array; sequence, time; rows written; table, member and
// FAP mask ids, zero u16; block, address, first row, entry size, rows. Then the data
// (a command) or the sequence u64 of the command whose rows these are (a repeat).
inline constexpr std::size_t kCommandFixedBytes = 4 + 8 + 8 + 4 + 8 + 20;
inline constexpr std::size_t kRepeatBytes = kCommandFixedBytes + 8;
// A copy: entry, answer, FAP mask id u16; sequence u64; how many commands before it the
// command it copies is, u32. Everything else (the time included) is that command's; its
// rows written are none (a command the chip wrote in part is never a copy).
inline constexpr std::size_t kCopyBytes = 4 + 8 + 4;
// Rows shorter than this are written out: looking them up costs more than the bytes.
inline constexpr std::size_t kSmallestRepeat = 16;
// Entry, zero, id u16, then the name (the rest of the payload).
inline constexpr std::size_t kNameFixedBytes = 4;
// Entry, zero, id u16, then the mask's 256 bits, FAP 0 first.
inline constexpr std::size_t kMaskBytes = 32;
inline constexpr std::size_t kFapmaskEntryBytes = 4 + kMaskBytes;
// Ids are u16: a file whose dictionary is full makes the writer start the next file.
inline constexpr std::size_t kMostIds = 65536;
// Names are kept to this length (a u16 in version 1).
inline constexpr std::size_t kLongestName = 65535;

// Version 1's checksum (a multiply-rotate fold of 8-byte words), kept to read old files.
std::uint32_t foldChecksumOf(std::uint8_t const* bytes, std::size_t size);
// Version 2's: CRC-32C (Castagnoli), with the processor's CRC instruction where it has
// one; crc32cPortable is the table-driven form every machine runs (the two agree).
HWTABLES_API std::uint32_t crc32c(std::uint8_t const* bytes, std::size_t size);
HWTABLES_API std::uint32_t crc32cPortable(std::uint8_t const* bytes, std::size_t size);
// The CRC-32C of two little-endian words, as they lie in memory, from the words
// themselves: the record they make is not read back to checksum it.
HWTABLES_API std::uint32_t crc32cOfWords(std::uint64_t first, std::uint64_t second);

// Little-endian, as every number in the file. On a little-endian machine that is the
// value's own first bytes: one store where the size is known, rather than one a byte.
inline std::uint8_t* put(std::uint8_t* to, std::uint64_t value, unsigned bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(to, &value, bytes);
    return to + bytes;
  }
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
