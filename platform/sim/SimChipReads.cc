// The simulated chip's read side: answering read commands and flipping bits.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/sim/SimChip.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "platform/vorl/Exceptions.h"

namespace Sim {

Vorl::String Chip::readRefusal(Pelcar::SchanCmd const& cmd) {
  auto const* regRead = dynamic_cast<Tessar::GenericRegReadCmdlet const*>(&cmd);
  auto const* bulkRead = dynamic_cast<Tessar::GenericBulkReadCmdlet const*>(&cmd);
  if (!regRead && !bulkRead) return "the command is not a read the simulated chip answers";
  if (cmd.fapmask.count() != 1) return "a read command reads exactly one FAP";
  if (cmd.entrySize == 0) return "the command's entry size is 0";
  auto const& target = regRead ? static_cast<Tessar::HwReadCmdTarget const&>(*regRead)
                               : static_cast<Tessar::HwReadCmdTarget const&>(*bulkRead);
  if (!target.reader) return "the command names no reader to complete to";
  if (regRead) return regRead->readInfo ? "" : "the command carries no read description";
  auto const& info = bulkRead->readInfo;
  if (!info || !info->dmaMemPoolBuffer) return "the command carries no DMA buffer";
  if (info->firstEntryIndex > UINT32_MAX - info->numEntries) {
    return "the command's entries run past the end of the address space";
  }
  auto bytes = static_cast<std::uint64_t>(cmd.entrySize) * info->numEntries;
  if (bytes > info->dmaMemPoolBuffer->size()) {
    return fmt::format("{} entries of {} bytes do not fit a {}-byte buffer", info->numEntries,
                       cmd.entrySize, info->dmaMemPoolBuffer->size());
  }
  return {};
}

std::vector<U8> Chip::read(CellRead const& cellRead) const {
  std::vector<U8> bytes(cellRead.bytes(), 0);
  for (U32 entry = 0; entry < cellRead.count; ++entry) {
    auto found = cells_.find(CellAddress{cellRead.fapId, cellRead.block, cellRead.address,
                                         cellRead.arrayIndex, cellRead.row + entry});
    if (found == cells_.end()) continue;
    std::memcpy(bytes.data() + std::size_t{entry} * cellRead.entrySize, found->second.data.data(),
                std::min<std::size_t>(cellRead.entrySize, found->second.data.size()));
  }
  return bytes;
}

namespace {

CellRead cellReadOf(Pelcar::SchanCmd const& cmd) {
  CellRead read{cmd.fapmask.fapIds().front().value, cmd.block, cmd.address, 0, 0, 1, cmd.entrySize};
  if (auto const* regRead = dynamic_cast<Tessar::GenericRegReadCmdlet const*>(&cmd)) {
    read.row = regRead->readInfo->entryIndex;
  } else {
    auto const& info = *dynamic_cast<Tessar::GenericBulkReadCmdlet const&>(cmd).readInfo;
    read.arrayIndex = info.arrayIndex;
    read.row = info.firstEntryIndex;
    read.count = info.numEntries;
  }
  return read;
}

}  // namespace

void answerReads(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, ReadFetch const& fetch) {
  if (!cmds) return;
  std::vector<CellRead> reads;
  std::uint64_t total = 0;
  for (auto const& cmd : *cmds) {
    if (!cmd) throw Vorl::RangeException("command list holds a null command");
    if (auto why = Chip::readRefusal(*cmd); !why.empty()) {
      throw Vorl::RangeException(fmt::format("refused {}: {}", cmd->toString(), why));
    }
    reads.push_back(cellReadOf(*cmd));
    total += reads.back().bytes();
  }
  if (reads.empty()) return;
  auto bytes = fetch(reads);
  if (bytes.size() != total) {
    throw Vorl::RangeException(
        fmt::format("the chip answered {} bytes for reads of {}", bytes.size(), total));
  }
  U8 const* cursor = bytes.data();
  for (std::size_t index = 0; index < reads.size(); ++index) {
    auto const& cmd = cmds->begin()[static_cast<std::ptrdiff_t>(index)];
    auto size = static_cast<std::size_t>(reads[index].bytes());
    Vorl::Ptr<Tessar::HwTableReaderBase> reader;
    if (auto regRead = Vorl::ptrCast<Tessar::GenericRegReadCmdlet>(cmd)) {
      regRead->replyData.assign(cursor, cursor + size);
      reader = regRead->reader;
    } else {
      auto bulkRead = Vorl::ptrCast<Tessar::GenericBulkReadCmdlet>(cmd);
      std::memcpy(bulkRead->readInfo->dmaMemPoolBuffer->vaCursor(), cursor, size);
      reader = bulkRead->reader;
    }
    cursor += size;
    reader->processReadComplete(cmd);
  }
}

void Chip::answer(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) {
  answerReads(cmds, [this](std::vector<CellRead> const& reads) {
    std::vector<U8> bytes;
    for (auto const& cellRead : reads) {
      auto part = read(cellRead);
      bytes.insert(bytes.end(), part.begin(), part.end());
      ++readsAnswered_;
    }
    return bytes;
  });
}

std::vector<FlippedBit> Chip::flipBits(U32 count, std::uint64_t seed) {
  // Every written cell with the number of bits before it: a pick is found by binary
  // search, so many flips over many cells stay cheap.
  std::vector<CellAddress> cells;
  std::vector<std::uint64_t> firstBit;
  std::uint64_t totalBits = 0;
  for (auto const& [address, cell] : cells_) {
    if (cell.data.empty()) continue;
    cells.push_back(address);
    firstBit.push_back(totalBits);
    totalBits += cell.data.size() * 8;
  }
  std::vector<FlippedBit> flipped;
  if (totalBits == 0) return flipped;
  std::mt19937_64 random(seed);
  for (U32 flip = 0; flip < count; ++flip) {
    std::uint64_t pick = random() % totalBits;
    auto after = std::upper_bound(firstBit.begin(), firstBit.end(), pick);
    auto index = static_cast<std::size_t>(after - firstBit.begin() - 1);
    auto bit = static_cast<U32>(pick - firstBit[index]);
    cells_[cells[index]].data[bit / 8] ^= static_cast<U8>(1u << (bit % 8));
    flipped.push_back({cells[index], bit});
  }
  return flipped;
}

}  // namespace Sim
