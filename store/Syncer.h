// The synchroniser of a shadow: Brell::Syncer.
//
// A shadow learns of changes one slot at a time from the writer's notifications,
// but three moments need a pass over the whole slot table instead:
//   - synchronisation: a new shadow, a shadow that fell behind the notification ring
//     (notifications were lost), and a shadow that found a new writer re-read every
//     slot (doSlot with no sequence) and then continue with the notifications from
//     the ring head noted before the pass. Ends with syncComplete(sequence).
//   - flush: when the store goes away, every shadow slot is flushed (doFlushSlot),
//     which removes its key and reports it. Ends with flushComplete().
//   - disconnect: the writer detached, died or was replaced; the client hears of it
//     through handleDisconnect() (checkWriter()).
// Passes run in slices (run(budget)), so a shadow of a large store keeps answering
// lookups and can yield to its caller between slices.
//
// Thread-safety: the shadow's thread only.
#pragma once

#include "platform/plugin/Export.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "store/VanquoReader.h"

namespace Brell {

// Why a shadow runs a pass over the whole slot table.
enum class PassReason {
  start,    // the first synchronisation after initialize()
  lapped,   // the writer lapped the ring: notifications were lost
  recheck,  // a change could not be placed (see ShadowStore::settleDisplaced)
  writer,   // another writer took over, or one came and went unseen
  removed,  // the store's files were removed: every key is flushed
};

// Who hears of the passes of a shadow (e.g. a tool that reports what changed).
// started: a pass begins; `sequence` is the last writer sequence it accounts for
// (notifications after it follow the pass). completed: the pass ended; the shadow
// now holds the store's contents as of `sequence` or later. A pass may be abandoned
// (the writer went away) and another started without a completion in between.
struct HWTABLES_API PassListener {
  std::function<void(PassReason reason, std::uint64_t sequence)> started;
  std::function<void(std::uint64_t sequence)> completed;
};

class HWTABLES_API Syncer {
 public:
  enum class Mode { idle, synchronize, flush };

  // What the syncer drives.
  class Client {
   public:
    virtual ~Client() = default;
    // One slot re-read; the sequence is 0 (none) during a pass.
    virtual bool doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool flag) = 0;
    virtual void doFlushSlot(std::uint32_t slotIndex) = 0;
    virtual void syncComplete(std::uint64_t sequence) = 0;
    virtual void flushComplete() = 0;
    virtual void handleDisconnect(Vanquo::WriterState state) = 0;
  };

  explicit Syncer(Client& client) : client_(&client) {}

  // Starts a synchronisation over slots [0, slotCount); `sequence` is the ring
  // position the pass catches up to (the head noted before it).
  void startSync(std::uint32_t slotCount, std::uint64_t sequence) {
    mode_ = Mode::synchronize;
    cursor_ = 0;
    end_ = slotCount;
    sequence_ = sequence;
    ++passes_;
  }
  void startFlush(std::uint32_t slotCount) {
    mode_ = Mode::flush;
    cursor_ = 0;
    end_ = slotCount;
    ++passes_;
  }
  // Abandons a pass (the shadow detaches).
  void stop() { mode_ = Mode::idle; }

  // Works through at most `budget` slots of the current pass; true when the pass
  // completed now (its completion event was delivered).
  bool run(std::size_t budget) {
    if (mode_ == Mode::idle) return false;
    std::uint32_t stop =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(end_, std::uint64_t{cursor_} + budget));
    for (; cursor_ < stop; ++cursor_) {
      if (mode_ == Mode::synchronize) {
        client_->doSlot(cursor_, 0, true);
      } else {
        client_->doFlushSlot(cursor_);
      }
      if (mode_ == Mode::idle) return false;  // the client stopped the pass
    }
    if (cursor_ < end_) return false;
    Mode finished = mode_;
    mode_ = Mode::idle;
    if (finished == Mode::synchronize) {
      client_->syncComplete(sequence_);
    } else {
      client_->flushComplete();
    }
    return true;
  }

  // Asks the ring whether its writer is still there; tells the client when not.
  // Returns the state found.
  template <class Slot>
  Vanquo::WriterState checkWriter(Vanquo::VanquoReader<Slot> const& ring) {
    Vanquo::WriterState state = ring.writerState();
    if (state != Vanquo::WriterState::attached) client_->handleDisconnect(state);
    return state;
  }

  Mode mode() const { return mode_; }
  bool busy() const { return mode_ != Mode::idle; }
  bool done() const { return mode_ == Mode::idle; }
  std::uint64_t passes() const { return passes_; }

 private:
  Client* client_;
  Mode mode_ = Mode::idle;
  std::uint32_t cursor_ = 0;
  std::uint32_t end_ = 0;
  std::uint64_t sequence_ = 0;
  std::uint64_t passes_ = 0;
};

inline char const* toString(PassReason reason) {
  switch (reason) {
    case PassReason::start:
      return "start";
    case PassReason::lapped:
      return "lapped";
    case PassReason::recheck:
      return "recheck";
    case PassReason::writer:
      return "writer";
    case PassReason::removed:
      return "removed";
  }
  return "unknown";
}

inline char const* toString(Syncer::Mode mode) {
  switch (mode) {
    case Syncer::Mode::idle:
      return "idle";
    case Syncer::Mode::synchronize:
      return "synchronize";
    case Syncer::Mode::flush:
      return "flush";
  }
  return "unknown";
}

}  // namespace Brell
