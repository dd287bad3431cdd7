// Named trace handles with a per-handle level mask (levels 0..9).
//
// A level-n trace is formatted and written only when bit n of the handle's mask is
// set; VORL_TRACE tests the bit before it evaluates or formats anything, so a trace
// that is off costs one relaxed load. Handles live for the whole process: the
// registry hands out stable references and never deletes a handle.
//
// Masks come from the environment at first use (HWTABLES_TRACE, see README) or from
// traceConfigIs(). Output goes to stderr, to the file named by HWTABLES_TRACE_FILE, or
// to a sink installed by traceSinkIs() (tests use that to read traces back).
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include "platform/plugin/Export.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "platform/vorl/String.h"

namespace Vorl {

class HWTABLES_API TraceHandle {
 public:
  static constexpr int kMaxLevel = 9;

  explicit TraceHandle(String name, std::uint32_t mask = 0) : name_(std::move(name)), mask_(mask) {}
  TraceHandle(TraceHandle const&) = delete;
  TraceHandle& operator=(TraceHandle const&) = delete;

  String const& name() const { return name_; }
  std::uint32_t mask() const { return mask_.load(std::memory_order_relaxed); }
  void maskIs(std::uint32_t mask) { mask_.store(mask, std::memory_order_relaxed); }
  bool enabled(int level) const {
    return level >= 0 && level <= kMaxLevel && ((mask() >> level) & 1u) != 0;
  }

  // Writes an already formatted trace line; callers normally use VORL_TRACE.
  void emit(int level, std::string_view text) const;

  template <class... Args>
  void trace(int level, fmt::format_string<Args...> format, Args&&... args) const {
    if (!enabled(level)) return;
    emit(level, fmt::format(format, std::forward<Args>(args)...));
  }

 private:
  String name_;
  std::atomic<std::uint32_t> mask_;
};

// The process-wide handle of that name, created with its configured mask on first use.
HWTABLES_API TraceHandle& traceHandle(std::string_view name);

// Parses "Pattern=levels[,Pattern=levels...]": a pattern may end in '*'; levels are
// digits and ranges ("0-9", "3,8" is two entries "A=3,A=8"). Applies to existing
// handles and to handles created later; later entries win. Throws
// Vorl::RangeException on malformed text and changes nothing then.
HWTABLES_API void traceConfigIs(std::string_view config);

// Receives every emitted trace instead of the default writer; an empty function
// restores the default.
using TraceSink = std::function<void(std::string_view handle, int level, std::string_view text)>;
HWTABLES_API void traceSinkIs(TraceSink sink);

}  // namespace Vorl

// Formats and writes only when the level is on; arguments are not evaluated otherwise.
#define VORL_TRACE(handle, level, ...)                             \
  do {                                                             \
    ::Vorl::TraceHandle const& vorlTraceHandle_ = (handle);        \
    if (vorlTraceHandle_.enabled(level)) {                         \
      vorlTraceHandle_.emit((level), ::fmt::format(__VA_ARGS__));  \
    }                                                              \
  } while (0)
