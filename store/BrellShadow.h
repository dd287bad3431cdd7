// A shadow of a store in a reader process: Brell::BrellShadow (store type 1).
//
// A shadow reads a store written by another process without walking the shared chains
// for every lookup: it keeps a local index of every key (KeyShadowStore), kept current
// by the writer's change notifications (Vanquo::VanquoReader), reports every change it
// learns of through the owner's Mem::Notify (ShadowEvents.h says which, and from when),
// and answers lookups from that index, reading values from shared memory by slot.
//
// Driving it. A reader process calls initialize() once and then, in its loop,
//     while (running) shadow.processNotifications(std::chrono::milliseconds(500));
// which waits (futex, no spinning) at most the timeout for news, handles what was
// published, runs a pending pass in slices of yieldTime, and notices the writer
// leaving (detached, killed) or a new one taking over. True when it did something.
//
// Passes. A new shadow, one the writer lapped (notifications lost), one that finds another
// writer and one whose change could not be placed re-read every slot (changed keys reported,
// gone keys reported removed); when the store's files go away every key is flushed. A
// PassListener hears a pass start (why; the last writer sequence it accounts for) and end.
//
// States (state(); processNotifications does what the state asks, in one switch):
//   detached    not initialised, or detached: nothing to do;
//   paused      notifyingIs(false): lookups answer, nothing is read;
//   passing     a synchronisation or flush pass runs, a slice per call;
//   following   a live writer's notifications are handled as they come;
//   writerless  no writer: waits for one, or for the store's files to go.
// Transitions: initialize -> passing; passing -> following (the pass ends with a
// writer) or writerless (it ends without one, or the writer left and the pass was
// abandoned); following -> passing (ring lapped, a change not placed) or writerless
// (writer left or replaced); writerless -> passing (a writer found, or a ring one
// left behind: catch up; the files removed: flush); detach -> detached from anywhere.
//
// Thread-safety: one thread (the one that processes notifications) per shadow.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "store/BrellInterface.h"
#include "store/BrellReader.h"
#include "store/Debug.h"
#include "store/NotificationBatch.h"
#include "store/Notify.h"
#include "store/ShadowEvents.h"
#include "store/ShadowStore.h"
#include "store/StoreFiles.h"
#include "store/Syncer.h"
#include "store/VanquoReader.h"

namespace Brell {

template <StoreTraits T>
class BrellShadow : public BrellInterface<T>, private Syncer::Client {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;
  using Reader = BrellReader<T>;
  using Ring = Vanquo::VanquoReader<Vanquo::BasicSlot>;
  using Store = KeyShadowStore<T>;
  using CorruptionHandler = typename ShadowEvents<Key, Value>::CorruptionHandler;

  // Slots re-read per step of a pass between time checks; notifications per ring read.
  static constexpr std::size_t kSyncStep = 1024;
  static constexpr std::size_t kReadBatch = 4096;

  BrellShadow(std::string name, std::string rootPath, Mem::Notify<Key, Value> notify = {})
      : name_(std::move(name)),
        rootPath_(std::move(rootPath)),
        brell_(std::make_unique<Reader>(name_, rootPath_)),
        vanquo_(rootPath_),
        syncer_(*this),
        store_(*brell_, vanquo_, rootPath_, counters_),
        events_(std::move(notify)) {}

  ~BrellShadow() override {
    try {
      detach(true);
    } catch (...) {
      // Destructors never throw.
    }
  }

  // --- life cycle --------------------------------------------------------------------
  bool initialize(std::string const& event) override {
    if (this->initialized_) return true;
    try {
      return doInitialize(event);
    } catch (Vorl::CorruptionDetectedException const& error) {
      corruptionDetected(error.what());
      return false;
    }
  }

  void detach(bool force) override {
    if (!this->initialized_) return;
    if (syncer_.mode() == Syncer::Mode::flush) {
      ASIC_GRACEFUL_CHECK(force, "expected only forced detach during asynchronous flush");
    }
    syncer_.stop();
    vanquo_.detach();
    brell_->detach(force);
    store_.disable();
    store_.notifyIs(nullptr);
    connected_ = false;
    this->initialized_ = false;
    events_.mountStatusIs(MountStatus::unmounted);
  }

