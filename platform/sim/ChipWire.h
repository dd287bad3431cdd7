// The wire format between a chip process and its clients (docs/chip-process.md).
//
// Every message is a frame: an 8-byte header, then `length` payload bytes.
//
//   0        4        6        8
//   +--------+--------+--------+------------------------+
//   | length | type   | zero   | payload (length bytes) |
//   +--------+--------+--------+------------------------+
//
// All integers are little-endian. A request's reply carries the request's type with
// bit 15 set; a refused request is answered with `error` and its text. The first
// request of a connection is `hello` with the protocol version; the chip answers
// with the version it speaks and its instance (a random number drawn when the chip
// process started, so a client can tell a restarted chip from the one it knew).
//
// Decoding never trusts the bytes: every count is checked against the payload's
// length before anything is allocated for it, and a payload with bytes left over
// is refused. A WireError says what was wrong.
//
// Thread-safety: pure functions.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/SimChip.h"

namespace Sim::Wire {

// Version 2: a write's reply names the commands the chip did not complete.
inline constexpr std::uint16_t kVersion = 2;
inline constexpr std::size_t kHeaderBytes = 8;
// The largest payload: one DMA buffer of the largest size, and room for its command.
inline constexpr std::uint32_t kMaxPayload = (64u << 20) + (64u << 10);
// The magic of a hello, both ways.
inline constexpr std::string_view kMagic{"HTBCHIP\0", 8};
// The reply bit of a message type.
inline constexpr std::uint16_t kReply = 0x8000;

enum class Type : std::uint16_t {
  hello = 1,     // magic, version, 0                  -> magic, version, 0, instance, pid
  write = 2,     // count, commands                    -> count, executed so far, faults
  read = 3,      // count, reads                       -> the bytes of every read, in order
  cells = 4,     // FAP (kAllFaps: every FAP)          -> count, cells
  digest = 5,    //                                    -> digest, cells, commands, instance
  flipBits = 6,  // count, seed                        -> count, flipped bits
  reset = 7,     //                                    -> cells removed
  error = 0xffff,
};

inline constexpr std::uint32_t kAllFaps = 0xffffffffu;

HWTABLES_API char const* typeName(std::uint16_t type);

struct HWTABLES_API WireError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct HWTABLES_API Header {
  std::uint32_t length = 0;
  std::uint16_t type = 0;
  std::uint16_t zero = 0;
};

// The header at the start of `bytes` (at least kHeaderBytes of them).
HWTABLES_API Header header(U8 const* bytes);

// A frame being built: room for the header, then little-endian integers and bytes
// appended to the payload; frame() fills the header in.
class HWTABLES_API Encoder {
 public:
  Encoder() : bytes_(kHeaderBytes, 0) {}
  void u8(std::uint8_t value) { bytes_.push_back(value); }
  void u16(std::uint16_t value) { little(value, 2); }
  void u32(std::uint32_t value) { little(value, 4); }
  void u64(std::uint64_t value) { little(value, 8); }
  void raw(U8 const* data, std::size_t size) {
    auto at = bytes_.size();
    bytes_.resize(at + size);
    if (size != 0) std::memcpy(bytes_.data() + at, data, size);
  }
  void raw(std::string_view text) { raw(reinterpret_cast<U8 const*>(text.data()), text.size()); }
  std::size_t payloadSize() const { return bytes_.size() - kHeaderBytes; }
  // The whole frame of that type; the encoder is left empty.
  std::vector<U8> frame(std::uint16_t type);
  std::vector<U8> frame(Type type) { return frame(static_cast<std::uint16_t>(type)); }

 private:
  void little(std::uint64_t value, unsigned count) {
    for (unsigned index = 0; index < count; ++index)
      bytes_.push_back(static_cast<U8>(value >> (8 * index)));
  }
  std::vector<U8> bytes_;
};

// Reads little-endian integers and bytes, refusing to read past the end.
class HWTABLES_API Decoder {
 public:
  Decoder(U8 const* data, std::size_t size) : data_(data), size_(size) {}
  explicit Decoder(std::vector<U8> const& bytes) : Decoder(bytes.data(), bytes.size()) {}

  std::uint8_t u8() { return static_cast<std::uint8_t>(little(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(little(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
  std::uint64_t u64() { return little(8); }
  U8 const* raw(std::size_t size);
  // A count of items of at least `itemBytes` each that the rest of the payload can hold.
  std::uint32_t count(std::size_t itemBytes, std::string_view what);
  std::size_t left() const { return size_ - offset_; }
  // Refuses bytes left over after the last field.
  void finish(std::string_view what) const;

 private:
  std::uint64_t little(unsigned count);
  U8 const* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// Write commands: kind, array, row, sizes, the 256-bit FAP mask and the data bytes.
// Only writes are encoded; a read or a null command is refused with WireError.
HWTABLES_API void encodeWrites(Encoder& out, std::vector<Vorl::Ptr<Pelcar::SchanCmd>> const& cmds);
HWTABLES_API std::size_t encodedWriteBytes(Pelcar::SchanCmd const& cmd);
// One write command as encodeWrites lays it out, appended to `out` (without a count):
// for records that carry a command, such as the agent's journal.
HWTABLES_API void appendWrite(std::vector<U8>& out, Pelcar::SchanCmd const& cmd);
// The same bytes written at `to`, which has room for encodedWriteBytes(cmd); returns
// the byte after them.
HWTABLES_API U8* encodeWriteAt(U8* to, Pelcar::SchanCmd const& cmd);
HWTABLES_API std::vector<Vorl::Ptr<Pelcar::SchanCmd>> decodeWrites(Decoder& in);

inline constexpr std::size_t kReadBytes = 28;
HWTABLES_API void encodeReads(Encoder& out, std::vector<CellRead> const& reads);
HWTABLES_API std::vector<CellRead> decodeReads(Decoder& in);

HWTABLES_API void encodeCell(Encoder& out, CellAddress const& address, Cell const& cell);
HWTABLES_API std::vector<std::pair<CellAddress, Cell>> decodeCells(Decoder& in);

// The commands of a write the chip did not complete: count u32, then per fault the
// command's index u32, kind u8, zero u8 x 3, rows written u32, text length u32, text.
HWTABLES_API void encodeFaults(Encoder& out, std::vector<CommandFault> const& faults);
HWTABLES_API std::vector<CommandFault> decodeFaults(Decoder& in, std::uint32_t commands);

HWTABLES_API void encodeFlipped(Encoder& out, std::vector<FlippedBit> const& flipped);
HWTABLES_API std::vector<FlippedBit> decodeFlipped(Decoder& in);

}  // namespace Sim::Wire
