// Trace handles and small shared pieces of the store.
//
// The store traces at level 5 (kDebugLevel) through these named handles:
//   "BrellWriter"   writer life cycle and operations (attach, wipe, new/existing)
//   "SlotTable"     slot file: growth, shrink, formatting, compaction moves
//   "WriterHashMap" bucket split and merge, writer iteration
//   "BucketTable"   bucket file attach and validation
//   "BrellReader"   reader life cycle, remaps, reader iteration
//   "ReaderHashMap" reader lookups that restart or meet damage
//   "Validator"     validation walks and their failures
//   "BrellMap"      map life cycle; "BrellTemp" local temporary writers
//   "BrellShadow"   shadow life cycle, synchronisation, disconnects
//   "ShadowStore"   a shadow's notifications, growth and shrink of its slots
//   "ShadowHashMap" a shadow's local index: inserts, relinks, bucket resizes
// Turn them on with HWTABLES_TRACE="Brell*=5,SlotTable=5,...".
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>

#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Scheduler.h"
#include "platform/vorl/Trace.h"

namespace Brell {

inline constexpr int kDebugLevel = 5;

namespace Debug {
inline Vorl::TraceHandle const& writer() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("BrellWriter");
  return handle;
}
inline Vorl::TraceHandle const& slotTable() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("SlotTable");
  return handle;
}
inline Vorl::TraceHandle const& writerHashMap() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("WriterHashMap");
  return handle;
}
inline Vorl::TraceHandle const& bucketTable() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("BucketTable");
  return handle;
}
inline Vorl::TraceHandle const& reader() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("BrellReader");
  return handle;
}
inline Vorl::TraceHandle const& readerHashMap() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("ReaderHashMap");
  return handle;
}
inline Vorl::TraceHandle const& validator() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("Validator");
  return handle;
}
inline Vorl::TraceHandle const& map() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("BrellMap");
  return handle;
}
inline Vorl::TraceHandle const& temp() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("BrellTemp");
  return handle;
}
inline Vorl::TraceHandle const& shadow() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("BrellShadow");
  return handle;
}
inline Vorl::TraceHandle const& shadowStore() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("ShadowStore");
  return handle;
}
inline Vorl::TraceHandle const& shadowHashMap() {
  static Vorl::TraceHandle const& handle = Vorl::traceHandle("ShadowHashMap");
  return handle;
}
}  // namespace Debug

// A fixed-size table with every slot occupied was asked for a new key.
class HWTABLES_API TableFullException : public Vorl::Exception {
 public:
  using Vorl::Exception::Exception;
};

// Counters of a writer. Their meaning is informational; the store only increments.
struct HWTABLES_API WriterCounters {
  std::uint64_t allocations = 0;
  std::uint64_t removals = 0;
  std::uint64_t rewrites = 0;
  std::uint64_t directWrites = 0;
  std::uint64_t directCommits = 0;
  std::uint64_t growths = 0;
  std::uint64_t shrinks = 0;
  std::uint64_t remaps = 0;
  std::uint64_t moves = 0;
  std::uint64_t bucketGrowths = 0;
  std::uint64_t bucketShrinks = 0;
  std::uint64_t lastBucketResizeTicks = 0;
  std::uint64_t largestBucketResizeTicks = 0;
  std::uint64_t criticalTaskRuns = 0;
};

// Counters of a reader.
struct HWTABLES_API ReaderCounters {
  std::uint64_t lookups = 0;
  std::uint64_t retries = 0;
  std::uint64_t lookasideReads = 0;
  std::uint64_t remaps = 0;
  std::uint64_t bucketRemaps = 0;
  std::uint64_t resizeRetries = 0;
};

// Counters of a shadow (reader counters of its notification side).
struct HWTABLES_API ShadowCounters {
  std::uint64_t notifications = 0;        // notifications read from the ring
  std::uint64_t merged = 0;               // handled with a later one of the same slot
  std::uint64_t passes = 0;               // synchronisation and flush passes started
  std::uint64_t rechecks = 0;             // passes asked for by a change not placed in time
  std::uint64_t failedNotifications = 0;  // refused: the sequence may have been tombstoned
  std::uint64_t overruns = 0;             // fell behind the ring
  std::uint64_t syncs = 0;                // completed synchronisations
  std::uint64_t flushes = 0;              // completed flushes
  std::uint64_t disconnects = 0;          // the writer went away
  std::uint64_t reconnects = 0;           // a (new) writer was found again
  std::uint64_t catchUps = 0;             // resynchronised with a writer that had left
  std::uint64_t growths = 0;              // shadow slot array grown
  std::uint64_t shrinks = 0;              // shadow slot array shrunk
  std::uint64_t writes = 0;               // local index writes
  std::uint64_t relinks = 0;              // keys found moved to another slot
  std::uint64_t bucketGrowths = 0;
  std::uint64_t bucketShrinks = 0;
};

// Runs the process's critical-priority tasks every 0.01 s worth of Rdtsc ticks during
// long passes, when enabled. check() costs one counter read when it is not due.
class HWTABLES_API TimeSlicer {
 public:
  TimeSlicer(bool enabled, std::uint64_t* runs)
      : enabled_(enabled),
        interval_(static_cast<std::uint64_t>(0.01 * Vorl::Rdtsc::calibrationRate())),
        last_(enabled ? Vorl::Rdtsc::now() : 0),
        runs_(runs) {}

  void check() {
    if (!enabled_) return;
    std::uint64_t now = Vorl::Rdtsc::now();
    if (now - last_ < interval_) return;
    Vorl::Scheduler::runCriticalTasks();
    if (runs_) ++*runs_;
    last_ = Vorl::Rdtsc::now();
  }

 private:
  bool enabled_;
  std::uint64_t interval_;
  std::uint64_t last_;
  std::uint64_t* runs_;
};

}  // namespace Brell
