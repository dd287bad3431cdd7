#include "framework/RegisterShadow.h"

#include "framework/Gating.h"

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

bool RegisterShadowBase::downloadInto(Vorl::String const& fapType,
                                      Hardware::Sand::FapRevision const& fapRevision,
                                      Pelcar::Fapmask const& downloadFapmask,
                                      Pelcar::SchanCmds& into) const {
  if (deleted()) return false;
  traceDownload(fapType, fapRevision, downloadFapmask, constTrace(), &trace());
  auto applicable = gateFapmask(applicableFapmask(downloadFapmask), hwShadowKey(), downloadFapmask,
                                constTrace(), GatingSite::downloadFapmask);
  if (!applicable) return false;
  return downloadWorkerInto(fapRevision, *applicable, false, into);
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
  auto cmds = Pelcar::schanCmdsFactory();
  if (!downloadWorkerInto(fapRevision, downloadFapmask, isDelete, *cmds)) return nullptr;
  return cmds;
}

bool RegisterShadowBase::downloadWorkerInto(Hardware::Sand::FapRevision const& fapRevision,
                                            Pelcar::Fapmask const& downloadFapmask,
                                            bool isDelete, Pelcar::SchanCmds& into) const {
  VORL_TRACE(constTrace(), 8, "fapRevision: {}, downloadFapmask: {}, isDelete: {}", fapRevision,
             downloadFapmask, isDelete);
  auto applicable = gateFapmask(applicableFapmask(downloadFapmask), hwShadowKey(), downloadFapmask,
                                constTrace(), GatingSite::downloadFapmask);
  if (!applicable) return false;
  VORL_TRACE(constTrace(), 8, "fapRevision: {}, fapMask: {}, isDelete: {}", fapRevision,
             *applicable, isDelete);
  auto fapMask = gateFapmask(applicableFapmask(*applicable), hwShadowKey(), *applicable,
                             constTrace(), GatingSite::fapMask);
  if (!fapMask) return false;
  // The entries' commands go straight to `into`, in entry order. The mask is gated
  // once for the walk: every entry would be gated to the same mask.
  auto first = bcmGroupAddrInfo()->firstMember();
  for (U32 array = 0; array < first->arrayCount; ++array) {
    auto arrayIndex = static_cast<U8>(first->firstArrayIndex + array);
    for (U32 entry = 0; entry < first->entryCount; ++entry) {
      auto key = recordKey(arrayIndex, first->firstEntryIndex + entry);
      VORL_TRACE(constTrace(), 8, "key: {}", key);
      U8 const* data = defaultEntry();
      if (!isDelete) {
        if (auto const* stored = record(key)) data = stored->data;
      }
      schanCmdsWorkerInto(*fapMask, fapRevision, key.arrayIndex, key.entryIndex, data, into);
    }
  }
  return true;
}

}  // namespace Framework
