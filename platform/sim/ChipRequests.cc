#include "platform/sim/ChipRequests.h"

#include <unistd.h>

#include <string>

#include <fmt/format.h>

namespace Sim {
namespace {

// Cells the chip holds at most: a request that could take it past this is refused.
constexpr std::uint64_t kMaxCells = 4u << 20;

void answerWrite(Chip& chip, Wire::Decoder& in, Wire::Encoder& reply) {
  auto cmds = Wire::decodeWrites(in);
  auto list = Pelcar::schanCmdsFactory();
  std::uint64_t cells = 0;
  for (auto& cmd : cmds) {
    cells += std::uint64_t{cmd->rowCount} * cmd->fapmask.count();
    list->cmdEnq(cmd);
  }
  if (chip.cells().size() + cells > kMaxCells) {
    throw Wire::WireError(fmt::format(
        "the chip holds {} cells; this request could add {}, beyond its capacity of {}",
        chip.cells().size(), cells, kMaxCells));
  }
  auto outcome = chip.execute(list);  // checks every command before it applies one
  reply.u32(outcome.commands);
  reply.u64(chip.commandsExecuted());
  Wire::encodeFaults(reply, outcome.faults);
}

void answerRead(Chip& chip, Wire::Decoder& in, Wire::Encoder& reply) {
  auto reads = Wire::decodeReads(in);
  std::uint64_t total = 0;
  for (auto const& read : reads) {
    if (read.entrySize == 0) throw Wire::WireError("a read of entry size 0");
    if (read.count != 0 && read.row > UINT32_MAX - (read.count - 1)) {
      throw Wire::WireError("a read runs past the end of the address space");
    }
    total += read.bytes();
  }
  if (total > Wire::kMaxPayload) {
    throw Wire::WireError(fmt::format("reads of {} bytes exceed one frame", total));
  }
  for (auto const& read : reads) {
    auto bytes = chip.read(read);
    reply.raw(bytes.data(), bytes.size());
  }
}

void answerCells(Chip& chip, Wire::Decoder& in, Wire::Encoder& reply) {
  auto fap = in.u32();
  in.finish("cells request");
  std::uint32_t count = 0;
  Wire::Encoder cells;
  for (auto const& [address, cell] : chip.cells()) {
    if (fap != Wire::kAllFaps && address.fapId != fap) continue;
    Wire::encodeCell(cells, address, cell);
    ++count;
    if (cells.payloadSize() > Wire::kMaxPayload - 4) {
      throw Wire::WireError("the cells do not fit one frame; ask for one FAP at a time");
    }
  }
  reply.u32(count);
  auto frame = cells.frame(0);
  reply.raw(frame.data() + Wire::kHeaderBytes, frame.size() - Wire::kHeaderBytes);
}

}  // namespace

void answerHello(std::uint16_t type, Wire::Decoder& in, Wire::Encoder& reply,
                 std::uint64_t instance) {
  if (type != static_cast<std::uint16_t>(Wire::Type::hello)) {
    throw Wire::WireError(fmt::format("the first request must be hello, not {} ({})",
                                      Wire::typeName(type), type));
  }
  std::string magic(reinterpret_cast<char const*>(in.raw(Wire::kMagic.size())),
                    Wire::kMagic.size());
  auto version = in.u16();
  in.u16();
  in.finish("hello");
  if (magic != Wire::kMagic) throw Wire::WireError("not a hello of this protocol");
  if (version != Wire::kVersion) {
    throw Wire::WireError(fmt::format("protocol version {} is not spoken here; this chip speaks {}",
                                      version, Wire::kVersion));
  }
  reply.raw(Wire::kMagic);
  reply.u16(Wire::kVersion);
  reply.u16(0);
  reply.u64(instance);
  reply.u32(static_cast<std::uint32_t>(::getpid()));
}

void answerRequest(Chip& chip, std::uint16_t type, Wire::Decoder& in, Wire::Encoder& reply,
                   std::uint64_t instance) {
  switch (static_cast<Wire::Type>(type)) {
    case Wire::Type::write:
      answerWrite(chip, in, reply);
      break;
    case Wire::Type::read:
      answerRead(chip, in, reply);
      break;
    case Wire::Type::cells:
      answerCells(chip, in, reply);
      break;
    case Wire::Type::digest:
      in.finish("digest request");
      reply.u64(chip.digest());
      reply.u64(chip.cells().size());
      reply.u64(chip.commandsExecuted());
      reply.u64(instance);
      break;
    case Wire::Type::flipBits: {
      auto count = in.u32();
      auto seed = in.u64();
      in.finish("flip-bits request");
      if (count > 1000000) throw Wire::WireError("at most 1000000 bits are flipped at once");
      Wire::encodeFlipped(reply, chip.flipBits(count, seed));
      break;
    }
    case Wire::Type::reset: {
      in.finish("reset request");
      auto removed = chip.cells().size();
      chip.clear();
      reply.u64(removed);
      break;
    }
    default:
      throw Wire::WireError(fmt::format("unknown request type {}", type));
  }
}

}  // namespace Sim
