#include "platform/tessar/HwShadowBase.h"

#include <cstring>

#include "platform/asic/Assert.h"
#include "platform/vorl/Exceptions.h"

namespace Tessar {

HwShadowBase::HwShadowBase(
    Vorl::String name, HwShadowKey hwShadowKey, Hardware::Sand::FapRevision const& fapRevision,
    Vorl::Ptr<BcmGroupAddrInfo const> bcmGroupAddrInfo,
    Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
    Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus)
    : name_(std::move(name)),
      hwShadowKey_(hwShadowKey),
      fapRevision_(fapRevision),
      bcmGroupAddrInfo_(std::move(bcmGroupAddrInfo)),
      sandStatus_(std::move(sandStatus)),
      sandCmdletRequiredStatus_(std::move(sandCmdletRequiredStatus)) {
  servedFapmask_.fapIdIs(Pelcar::FapId(hwShadowKey.fapId()), true);
}

Pelcar::Fapmask HwShadowBase::applicableFapmask(Pelcar::Fapmask const& requested) const {
  Pelcar::Fapmask applicable = requested;
  applicable &= servedFapmask_;
  return applicable;
}

Vorl::Ptr<Pelcar::SchanCmds> HwShadowBase::download(Vorl::String const& fapType,
                                                    Hardware::Sand::FapRevision const& fapRevision,
                                                    Pelcar::Fapmask const& downloadFapmask) const {
  auto cmds = Pelcar::schanCmdsFactory();
  if (!downloadInto(fapType, fapRevision, downloadFapmask, *cmds)) return nullptr;
  return cmds;
}

std::vector<U8> HwShadowBase::expectedRows(BcmRegMemInfo const& member) const {
  std::vector<U8> rows;
  rows.reserve(std::size_t{member.arrayCount} * member.entryCount * entrySize());
  for (U32 array = 0; array < member.arrayCount; ++array) {
    for (U32 row = 0; row < member.entryCount; ++row) {
      auto data = expectedEntryData(static_cast<U8>(member.firstArrayIndex + array),
                                    member.firstEntryIndex + row);
      data.resize(entrySize(), 0);
      rows.insert(rows.end(), data.begin(), data.end());
    }
  }
  return rows;
}

U32 DirectShadowBase::entrySize() const {
  auto first = bcmGroupAddrInfo() ? bcmGroupAddrInfo()->firstMember() : nullptr;
  return first ? first->entrySize : 0;
}

void DirectShadowBase::initDefaultEntry() {
  defaultEntry_.assign(entrySize(), 0);
}

void DirectShadowBase::requireLive() const {
  ASIC_GRACEFUL_ASSERT(!deleted(), "!deleted()", "shadow {} has been deleted", name());
}

Vorl::Ptr<Pelcar::SchanCmds> DirectShadowBase::schanCmdsWorker(
    Pelcar::Fapmask const& applicable, Hardware::Sand::FapRevision const& fapRevision,
    U8 arrayIndex, U32 entryIndex, U8 const* data) const {
  auto cmds = Pelcar::schanCmdsFactory();
  schanCmdsWorkerInto(applicable, fapRevision, arrayIndex, entryIndex, data, *cmds);
  return cmds;
}

void DirectShadowBase::schanCmdsWorkerInto(Pelcar::Fapmask const& applicable,
                                           Hardware::Sand::FapRevision const& fapRevision,
                                           U8 arrayIndex, U32 entryIndex, U8 const* data,
                                           Pelcar::SchanCmds& into) const {
  auto const& description = bcmGroupAddrInfo();
  if (!description)
    throw Vorl::InvalidInitializeException("shadow " + name() + " has no description");
  // Check every member before building anything, so a bad position yields no command.
  for (auto const& [memoryId, member] : description->members()) {
    bool arrayInRange = arrayIndex >= member->firstArrayIndex &&
                        arrayIndex - member->firstArrayIndex < member->arrayCount;
    bool entryInRange = entryIndex >= member->firstEntryIndex &&
                        entryIndex - member->firstEntryIndex < member->entryCount;
    if (!arrayInRange || !entryInRange) {
      throw Vorl::RangeException(
          fmt::format("array {} entry {} outside {} (arrays {}+{}, entries {}+{})", arrayIndex,
                      entryIndex, member->name, member->firstArrayIndex, member->arrayCount,
                      member->firstEntryIndex, member->entryCount));
    }
  }
  for (auto const& [memoryId, member] : description->members()) {
    for (auto const& [instanceId, instance] : member->instances) {
      if (!coversInstance(instanceId)) continue;
      auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
      cmd->kind = member->isRegister() ? Pelcar::SchanCmdKind::registerWrite
                                       : Pelcar::SchanCmdKind::memoryWrite;
      cmd->fapmask = applicable;
      cmd->fapRevision = fapRevision;
      cmd->memberName = member->commandName;
      cmd->block = instance->block;
      cmd->address = instance->address;
      cmd->arrayIndex = arrayIndex;
      cmd->row = entryIndex;
      cmd->entrySize = member->entrySize;
      cmd->rowCount = 1;
      cmd->data.assign(data, data + member->entrySize);
      into.cmdEnq(std::move(cmd));
    }
  }
}

RegisterKeyBasedShadowBase::RegisterKeyBasedShadowBase(
    Vorl::String name, HwShadowKey hwShadowKey, Hardware::Sand::FapRevision const& fapRevision,
    Vorl::Ptr<BcmGroupAddrInfo const> bcmGroupAddrInfo,
    Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
    Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus,
    Vorl::Ptr<RegShadowEntryStorage> entryStorage, Vorl::String hwTableName)
    : DirectShadowBase(name, hwShadowKey, fapRevision, std::move(bcmGroupAddrInfo),
                       std::move(sandStatus), std::move(sandCmdletRequiredStatus)),
      recordName_(name),
      entryStorage_(std::move(entryStorage)),
      hwTableName_(std::move(hwTableName)),
      constTrace_(Vorl::traceHandle("const " + hwTableName_ + "::Shadow")),
      trace_(Vorl::traceHandle(hwTableName_ + "::Shadow")) {
  if (!entryStorage_) {
    throw Vorl::InvalidInitializeException("shadow " + this->name() + " has no entry storage");
  }
  if (!DirectShadowBase::bcmGroupAddrInfo() ||
      !DirectShadowBase::bcmGroupAddrInfo()->firstMember()) {
    throw Vorl::InvalidInitializeException("shadow " + this->name() + " has no description");
  }
  if (DirectShadowBase::entrySize() > RegisterShadowBrellEntry::kDataBytes) {
    throw Vorl::InvalidInitializeException(
        fmt::format("shadow {}: entry of {} bytes exceeds a record's {}", this->name(),
                    DirectShadowBase::entrySize(), RegisterShadowBrellEntry::kDataBytes));
  }
  initDefaultEntry();
}

RegisterKeyBasedShadowBase::~RegisterKeyBasedShadowBase() {
  deleting_ = true;
  try {
    onDelete();
  } catch (...) {
    // A destructor never lets an exception out; the records stay for the agent's cleanup.
  }
}

RegisterShadowBrellEntryKey RegisterKeyBasedShadowBase::recordKey(U8 arrayIndex,
                                                                  U32 entryIndex) const {
  RegisterShadowBrellEntryKey key;
  key.fapRevision = fapRevision();
  key.name = recordName_;
  key.hwShadowKey = hwShadowKey().value();
  key.arrayIndex = arrayIndex;
  key.entryIndex = entryIndex;
  return key;
}

void RegisterKeyBasedShadowBase::recordIs(U32 entryIndex, U8 const* data, U32 size) {
  if (size > RegisterShadowBrellEntry::kDataBytes) {
    throw Vorl::RangeException(fmt::format("entry of {} bytes exceeds a record's {}", size,
                                           RegisterShadowBrellEntry::kDataBytes));
  }
  RegisterShadowBrellEntry entry;
  entry.key = recordKey(0, entryIndex);
  std::memcpy(entry.data, data, size);
  entryStorage_->entryCollIs(entry);
}

RegisterShadowBrellEntry const* RegisterKeyBasedShadowBase::record(
    RegisterShadowBrellEntryKey const& key) const {
  try {
    return entryStorage_->entryColl(key);
  } catch (Vorl::CorruptionDetectedException const& error) {
    entryStorage_->doCorruptionDetected(error.what());
    return nullptr;
  }
}

void RegisterKeyBasedShadowBase::recordDel(RegisterShadowBrellEntryKey const& key) {
  if (record(key)) entryStorage_->entryCollDel(key);
}

void RegisterKeyBasedShadowBase::collCleanup() {
  entryStorage_->collCleanup(fapRevision(), recordName_.view(), hwShadowKey());
}

void RegisterKeyBasedShadowBase::onDelete() {
  VORL_TRACE(trace_, 8, " hwShadowKey: {} name: {}", hwShadowKey(), name());
  if (bcmGroupAddrInfo() && !deleted()) {
    cleanupDefaultEntry();
    collCleanup();
  }
}

std::vector<HwShadowBase::EntryView> RegisterKeyBasedShadowBase::storedEntries() const {
  std::vector<EntryView> entries;
  U32 size = entrySize();
  for (auto const& stored :
       entryStorage_->shadowEntries(fapRevision(), recordName_.view(), hwShadowKey())) {
    entries.push_back(EntryView{stored.key.arrayIndex, stored.key.entryIndex,
                                std::vector<U8>(stored.data, stored.data + size)});
  }
  return entries;
}

std::vector<U8> RegisterKeyBasedShadowBase::expectedEntryData(U8 arrayIndex, U32 entryIndex) const {
  U32 size = entrySize();
  if (auto const* stored = record(recordKey(arrayIndex, entryIndex))) {
    return std::vector<U8>(stored->data, stored->data + size);
  }
  if (!hasDefaultEntry()) return std::vector<U8>(size, 0);
  return std::vector<U8>(defaultEntry(), defaultEntry() + size);
}

}  // namespace Tessar
