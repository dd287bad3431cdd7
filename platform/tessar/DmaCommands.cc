#include "platform/tessar/DmaCommands.h"

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Tessar {

Vorl::Ptr<Pelcar::SchanCmds> memoryWriteDmamemPoolBulkCmdFactory(
    Pelcar::Fapmask const& fapmask, Hardware::Sand::FapRevision const& fapRevision,
    Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const&,
    BcmInstanceInfo const& instance, U32 entrySize, BcmRegMemInfo const& memInfo, U8 arrayIndex,
    U32 firstRow, U32 rowCount, Vorl::Ptr<DmaMemPoolManager::DmaMemPoolBuffer const> const& buffer) {
  auto cmds = Pelcar::schanCmdsFactory();
  memoryWriteDmamemPoolBulkCmdAppend(fapmask, fapRevision, instance, entrySize, memInfo,
                                     arrayIndex, firstRow, rowCount, buffer, *cmds);
  return cmds;
}

void memoryWriteDmamemPoolBulkCmdAppend(
    Pelcar::Fapmask const& fapmask, Hardware::Sand::FapRevision const& fapRevision,
    BcmInstanceInfo const& instance, U32 entrySize, BcmRegMemInfo const& memInfo, U8 arrayIndex,
    U32 firstRow, U32 rowCount, Vorl::Ptr<DmaMemPoolManager::DmaMemPoolBuffer const> const& buffer,
    Pelcar::SchanCmds& into) {
  if (!buffer) throw Vorl::RangeException("bulk write without a DMA buffer");
  auto bytes = static_cast<std::uint64_t>(entrySize) * rowCount;
  if (entrySize == 0 || rowCount == 0 || bytes > buffer->size()) {
    throw Vorl::RangeException(fmt::format("bulk write of {} rows of {} bytes from a {}-byte buffer",
                                           rowCount, entrySize, buffer->size()));
  }
  bool arrayInRange = arrayIndex >= memInfo.firstArrayIndex &&
                      arrayIndex - memInfo.firstArrayIndex < memInfo.arrayCount;
  bool rowsInRange = firstRow >= memInfo.firstEntryIndex &&
                     static_cast<std::uint64_t>(firstRow - memInfo.firstEntryIndex) + rowCount <=
                         memInfo.entryCount;
  if (!arrayInRange || !rowsInRange) {
    throw Vorl::RangeException(
        fmt::format("bulk write of array {} rows {}+{} outside {} (arrays {}+{}, entries {}+{})",
                    arrayIndex, firstRow, rowCount, memInfo.name, memInfo.firstArrayIndex,
                    memInfo.arrayCount, memInfo.firstEntryIndex, memInfo.entryCount));
  }
  auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
  cmd->kind = Pelcar::SchanCmdKind::memoryBulkWrite;
  cmd->fapmask = fapmask;
  cmd->fapRevision = fapRevision;
  cmd->memberName = memInfo.commandName;
  cmd->block = instance.block;
  cmd->address = instance.address;
  cmd->arrayIndex = arrayIndex;
  cmd->row = firstRow;
  cmd->entrySize = entrySize;
  cmd->rowCount = rowCount;
  cmd->data = Pelcar::SchanData::shared(buffer, buffer->data(), bytes);
  into.cmdEnq(std::move(cmd));
}

}  // namespace Tessar
