#include "framework/Gating.h"

#include "platform/glimmet/Glimmet.h"

namespace Framework {

std::optional<Pelcar::Fapmask> gateFapmask(Pelcar::Fapmask const& applicable,
                                           Tessar::HwShadowKey hwShadowKey,
                                           Pelcar::Fapmask const& requested,
                                           Vorl::TraceHandle const& trace, GatingSite site) {
  if (!applicable.isEq(Pelcar::Fapmask())) return applicable;
  if (site == GatingSite::downloadFapmask) {
    VORL_TRACE(trace, 8, " hwShadowKey: {} not applicable for downloadFapmask: {}", hwShadowKey,
               requested);
  } else {
    VORL_TRACE(trace, 8, " hwShadowKey: {} not applicable for fapMask: {}", hwShadowKey,
               requested);
  }
  return std::nullopt;
}

DownloadTexts downloadTexts(Hardware::Sand::FapRevision const& fapRevision,
                            Pelcar::Fapmask const& downloadFapmask) {
  struct Cache {
    std::optional<Hardware::Sand::FapRevision> revision;
    Vorl::String revisionText;
    std::optional<Pelcar::Fapmask> mask;
    Vorl::String maskText;
  };
  static thread_local Cache cache;
  if (!cache.revision || !(*cache.revision == fapRevision)) {
    cache.revisionText = fapRevision.revString();
    cache.revision = fapRevision;
  }
  if (!cache.mask || !(*cache.mask == downloadFapmask)) {
    cache.maskText = Pelcar::valueToStrep(downloadFapmask);
    cache.mask = downloadFapmask;
  }
  return {cache.revisionText, cache.maskText};
}

void traceDownload(Vorl::String const& fapType, Hardware::Sand::FapRevision const& fapRevision,
                   Pelcar::Fapmask const& downloadFapmask, Vorl::TraceHandle const& constTrace,
                   Vorl::TraceHandle const* changeTrace) {
  auto texts = downloadTexts(fapRevision, downloadFapmask);
  GLIMMET_TRACE("fapType: {}, fapRevision: {}, downloadFapmask: {}", fapType, texts.revision,
                texts.mask);
  if (changeTrace != nullptr) {
    VORL_TRACE(*changeTrace, 8, "fapType: {}, fapRevision: {}, downloadFapmask: {}", fapType,
               texts.revision, texts.mask);
  }
  VORL_TRACE(constTrace, 8, " fapType: {} fapRevision: {} downloadFapmask: {}", fapType,
             texts.revision, texts.mask);
}

}  // namespace Framework
