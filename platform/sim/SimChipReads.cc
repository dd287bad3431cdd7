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

std::vector<U8> Chip::cellData(CellAddress const& address, U32 size) const {
  std::vector<U8> data(size, 0);
  if (auto found = cells_.find(address); found != cells_.end()) {
    std::memcpy(data.data(), found->second.data.data(), std::min<std::size_t>(size, found->second.data.size()));
  }
  return data;
}

void Chip::answer(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) {
  if (!cmds) return;
  for (auto const& cmd : *cmds) {
    if (!cmd) throw Vorl::RangeException("command list holds a null command");
    if (auto why = readRefusal(*cmd); !why.empty()) {
      throw Vorl::RangeException(fmt::format("refused {}: {}", cmd->toString(), why));
    }
  }
  for (auto const& cmd : *cmds) {
    U32 fapId = cmd->fapmask.fapIds().front().value;
    Vorl::Ptr<Tessar::HwTableReaderBase> reader;
    if (auto regRead = Vorl::ptrCast<Tessar::GenericRegReadCmdlet>(cmd)) {
      CellAddress address{fapId, cmd->block, cmd->address, 0, regRead->readInfo->entryIndex};
      regRead->replyData = cellData(address, cmd->entrySize);
      reader = regRead->reader;
    } else {
      auto bulkRead = Vorl::ptrCast<Tessar::GenericBulkReadCmdlet>(cmd);
      auto const& info = *bulkRead->readInfo;
      U8* cursor = info.dmaMemPoolBuffer->vaCursor();
      for (U32 entry = 0; entry < info.numEntries; ++entry) {
        CellAddress address{fapId, cmd->block, cmd->address, info.arrayIndex,
                            info.firstEntryIndex + entry};
        auto data = cellData(address, cmd->entrySize);
        std::memcpy(cursor + static_cast<std::size_t>(entry) * cmd->entrySize, data.data(),
                    data.size());
      }
      reader = bulkRead->reader;
    }
    ++readsAnswered_;
    reader->processReadComplete(cmd);
  }
}

std::vector<FlippedBit> Chip::flipBits(U32 count, std::uint64_t seed) {
  std::vector<std::pair<CellAddress, U32>> cells;  // every written cell and its bit count
  std::uint64_t totalBits = 0;
  for (auto const& [address, cell] : cells_) {
    if (cell.data.empty()) continue;
    cells.emplace_back(address, static_cast<U32>(cell.data.size() * 8));
    totalBits += cell.data.size() * 8;
  }
  std::vector<FlippedBit> flipped;
  if (totalBits == 0) return flipped;
  std::mt19937_64 random(seed);
  for (U32 flip = 0; flip < count; ++flip) {
    std::uint64_t pick = random() % totalBits;
    for (auto const& [address, bits] : cells) {
      if (pick >= bits) {
        pick -= bits;
        continue;
      }
      auto bit = static_cast<U32>(pick);
      cells_[address].data[bit / 8] ^= static_cast<U8>(1u << (bit % 8));
      flipped.push_back({address, bit});
      break;
    }
  }
  return flipped;
}

}  // namespace Sim
