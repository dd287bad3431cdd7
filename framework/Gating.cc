#include "framework/Gating.h"

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

}  // namespace Framework
