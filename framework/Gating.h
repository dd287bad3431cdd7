// FAP-mask gating: the rule every write path (one entry, download, clear) applies
// before it builds a command.
//
// The caller asks its shadow which part of the requested mask it serves (the
// applicable mask). An empty applicable mask means the shadow takes no part: no
// command is built, the operation returns a null command list, and a level-8 trace
// names the shadow key and the requested mask. Otherwise commands are built for the
// applicable mask only, never for the requested one.
#pragma once

#include "platform/plugin/Export.h"

#include <optional>

#include "platform/pelcar/Fapmask.h"
#include "platform/tessar/Keys.h"
#include "platform/vorl/Trace.h"

namespace Framework {

// Which not-applicable text a call site traces: the single-entry build, the download
// and the clear say "downloadFapmask"; the full-table walk says "fapMask".
enum class GatingSite { downloadFapmask, fapMask };

// The applicable mask, or nothing (after the trace) when it is empty.
HWTABLES_API std::optional<Pelcar::Fapmask> gateFapmask(Pelcar::Fapmask const& applicable,
                                           Tessar::HwShadowKey hwShadowKey,
                                           Pelcar::Fapmask const& requested,
                                           Vorl::TraceHandle const& trace, GatingSite site);

}  // namespace Framework