  bool validate() override { return this->initialized_ && brell_->validate(); }
  bool validateFiles() override { return validate(); }
  void cleanup() override {}

  enum class State : std::uint8_t { detached, paused, passing, following, writerless };

  State state() const {
    if (!this->initialized_) return State::detached;
    if (!notifying_) return State::paused;
    if (syncer_.busy()) return State::passing;
    return connected_ ? State::following : State::writerless;
  }

  // Waits at most `timeout` for news and handles it (see the header comment). True
  // when anything happened: notifications handled, a synchronisation step, a
  // disconnect or a reconnect.
  bool processNotifications(std::chrono::milliseconds timeout) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    bool progress = false;
    try {
      for (;;) {
        Step step = Step::idle;
        switch (state()) {
          case State::detached:
          case State::paused:
            break;
          case State::passing:
            step = runPassSlice();
            break;
          case State::following:
            step = follow(deadline, progress);
            break;
          case State::writerless:
            step = awaitWriter(deadline, progress);
            break;
        }
        if (step == Step::idle) return progress;
        if (step == Step::done) return true;
        progress = progress || step == Step::progressed;
      }
    } catch (Vorl::CorruptionDetectedException const& error) {
      corruptionDetected(error.what());
      return true;
    }
  }

  // --- Syncer::Client and the shadow's own events -------------------------------------
  // One notification: slot index and the writer's sequence (0 during a pass).
  bool doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool flag) override {
    bool handled = store_.doSlot(slotIndex, sequence, flag);
    if (!handled) ++counters_.failedNotifications;
    return handled;
  }

  void doFlushSlot(std::uint32_t slotIndex) override {
    store_.doFlushSlot(slotIndex, events_.reporting());
  }

  void syncComplete(std::uint64_t sequence) override {
    // `sequence` is the ring head the pass caught up to; the listener hears the last
    // sequence the pass accounts for, as it did when the pass started.
    if (passListener_.completed) passListener_.completed(handlingSequence_);
    ++counters_.syncs;
    VORL_TRACE(Debug::shadow(), kDebugLevel, "Synchronization complete, seq:{}", sequence);
    // From the first completion on every change is reported; a shadow detached and
    // initialised again needs its callbacks handed to the store once more.
    events_.startReporting();
    store_.notifyIs(events_.notify());
    events_.mountStatusIs(MountStatus::synced);
    handleQuiesced(!vanquo_.pending());
  }

  void flushComplete() override {
    ++counters_.flushes;
    VORL_TRACE(Debug::shadow(), kDebugLevel, "Flush complete");
    if (passListener_.completed) passListener_.completed(handlingSequence_);
  }

  // The writer detached, died, or a new one replaced it. The local index stays (the
  // store's files are still readable); the next processNotifications looks for a
  // writer and resynchronises with it.
  void handleDisconnect(Vanquo::WriterState state) override {
    ASIC_GRACEFUL_CHECK(notifying_,
                        "disconnected while kick processing is disabled, syncer mode:{} done:{}",
                        toString(syncer_.mode()), syncer_.done());
    VORL_TRACE(Debug::shadow(), kDebugLevel, "{} writer {} ({})", rootPath_,
               vanquo_.writer().toString(), Vanquo::toString(state));
    ++counters_.disconnects;
    lastDisconnect_ = state;
    // A writer that leaves while a synchronisation pass is under way, or before its
    // last notifications were handled, leaves changes this shadow has not seen. The
    // ring it leaves behind is the one already followed, so reconnect() would not
    // catch up from it: forget it, and the next reconnect catches up from the slots.
    if (syncer_.busy() || vanquo_.pending()) followedRing_ = Ring::Identity{};
    syncer_.stop();
    vanquo_.detach();
    connected_ = false;
    handleQuiesced(false);
  }

  void handleQuiesced(bool quiesced) { events_.quiescedIs(quiesced); }

  // Whether processNotifications does its work (on by default). Refused before
  // initialize().
  bool notifyingIs(bool notifying) {
    VORL_TRACE(Debug::shadow(), kDebugLevel, "{} notifying:{} initialized:{}", name_, notifying,
               this->initialized_);
    if (this->initialized_) notifying_ = notifying;
    return this->initialized_;
  }
  bool notifying() const { return notifying_; }

  // The longest a synchronisation runs inside one processNotifications call.
  void yieldTimeIs(double seconds) {
    yieldTime_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::max(seconds, 0.001)));
  }

  // Remaps the shared tables when the writer resized them; true when it did.
  bool resize() { return brell_->resize(); }

  void corruptionDetected(std::string const& reason) {
    VORL_TRACE(Debug::shadow(), kDebugLevel, "corruption detected: {}", reason);
    events_.corruptionDetected(reason);
  }
  void corruptionHandlerIs(CorruptionHandler handler) {
    events_.corruptionHandlerIs(std::move(handler));
  }
  std::string const& corruptionReason() const { return events_.corruptionReason(); }

  // Who hears of whole-table passes (see PassListener in Syncer.h).
  void passListenerIs(PassListener listener) { passListener_ = std::move(listener); }

  // The writer sequence of the notification being handled now (during a pass, the last
  // one the pass accounts for); a callback may account for several changes of its slot
  // (NotificationBatch.h).
  std::uint64_t handlingSequence() const { return handlingSequence_; }
  // The last writer sequence this shadow has handled (or a pass has accounted for).
  std::uint64_t position() const { return vanquo_.sequence(); }
  bool passRunning() const { return syncer_.busy(); }

  void notifyIs(Mem::Notify<Key, Value> notify) { events_.notifyIs(std::move(notify)); }

  // --- lookups -----------------------------------------------------------------------
  // Inlined where the caller knows the shadow's type (a table over it): the common case
  // is a few dozen instructions, a call would add a tenth. The store is initialised
  // exactly while this shadow is, and its lookup answers nothing otherwise.
  [[gnu::always_inline]] Value const* lookup(Key const& key, bool& found, Value* buffer) final {
    Value* target = buffer != nullptr ? buffer : &valueBuffer_;
    found = store_.lookup(key, *target);
    return found ? target : nullptr;
  }

  bool first(Value& value, IterHint& hint) override {
    std::uint32_t at = 0;
    if (!this->initialized_ || !store_.first(0, value, at)) return false;
    hint = IterHint{at, 0, nullptr};
    return true;
  }

  bool next(Key const& key, Value& value, IterHint& hint) override {
    std::uint32_t at = 0;
    Key const after = key;  // the caller may pass the key inside `value`
    if (!this->initialized_ || !store_.next(after, value, at)) return false;
    hint = IterHint{at, 0, nullptr};
    return true;
  }

  std::uint64_t getCacheVersionAnchor(Key const& key) const {
    return store_.getCacheVersionAnchor(key);
  }
  bool validateVersionAnchor(Key const& key, std::uint64_t anchor) const {
    return store_.validateVersionAnchor(key, anchor);
  }

  // --- queries ---------------------------------------------------------------------------
  std::uint32_t members() const override { return store_.members(); }
  std::uint32_t buckets() const override { return store_.buckets(); }
  std::uint32_t minSize() const override { return brell_->minSize(); }
  std::uint32_t maxSize() const override { return brell_->maxSize(); }
  std::uint32_t capacity() const override { return brell_->capacity(); }
  StoreType type() const override { return StoreType::shadow; }
  MountStatus mountStatus() const override { return events_.mountStatus(); }
  std::string brellName() const override { return name_; }
  std::string rootPath() const override { return rootPath_; }
  SharedMem::PyrelId pyrelId() const override { return brell_->pyrelId(); }
  std::string dumpHeaders() const override { return brell_->dumpHeaders(); }
  bool quiesced() const override { return events_.quiesced(); }
  std::uint64_t sequence(int /*priority*/) const { return vanquo_.sequence(); }

  bool connected() const { return connected_; }
  Vanquo::WriterState lastDisconnect() const { return lastDisconnect_; }
  ReaderCounters readerCounters() const override { return brell_->counters(); }
  ShadowCounters const& counters() const { return counters_; }
  Store const& shadowStore() const { return store_; }
  Ring const& ring() const { return vanquo_; }
  Syncer const& syncer() const { return syncer_; }
  std::string const& lastError() const { return lastError_; }

 private:
  // What a state's handler tells processNotifications: look at the (maybe new) state
  // again, having done something or not; or return, having done something (done) or
  // only what earlier steps did (idle).
  enum class Step : std::uint8_t { again, progressed, idle, done };

  // passing: one slice of at most yieldTime_; the caller gets control back between
  // slices, so a shadow of a large store keeps answering lookups.
  Step runPassSlice() {
    auto const sliceEnd = std::chrono::steady_clock::now() + yieldTime_;
    while (syncer_.busy() && std::chrono::steady_clock::now() < sliceEnd) syncer_.run(kSyncStep);
    return syncer_.busy() ? Step::done : Step::progressed;
  }

  // following: handles what the ring holds; with nothing new, waits for it until the
  // deadline and then checks that the writer is still there and the store its own.
  Step follow(std::chrono::steady_clock::time_point deadline, bool progress) {
    if (drain() > 0) return Step::done;
    if (syncer_.busy()) return Step::again;
    if (progress) return Step::done;
    auto const now = std::chrono::steady_clock::now();
    if (now < deadline && vanquo_.wait(deadline - now)) return Step::again;
    if (syncer_.checkWriter(vanquo_) != Vanquo::WriterState::attached) return Step::done;
    auto identity = store_.mappedPyrel();
    if (identity && *identity != brell_->pyrelId()) {
      handleDisconnect(Vanquo::WriterState::replaced);
      return Step::done;
    }
    handleQuiesced(true);
    return Step::idle;
  }

  // writerless: looks for a writer (or a ring one left behind) and, while there is
  // none, flushes the keys once the store's files are gone; otherwise sleeps in short
  // steps until the deadline.
  Step awaitWriter(std::chrono::steady_clock::time_point deadline, bool progress) {
    if (reconnect()) return Step::progressed;
    bool storeGone =
        !SharedMem::MappedFile::inDirectory(rootPath_, SharedMem::PyrelFile::kFileName).exists();
    if (storeGone && store_.members() > 0) {
      VORL_TRACE(Debug::shadow(), kDebugLevel, "store files of {} removed, flushing", rootPath_);
      startPass(PassReason::removed);
      return Step::again;
    }
    auto const now = std::chrono::steady_clock::now();
    if (progress || now >= deadline) return Step::idle;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        deadline - now, std::chrono::milliseconds(10)));
    return Step::again;
  }

  bool doInitialize(std::string const& event) {
    if (!brell_->initialize(event)) {
      VORL_TRACE(Debug::shadow(), kDebugLevel, "brell.initialize() Failed");
      lastError_ = brell_->lastError();
      return false;
    }
    auto fail = [this](std::string error) {
      lastError_ = std::move(error);
      vanquo_.detach();
      brell_->detach(true);
      return false;
    };
    if (!vanquo_.initialize() || vanquo_.pyrel() != brell_->pyrelId()) {
      VORL_TRACE(Debug::shadow(), kDebugLevel, "vanquo_.initialize() Failed");
      return fail(vanquo_.attached()
                      ? fmt::format("notification ring of pyrelId:{} but store pyrelId:{}",
                                    vanquo_.pyrel().toString(), brell_->pyrelId().toString())
                      : vanquo_.lastError());
    }
    if (!store_.initialize()) return fail("shadow store initialize failed");
    this->initialized_ = true;
    connected_ = true;
    followedRing_ = vanquo_.identity();
    events_.quiescedIs(false);
    lastError_.clear();
    events_.mountStatusIs(MountStatus::mounted);
    startPass(PassReason::start);
    return true;
  }

  // A pass over every slot the shadow or the shared table has: a synchronisation,
  // which catches up to the ring's current head (the changes after it arrive as
  // notifications), or, when the store's files are gone, a flush.
  void startPass(PassReason reason) {
    if (reason == PassReason::removed) {
      handlingSequence_ = vanquo_.sequence();
      syncer_.startFlush(store_.numSlots());
    } else {
      std::uint64_t point = vanquo_.restartAtHead();
      handlingSequence_ = point - 1;
      brell_->resize();
      syncer_.startSync(std::max(store_.numSlots(), brell_->capacity()), point);
    }
    ++counters_.passes;
    VORL_TRACE(Debug::shadow(), kDebugLevel, "{} pass of {} up to sequence:{}", toString(reason),
               rootPath_, handlingSequence_);
    if (passListener_.started) passListener_.started(reason, handlingSequence_);
  }

  // Handles the notifications published so far; a lapped reader, a refused
  // notification or a change that could not be placed starts a resynchronisation.
  // Returns how many notifications were read (plus one for a resynchronisation).
  std::size_t drain() {
    batch_.clear();
    auto result =
        vanquo_.read([&](Vanquo::BasicSlot const& slot) { batch_.add(slot); }, kReadBatch);
    counters_.notifications += batch_.size();
    bool failed = !batch_.handleLastOfEachSlot(
        [&](Vanquo::BasicSlot const& slot) {
          handlingSequence_ = slot.sequence;
          return doSlot(slot.slotIndex, slot.sequence, true);
        },
        counters_.merged);
    if (result == Ring::Read::overrun || failed) {
      if (result == Ring::Read::overrun) ++counters_.overruns;
      VORL_TRACE(Debug::shadow(), kDebugLevel,
                 "lost notifications after sequence:{}, resynchronizing {}", vanquo_.sequence(),
                 rootPath_);
      return resynchronize(PassReason::lapped) + batch_.size();
    }
    if (store_.takeResyncRequest()) {
      ++counters_.rechecks;
      return resynchronize(PassReason::recheck) + batch_.size();
    }
    if (!batch_.empty()) handleQuiesced(!vanquo_.pending());
    return batch_.size();
  }

  std::size_t resynchronize(PassReason reason) {
    startPass(reason);
    handleQuiesced(false);
    return 1;
  }

  // Attaches to the writer that now owns the store, if any, and resynchronises.
  // A writer may also have come and gone while this shadow looked elsewhere: its
  // ring (a new one, its writer no longer attached) tells so, and the shadow then
  // catches up with the files it left without waiting for the next writer.
  bool reconnect() {
    if (!vanquo_.initialize(false)) return false;
    bool writer = vanquo_.writerState() == Vanquo::WriterState::attached;
    bool newRing = !(vanquo_.identity() == followedRing_);
    if (!writer && !newRing) {
      vanquo_.detach();
      return false;
    }
    auto reader = std::make_unique<Reader>(name_, rootPath_);
    if (!reader->initialize("reconnect") || reader->pyrelId() != vanquo_.pyrel()) {
      vanquo_.detach();
      return false;
    }
    brell_ = std::move(reader);
    store_.readerIs(*brell_);
    store_.remapPyrel();
    store_.reseed(brell_->hashSeed());
    followedRing_ = vanquo_.identity();
    ++(writer ? counters_.reconnects : counters_.catchUps);
    connected_ = writer;
    VORL_TRACE(Debug::shadow(), kDebugLevel, "{} {} writer {} pyrelId:{}", rootPath_,
               writer ? "reconnected to" : "catching up after the departed",
               vanquo_.writer().toString(), brell_->pyrelId().toString());
    startPass(PassReason::writer);
    return true;
  }

  std::string name_;
  std::string rootPath_;
  std::unique_ptr<Reader> brell_;
  Ring vanquo_;
  Syncer syncer_;
  ShadowCounters counters_;
  Store store_;
  ShadowEvents<Key, Value> events_;
  bool connected_ = false;
  bool notifying_ = true;
  std::chrono::steady_clock::duration yieldTime_ = std::chrono::milliseconds(50);
  Vanquo::WriterState lastDisconnect_ = Vanquo::WriterState::attached;
  Ring::Identity followedRing_;
  PassListener passListener_;
  std::uint64_t handlingSequence_ = 0;
  NotificationBatch batch_;
  Value valueBuffer_{};
  std::string lastError_;
};

}  // namespace Brell
