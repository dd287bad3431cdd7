#include "platform/tessar/HwTableReaderBase.h"

#include <algorithm>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Tessar {
namespace {

BcmInstanceInfo const& instanceOf(BcmRegMemInfo const& member, InstanceId instanceId) {
  auto found = member.instances.find(instanceId);
  if (found == member.instances.end() || !found->second) {
    throw Vorl::RangeException(
        fmt::format("{} has no instance {}", member.name, instanceId));
  }
  return *found->second;
}

void requireMember(Vorl::Ptr<BcmRegMemInfo const> const& member) {
  if (!member) throw Vorl::RangeException("read of a table without a member description");
}

// Copies the parts every read command shares from the member and instance it reads.
void describe(Pelcar::SchanCmd& cmd, Pelcar::SchanCmdKind kind, Pelcar::FapId fapId,
              Hardware::Sand::FapRevision const& fapRevision, BcmRegMemInfo const& member,
              BcmInstanceInfo const& instance) {
  cmd.kind = kind;
  cmd.fapmask.fapIdIs(fapId, true);
  cmd.fapRevision = fapRevision;
  cmd.memberName = member.commandName;
  cmd.block = instance.block;
  cmd.address = instance.address;
  cmd.entrySize = member.entrySize;
}

}  // namespace

Vorl::String readRequestTypeName(HwReadRequestType type) {
  switch (type) {
    case HwReadRequestType::fullTableRead: return "fullTableRead";
    case HwReadRequestType::arrayIndexRead: return "arrayIndexRead";
    case HwReadRequestType::entryIndexRead: return "entryIndexRead";
  }
  return fmt::format("{}", static_cast<unsigned>(type));
}

Vorl::Ptr<Pelcar::SchanCmds> RegisterReaderBase::regReadSchanCmdsWorker(
    Pelcar::Fapmask const& fapmask, InstanceId instanceId, bool fullTable, U32 entryIndex,
    Vorl::Ptr<HwTableReadResultContainer> const& resultContainer,
    Vorl::Ptr<BcmRegMemInfo const> const& member,
    Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const&) {
  requireMember(member);
  auto const& instance = instanceOf(*member, instanceId);
  std::vector<U32> entryIndices;
  if (fullTable) {
    for (U32 entry = 0; entry < member->entryCount; ++entry) {
      entryIndices.push_back(member->firstEntryIndex + entry);
    }
  } else {
    if (entryIndex < member->firstEntryIndex ||
        entryIndex - member->firstEntryIndex >= member->entryCount) {
      throw Vorl::RangeException(fmt::format("{} has no entry index {} (entries {}+{})",
                                             member->name, entryIndex, member->firstEntryIndex,
                                             member->entryCount));
    }
    entryIndices.push_back(entryIndex);
  }
  auto cmds = Pelcar::schanCmdsFactory();
  for (auto fapId : fapmask.fapIds()) {
    for (auto index : entryIndices) {
      auto info = Vorl::makePtr<HwRegReadInfo>();
      info->fapId = static_cast<U8>(fapId.value);
      info->instanceId = static_cast<U8>(instanceId);
      info->fapRevision = hwTableKey().fapRevision;
      info->entryIndex = index;
      auto cmd = Vorl::makePtr<GenericRegReadCmdlet>();
      describe(*cmd, Pelcar::SchanCmdKind::registerRead, fapId, info->fapRevision, *member,
               instance);
      cmd->row = index;
      cmd->readInfo = info;
      cmd->resultContainer = resultContainer;
      cmd->reader = this;
      cmds->cmdEnq(cmd);
    }
  }
  return cmds;
}

Vorl::Ptr<Pelcar::SchanCmds> DirectTableReaderBase::directReadSchanCmdsWorker(
    Pelcar::Fapmask const& fapmask, InstanceId instanceId, bool allArrayIndices, U8 arrayIndex,
    Vorl::Ptr<HwTableReadResultContainer> const& resultContainer,
    Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> const& dmaMemPoolManager,
    Vorl::Ptr<BcmRegMemInfo const> const& member,
    Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const&) {
  requireMember(member);
  auto const& instance = instanceOf(*member, instanceId);
  if (!dmaMemPoolManager) {
    throw Vorl::RangeException(fmt::format("no DMA memory pool to read {} into", member->name));
  }
  if (member->entrySize == 0 || dmaMemPoolManager->bufferBytes() < member->entrySize) {
    throw Vorl::RangeException(fmt::format("DMA buffers of {} bytes cannot hold one {}-byte entry of {}",
                                           dmaMemPoolManager->bufferBytes(), member->entrySize,
                                           member->name));
  }
  std::vector<U8> arrayIndices;
  if (allArrayIndices) {
    for (U32 array = 0; array < member->arrayCount; ++array) {
      arrayIndices.push_back(static_cast<U8>(member->firstArrayIndex + array));
    }
  } else {
    if (arrayIndex < member->firstArrayIndex ||
        arrayIndex - member->firstArrayIndex >= member->arrayCount) {
      throw Vorl::RangeException(fmt::format("{} has no array index {} (arrays {}+{})",
                                             member->name, arrayIndex, member->firstArrayIndex,
                                             member->arrayCount));
    }
    arrayIndices.push_back(arrayIndex);
  }
  U32 perCommand = dmaMemPoolManager->bufferBytes() / member->entrySize;
  if (auto limit = readTableManager() ? readTableManager()->bulkReadEntries() : 0; limit != 0) {
    perCommand = std::min(perCommand, limit);
  }
  auto cmds = Pelcar::schanCmdsFactory();
  for (auto fapId : fapmask.fapIds()) {
    for (auto array : arrayIndices) {
      for (U32 done = 0; done < member->entryCount;) {
        U32 count = std::min(perCommand, member->entryCount - done);
        auto info = Vorl::makePtr<HwReadBulkCmdInfo>();
        info->fapId = static_cast<U8>(fapId.value);
        info->instanceId = static_cast<U8>(instanceId);
        info->fapRevision = hwTableKey().fapRevision;
        info->dmaMemPoolBuffer = dmaMemPoolManager->buffer();
        info->arrayIndex = array;
        info->firstEntryIndex = member->firstEntryIndex + done;
        info->numEntries = count;
        auto cmd = Vorl::makePtr<GenericBulkReadCmdlet>();
        describe(*cmd, Pelcar::SchanCmdKind::memoryBulkRead, fapId, info->fapRevision, *member,
                 instance);
        cmd->arrayIndex = array;
        cmd->row = info->firstEntryIndex;
        cmd->rowCount = count;
        cmd->readInfo = info;
        cmd->resultContainer = resultContainer;
        cmd->reader = this;
        cmds->cmdEnq(cmd);
        done += count;
      }
    }
  }
  return cmds;
}

}  // namespace Tessar
