#include "platform/sim/ChipWire.h"

#include <fmt/format.h>

namespace Sim::Wire {
namespace {

constexpr std::size_t kMaskBytes = Pelcar::Fapmask::kMaxFaps / 8;
constexpr std::size_t kWriteFixedBytes = 28 + kMaskBytes;
constexpr std::size_t kCellFixedBytes = 24;
constexpr std::size_t kFlippedBytes = 24;

bool isWriteKind(std::uint8_t kind) {
  return kind == static_cast<std::uint8_t>(Pelcar::SchanCmdKind::registerWrite) ||
         kind == static_cast<std::uint8_t>(Pelcar::SchanCmdKind::memoryWrite) ||
         kind == static_cast<std::uint8_t>(Pelcar::SchanCmdKind::memoryBulkWrite);
}

void putAddress(Encoder& out, U32 fapId, U32 block, U32 address, U8 arrayIndex, U8 flag) {
  out.u32(fapId);
  out.u32(block);
  out.u32(address);
  out.u8(arrayIndex);
  out.u8(flag);
  out.u16(0);
}

}  // namespace

char const* typeName(std::uint16_t type) {
  switch (static_cast<Type>(type & ~kReply)) {
    case Type::hello:
      return "hello";
    case Type::write:
      return "write";
    case Type::read:
      return "read";
    case Type::cells:
      return "cells";
    case Type::digest:
      return "digest";
    case Type::flipBits:
      return "flip-bits";
    case Type::reset:
      return "reset";
    default:
      break;
  }
  return type == static_cast<std::uint16_t>(Type::error) ? "error" : "unknown";
}

std::vector<U8> Encoder::frame(std::uint16_t type) {
  auto length = static_cast<std::uint32_t>(payloadSize());
  for (unsigned index = 0; index < 4; ++index)
    bytes_[index] = static_cast<U8>(length >> (8 * index));
  bytes_[4] = static_cast<U8>(type);
  bytes_[5] = static_cast<U8>(type >> 8);
  bytes_[6] = 0;
  bytes_[7] = 0;
  auto frame = std::move(bytes_);
  bytes_.assign(kHeaderBytes, 0);
  return frame;
}

Header header(U8 const* bytes) {
  Decoder in(bytes, kHeaderBytes);
  Header header;
  header.length = in.u32();
  header.type = in.u16();
  header.zero = in.u16();
  return header;
}

std::uint64_t Decoder::little(unsigned count) {
  U8 const* bytes = raw(count);
  std::uint64_t value = 0;
  for (unsigned index = 0; index < count; ++index)
    value |= std::uint64_t{bytes[index]} << (8 * index);
  return value;
}

U8 const* Decoder::raw(std::size_t size) {
  if (size > left()) {
    throw WireError(fmt::format("the payload ends after {} bytes; {} more were expected", size_,
                                size - left()));
  }
  U8 const* at = data_ + offset_;
  offset_ += size;
  return at;
}

std::uint32_t Decoder::count(std::size_t itemBytes, std::string_view what) {
  std::uint32_t value = u32();
  if (itemBytes != 0 && value > left() / itemBytes) {
    throw WireError(
        fmt::format("{} {} do not fit the {} bytes left in the payload", value, what, left()));
  }
  return value;
}

void Decoder::finish(std::string_view what) const {
  if (left() != 0) {
    throw WireError(fmt::format("{} bytes are left over after the {}", left(), what));
  }
}

std::size_t encodedWriteBytes(Pelcar::SchanCmd const& cmd) {
  return kWriteFixedBytes + cmd.data.size();
}

void appendWrite(std::vector<U8>& out, Pelcar::SchanCmd const& cmd) {
  auto at = out.size();
  out.resize(at + encodedWriteBytes(cmd));
  encodeWriteAt(out.data() + at, cmd);
}

U8* encodeWriteAt(U8* to, Pelcar::SchanCmd const& cmd) {
  if (!isWriteKind(static_cast<std::uint8_t>(cmd.kind))) {
    throw WireError("only write commands travel in a write request");
  }
  auto put = [&to](std::uint64_t value, unsigned bytes) {
    for (unsigned index = 0; index < bytes; ++index) *to++ = static_cast<U8>(value >> (8 * index));
  };
  put(static_cast<std::uint8_t>(cmd.kind), 1);
  put(cmd.arrayIndex, 1);
  put(0, 2);
  put(cmd.block, 4);
  put(cmd.address, 4);
  put(cmd.row, 4);
  put(cmd.entrySize, 4);
  put(cmd.rowCount, 4);
  // Bit tests up to the mask's last FAP, rather than a list of its ids per command.
  std::memset(to, 0, kMaskBytes);
  auto left = cmd.fapmask.count();
  for (std::uint32_t fap = 0; left != 0 && fap < Pelcar::Fapmask::kMaxFaps; ++fap) {
    if (!cmd.fapmask.fapId(Pelcar::FapId(fap))) continue;
    to[fap / 8] |= static_cast<U8>(1u << (fap % 8));
    --left;
  }
  to += kMaskBytes;
  put(cmd.data.size(), 4);
  if (!cmd.data.empty()) std::memcpy(to, cmd.data.data(), cmd.data.size());
  return to + cmd.data.size();
}

void encodeWrites(Encoder& out, std::vector<Vorl::Ptr<Pelcar::SchanCmd>> const& cmds) {
  out.u32(static_cast<std::uint32_t>(cmds.size()));
  for (auto const& cmd : cmds) {
    if (!cmd || !isWriteKind(static_cast<std::uint8_t>(cmd->kind))) {
      throw WireError("only write commands travel in a write request");
    }
    if (cmd->data.size() > kMaxPayload) {
      throw WireError(fmt::format("a command of {} data bytes exceeds a frame", cmd->data.size()));
    }
    out.u8(static_cast<std::uint8_t>(cmd->kind));
    out.u8(cmd->arrayIndex);
    out.u16(0);
    out.u32(cmd->block);
    out.u32(cmd->address);
    out.u32(cmd->row);
    out.u32(cmd->entrySize);
    out.u32(cmd->rowCount);
    U8 mask[kMaskBytes] = {};
    for (auto fap : cmd->fapmask.fapIds())
      mask[fap.value / 8] |= static_cast<U8>(1u << (fap.value % 8));
    out.raw(mask, sizeof mask);
    out.u32(static_cast<std::uint32_t>(cmd->data.size()));
    out.raw(cmd->data.data(), cmd->data.size());
  }
}

std::vector<Vorl::Ptr<Pelcar::SchanCmd>> decodeWrites(Decoder& in) {
  auto count = in.count(kWriteFixedBytes, "write commands");
  std::vector<Vorl::Ptr<Pelcar::SchanCmd>> cmds;
  cmds.reserve(count);
  for (std::uint32_t index = 0; index < count; ++index) {
    auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
    auto kind = in.u8();
    if (!isWriteKind(kind)) {
      throw WireError(fmt::format("command {} is of kind {}, not a write", index, kind));
    }
    cmd->kind = static_cast<Pelcar::SchanCmdKind>(kind);
    cmd->arrayIndex = in.u8();
    in.u16();
    cmd->block = in.u32();
    cmd->address = in.u32();
    cmd->row = in.u32();
    cmd->entrySize = in.u32();
    cmd->rowCount = in.u32();
    U8 const* mask = in.raw(kMaskBytes);
    for (std::uint32_t fap = 0; fap < Pelcar::Fapmask::kMaxFaps; ++fap) {
      if ((mask[fap / 8] >> (fap % 8)) & 1u) cmd->fapmask.fapIdIs(Pelcar::FapId(fap), true);
    }
    auto size = in.count(1, "data bytes");
    U8 const* data = in.raw(size);
    cmd->data.assign(data, data + size);
    cmds.push_back(std::move(cmd));
  }
  in.finish("write commands");
  return cmds;
}

void encodeReads(Encoder& out, std::vector<CellRead> const& reads) {
  out.u32(static_cast<std::uint32_t>(reads.size()));
  for (auto const& read : reads) {
    putAddress(out, read.fapId, read.block, read.address, read.arrayIndex, 0);
    out.u32(read.row);
    out.u32(read.count);
    out.u32(read.entrySize);
  }
}

std::vector<CellRead> decodeReads(Decoder& in) {
  auto count = in.count(kReadBytes, "reads");
  std::vector<CellRead> reads(count);
  for (auto& read : reads) {
    read.fapId = in.u32();
    read.block = in.u32();
    read.address = in.u32();
    read.arrayIndex = in.u8();
    in.u8();
    in.u16();
    read.row = in.u32();
    read.count = in.u32();
    read.entrySize = in.u32();
  }
  in.finish("reads");
  return reads;
}

void encodeCell(Encoder& out, CellAddress const& address, Cell const& cell) {
  putAddress(out, address.fapId, address.block, address.address, address.arrayIndex,
             cell.isRegister ? 1 : 0);
  out.u32(address.row);
  out.u32(static_cast<std::uint32_t>(cell.data.size()));
  out.raw(cell.data.data(), cell.data.size());
}

std::vector<std::pair<CellAddress, Cell>> decodeCells(Decoder& in) {
  auto count = in.count(kCellFixedBytes, "cells");
  std::vector<std::pair<CellAddress, Cell>> cells;
  cells.reserve(count);
  for (std::uint32_t index = 0; index < count; ++index) {
    CellAddress address;
    Cell cell;
    address.fapId = in.u32();
    address.block = in.u32();
    address.address = in.u32();
    address.arrayIndex = in.u8();
    cell.isRegister = in.u8() != 0;
    in.u16();
    address.row = in.u32();
    auto size = in.count(1, "cell bytes");
    U8 const* data = in.raw(size);
    cell.data.assign(data, data + size);
    cells.emplace_back(address, std::move(cell));
  }
  in.finish("cells");
  return cells;
}

void encodeFlipped(Encoder& out, std::vector<FlippedBit> const& flipped) {
  out.u32(static_cast<std::uint32_t>(flipped.size()));
  for (auto const& flip : flipped) {
    putAddress(out, flip.cell.fapId, flip.cell.block, flip.cell.address, flip.cell.arrayIndex, 0);
    out.u32(flip.cell.row);
    out.u32(flip.bit);
  }
}

std::vector<FlippedBit> decodeFlipped(Decoder& in) {
  auto count = in.count(kFlippedBytes, "flipped bits");
  std::vector<FlippedBit> flipped(count);
  for (auto& flip : flipped) {
    flip.cell.fapId = in.u32();
    flip.cell.block = in.u32();
    flip.cell.address = in.u32();
    flip.cell.arrayIndex = in.u8();
    in.u8();
    in.u16();
    flip.cell.row = in.u32();
    flip.bit = in.u32();
  }
  in.finish("flipped bits");
  return flipped;
}

void encodeFaults(Encoder& out, std::vector<CommandFault> const& faults) {
  out.u32(static_cast<std::uint32_t>(faults.size()));
  for (auto const& fault : faults) {
    out.u32(fault.index);
    out.u8(static_cast<std::uint8_t>(fault.kind));
    out.u8(0);
    out.u16(0);
    out.u32(fault.rowsWritten);
    out.u32(static_cast<std::uint32_t>(fault.message.size()));
    out.raw(fault.message);
  }
}

std::vector<CommandFault> decodeFaults(Decoder& in, std::uint32_t commands) {
  auto count = in.count(16, "command faults");
  std::vector<CommandFault> faults(count);
  for (auto& fault : faults) {
    fault.index = in.u32();
    auto kind = faultKindOf(in.u8());
    in.u8();
    in.u16();
    fault.rowsWritten = in.u32();
    auto length = in.u32();
    if (length > in.left()) throw WireError("a command fault's text runs past the payload");
    auto const* text = in.raw(length);
    fault.message.assign(reinterpret_cast<char const*>(text), length);
    if (!kind) throw WireError("a command fault of an unknown kind");
    if (fault.index >= commands) {
      throw WireError(fmt::format("a fault of command {} of a list of {}", fault.index, commands));
    }
    fault.kind = *kind;
  }
  return faults;
}

}  // namespace Sim::Wire
