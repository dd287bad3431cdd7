#include "framework/RegisterShadow.h"

#include "framework/Gating.h"
#include "platform/glimmet/Glimmet.h"

namespace Framework {

Vorl::Ptr<Pelcar::SchanCmds> RegisterShadowBase::entrySchanCmds(
    Pelcar::Fapmask const& mask, Hardware::Sand::FapRevision const& fapRevision,
    Tessar::RegisterShadowBrellEntryKey const& key, bool isDelete) const {
  VORL_TRACE(constTrace(), 8, "key: {}", key);
  auto applicable = gateFapmask(applicableFapmask(mask), hwShadowKey(), mask, constTrace(),
                                GatingSite::downloadFapmask);
  if (!applicable) return nullptr;
  U8 const* data = defaultEntry();
  if (!isDelete) {
    if (auto const* stored = record(key)) data = stored->data;
  }
  return schanCmdsWorker(*applicable, fapRevision, key.arrayIndex, key.entryIndex, data);
}

Vorl::Ptr<Pelcar::SchanCmds> RegisterShadowBase::download(
    Vorl::String const& fapType, Hardware::Sand::FapRevision const& fapRevision,
    Pelcar::Fapmask const& downloadFapmask) const {
  if (deleted()) return nullptr;
  auto revisionText = fapRevision.revString();
  auto maskText = Pelcar::valueToStrep(downloadFapmask);
  GLIMMET_TRACE("fapType: {}, fapRevision: {}, downloadFapmask: {}", fapType, revisionText,
                maskText);
  VORL_TRACE(trace(), 8, "fapType: {}, fapRevision: {}, downloadFapmask: {}", fapType, revisionText,
             maskText);
  VORL_TRACE(constTrace(), 8, " fapType: {} fapRevision: {} downloadFapmask: {}", fapType,
             revisionText, maskText);
  auto applicable = gateFapmask(applicableFapmask(downloadFapmask), hwShadowKey(), downloadFapmask,
                                constTrace(), GatingSite::downloadFapmask);
  if (!applicable) return nullptr;
  return downloadWorker(fapRevision, *applicable, false);
}

Vorl::Ptr<Pelcar::SchanCmds> RegisterShadowBase::clearShadow(
    Hardware::Sand::FapRevision const& fapRevision, Pelcar::Fapmask const& mask) {
  if (deleted()) return nullptr;
  auto cmds = downloadWorker(fapRevision, mask, true);
  collCleanup();
  return cmds;
}

Vorl::Ptr<Pelcar::SchanCmds> RegisterShadowBase::downloadWorker(
    Hardware::Sand::FapRevision const& fapRevision, Pelcar::Fapmask const& downloadFapmask,
    bool isDelete) const {
  VORL_TRACE(constTrace(), 8, "fapRevision: {}, downloadFapmask: {}, isDelete: {}", fapRevision,
             downloadFapmask, isDelete);
  auto applicable = gateFapmask(applicableFapmask(downloadFapmask), hwShadowKey(), downloadFapmask,
                                constTrace(), GatingSite::downloadFapmask);
  if (!applicable) return nullptr;
  return downloadWorkerKeyBasedFullEntryByEntry(fapRevision, *applicable, isDelete);
}

Vorl::Ptr<Pelcar::SchanCmds> RegisterShadowBase::downloadWorkerKeyBasedFullEntryByEntry(
    Hardware::Sand::FapRevision const& fapRevision, Pelcar::Fapmask const& fapMask,
    bool isDelete) const {
  VORL_TRACE(constTrace(), 8, "fapRevision: {}, fapMask: {}, isDelete: {}", fapRevision, fapMask,
             isDelete);
  auto applicable = gateFapmask(applicableFapmask(fapMask), hwShadowKey(), fapMask, constTrace(),
                                GatingSite::fapMask);
  if (!applicable) return nullptr;
  auto cmds = Pelcar::schanCmdsFactory();
  auto first = bcmGroupAddrInfo()->firstMember();
  for (U32 array = 0; array < first->arrayCount; ++array) {
    auto arrayIndex = static_cast<U8>(first->firstArrayIndex + array);
    for (U32 entry = 0; entry < first->entryCount; ++entry) {
      auto entryCmds =
          entrySchanCmds(*applicable, fapRevision,
                         recordKey(arrayIndex, first->firstEntryIndex + entry), isDelete);
      while (entryCmds) {
        auto cmd = entryCmds->cmdDeq();
        if (!cmd) break;
        cmds->cmdEnq(cmd);
      }
    }
  }
  return cmds;
}

}  // namespace Framework
