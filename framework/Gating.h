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

#include "platform/hardware/FapRevision.h"
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

// The texts of a download's record and traces ("fapRevision: {}, downloadFapmask: {}").
// A table's download asks every shadow with the same mask and revision, so they are
// made once per thread and reused while the mask and revision stay the same; the
// references stay valid until the next call on the same thread.
struct DownloadTexts {
  Vorl::String const& revision;
  Vorl::String const& mask;
};
HWTABLES_API DownloadTexts downloadTexts(Hardware::Sand::FapRevision const& fapRevision,
                                         Pelcar::Fapmask const& downloadFapmask);

// The record and traces a shadow's download starts with, the same for every kind of
// shadow: the Glimmet record, the text trace on the shadow's change handle (when the
// kind has one: `changeTrace`), then " fapType: ..." on its const handle.
HWTABLES_API void traceDownload(Vorl::String const& fapType,
                                Hardware::Sand::FapRevision const& fapRevision,
                                Pelcar::Fapmask const& downloadFapmask,
                                Vorl::TraceHandle const& constTrace,
                                Vorl::TraceHandle const* changeTrace);

}  // namespace Framework
