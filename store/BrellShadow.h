// A shadow of a store in a reader process: Brell::BrellShadow (store type 1).
//
// A shadow reads a store written by another process without walking the shared hash
// chains for every lookup: it keeps a local index of every key (KeyShadowStore) that
// the writer's change notifications (Vanquo::VanquoReader) keep current, and reports
// every change it learns of through the collection's Mem::Notify (keyChanged for a
// key added or changed, keyRemoved for a key removed, mountStatusChanged when the
// mount status moves, quiescedChanged when it catches up or falls behind).
//
// Driving it. A reader process calls initialize() once and then, in its loop,
//
//     while (running) shadow.processNotifications(std::chrono::milliseconds(500));
//
// processNotifications(timeout) waits (futex, no spinning) at most `timeout` for
// news, handles every notification published so far, runs pending synchronisation
// in slices of yieldTime, and notices the writer going away (detached, killed) or a
// new writer taking over (then it re-attaches and resynchronises: keys that changed
// meanwhile are reported, keys gone are reported removed). True when it did
// something. Lookups (lookup, first, next) may be made between calls; they answer
// from the local index and read values from shared memory by slot index.
//
// Passes. A new shadow, one the writer lapped (notifications were lost), one that
// finds another writer, and one whose change could not be placed re-read every slot
// (a synchronisation pass); when the store's files go away every key is flushed. A
// PassListener hears when a pass starts (why, and the last writer sequence it
// accounts for) and ends; a tool that reports changes prints the differences then.
// Notifications of one slot read together are handled once, at the last of them, and
// handlingSequence() tells a callback which writer sequence it is reporting.
//
// Mount status: 0 not initialised, 1 initialised and synchronising, 2 synchronised
// (from the first syncComplete on; key callbacks are delivered from then on), 3
// corruption detected (reported once).
//
// Life cycle: initialize (reader, ring, shadow store; then a synchronisation pass),
// notifications, disconnect / reconnect any number of times, detach.
//
// Thread-safety: one thread (the one that processes notifications) per shadow.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "store/BrellInterface.h"
#include "store/BrellReader.h"
#include "store/Debug.h"
#include "store/Notify.h"
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
  using CorruptionHandler = std::function<void(std::string const& reason)>;

  // Slots re-read per step of a synchronisation pass between time checks.
  static constexpr std::size_t kSyncStep = 1024;
  // Notifications handled per read of the ring.
  static constexpr std::size_t kReadBatch = 4096;

  BrellShadow(std::string name, std::string rootPath, Mem::Notify<Key, Value> notify = {})
      : name_(std::move(name)),
        rootPath_(std::move(rootPath)),
        brell_(std::make_unique<Reader>(name_, rootPath_)),
        vanquo_(rootPath_),
        syncer_(*this),
        store_(*brell_, vanquo_, rootPath_, counters_),
        notify_(std::move(notify)) {}

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
      VORL_TRACE(Debug::shadow(), kDebugLevel, "corruption detected: {}", error.what());
      corruptionDetected(error.what());
      return false;
    }
  }

  void detach(bool force) override {
    if (!this->initialized_) {
      VORL_TRACE(Debug::shadow(), kDebugLevel, "already detached");
      return;
    }
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
    setMountStatus(MountStatus::unmounted);
  }

  bool validate() override { return this->initialized_ && brell_->validate(); }
  bool validateFiles() override { return validate(); }
  void cleanup() override {}

  // Waits at most `timeout` for news and handles it (see the header comment). True
  // when anything happened: notifications handled, a synchronisation step, a
  // disconnect or a reconnect.
  bool processNotifications(std::chrono::milliseconds timeout) {
    if (!this->initialized_ || !notifying_) return false;
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    bool progress = false;
    try {
      for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (syncer_.busy()) {
          auto sliceEnd = now + yieldTime_;
          while (syncer_.busy() && std::chrono::steady_clock::now() < sliceEnd) {
            syncer_.run(kSyncStep);
          }
          if (syncer_.busy()) return true;  // yield to the caller between slices
          progress = true;
          continue;
        }
        if (!connected_) {
          if (reconnect()) {
            progress = true;
            continue;
          }
          if (storeGone() && store_.members() > 0) {
            VORL_TRACE(Debug::shadow(), kDebugLevel, "store files of {} removed, flushing",
                       rootPath_);
            startPass(PassReason::removed);
            continue;
          }
          if (progress || now >= deadline) return progress;
          std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
              deadline - now, std::chrono::milliseconds(10)));
          continue;
        }
        if (drain() > 0) return true;
        if (syncer_.busy()) continue;
        if (progress) return true;
        if (now < deadline && vanquo_.wait(deadline - now)) continue;
        // No news within the timeout: is the writer still there, and the store its?
        if (syncer_.checkWriter(vanquo_) != Vanquo::WriterState::attached) return true;
        auto identity = store_.mappedPyrel();
        if (identity && *identity != brell_->pyrelId()) {
          handleDisconnect(Vanquo::WriterState::replaced);
          return true;
        }
        handleQuiesced(true);
        return false;
      }
    } catch (Vorl::CorruptionDetectedException const& error) {
      VORL_TRACE(Debug::shadow(), kDebugLevel, "corruption detected: {}", error.what());
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
    store_.doFlushSlot(slotIndex, keyCallbacksInstalled_);
  }

  void syncComplete(std::uint64_t sequence) override {
    sequence_ = sequence;
    // `sequence` is the ring head the pass caught up to; the listener hears the last
    // sequence the pass accounts for, as it did when the pass started.
    if (passListener_.completed) passListener_.completed(handlingSequence_);
    ++counters_.syncs;
    VORL_TRACE(Debug::shadow(), kDebugLevel, "Synchronization complete, seq:{}", sequence);
    if (!keyCallbacksInstalled_) {
      // The first completion: from now on every change is reported.
      keyCallbacksInstalled_ = true;
      store_.notifyIs(&notify_);
    }
    setMountStatus(MountStatus::synced);
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

  void handleQuiesced(bool quiesced) {
    if (quiesced == quiesced_) return;
    quiesced_ = quiesced;
    if (keyCallbacksInstalled_ && notify_.quiescedChanged) notify_.quiescedChanged(quiesced);
  }

  // Whether processNotifications does its work (on by default). Refused before
  // initialize().
  bool notifyingIs(bool notifying) {
    VORL_TRACE(Debug::shadow(), kDebugLevel, "{} notifying:{}", name_, notifying);
    if (!this->initialized_) {
      VORL_TRACE(Debug::shadow(), kDebugLevel,
                 "not allowed at this time, initialized:{} keyNotifications:{}", this->initialized_,
                 keyCallbacksInstalled_);
      return false;
    }
    notifying_ = notifying;
    return true;
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
    if (mountStatus_ == MountStatus::corrupted) return;  // reported once
    corruption_ = reason;
    setMountStatus(MountStatus::corrupted);
    if (corruptionHandler_) corruptionHandler_(reason);
  }
  void corruptionHandlerIs(CorruptionHandler handler) { corruptionHandler_ = std::move(handler); }
  std::string const& corruptionReason() const { return corruption_; }

  // Who hears of whole-table passes (see PassListener in Syncer.h).
  void passListenerIs(PassListener listener) { passListener_ = std::move(listener); }

  // The writer sequence of the notification being handled now, for a callback that
  // wants to tell which change it reports: during a pass, the last sequence the pass
  // accounts for. Notifications of one slot that arrive together are handled once,
  // at the last of them (the slot is re-read anyway), so a callback may account for
  // several changes.
  std::uint64_t handlingSequence() const { return handlingSequence_; }
  // The last writer sequence this shadow has handled (or a pass has accounted for).
  std::uint64_t position() const { return vanquo_.sequence(); }
  bool passRunning() const { return syncer_.busy(); }

  void notifyIs(Mem::Notify<Key, Value> notify) {
    notify_ = std::move(notify);
    if (keyCallbacksInstalled_) store_.notifyIs(&notify_);
  }

  // --- lookups -----------------------------------------------------------------------
  Value const* lookup(Key const& key, bool& found, Value* buffer) override {
    Value* target = buffer != nullptr ? buffer : &valueBuffer_;
    found = false;
    if (!this->initialized_) return nullptr;
    auto result = store_.lookup(key, *target);
    if (result == Store::Lookup::stale) {
      // The slot the index names no longer holds the key: freed (then the key is
      // gone) or moved by compaction before its notification arrived (then the
      // shared chains still lead to it).
      brell_->lookup(key, found, target);
      return found ? target : nullptr;
    }
    found = result == Store::Lookup::found;
    return found ? target : nullptr;
  }

  bool first(Value& value, IterHint& hint) override {
    std::uint32_t slotIndex = 0;
    if (!this->initialized_ || !store_.first(0, value, slotIndex)) return false;
    hint = IterHint{slotIndex, 0, nullptr};
    return true;
  }

  bool next(Key const& key, Value& value, IterHint& hint) override {
    std::uint32_t slotIndex = 0;
    Key const after = key;  // the caller may pass the key inside `value`
    if (!this->initialized_ || !store_.next(after, value, slotIndex)) return false;
    hint = IterHint{slotIndex, 0, nullptr};
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
  MountStatus mountStatus() const override { return mountStatus_; }
  std::string brellName() const override { return name_; }
  std::string rootPath() const override { return rootPath_; }
  SharedMem::PyrelId pyrelId() const override { return brell_->pyrelId(); }
  std::string dumpHeaders() const override { return brell_->dumpHeaders(); }
  bool quiesced() const override { return quiesced_; }
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
  bool doInitialize(std::string const& event) {
    if (!brell_->initialize(event)) {
      VORL_TRACE(Debug::shadow(), kDebugLevel, "brell.initialize() Failed");
      lastError_ = brell_->lastError();
      return false;
    }
    if (!vanquo_.initialize() || vanquo_.pyrel() != brell_->pyrelId()) {
      VORL_TRACE(Debug::shadow(), kDebugLevel, "vanquo_.initialize() Failed");
      lastError_ = vanquo_.attached()
                       ? fmt::format("notification ring of pyrelId:{} but store pyrelId:{}",
                                     vanquo_.pyrel().toString(), brell_->pyrelId().toString())
                       : vanquo_.lastError();
      vanquo_.detach();
      brell_->detach(true);
      return false;
    }
    if (!store_.initialize()) {
      lastError_ = "shadow store initialize failed";
      vanquo_.detach();
      brell_->detach(true);
      return false;
    }
    this->initialized_ = true;
    connected_ = true;
    followedRing_ = vanquo_.identity();
    quiesced_ = false;
    lastError_.clear();
    setMountStatus(MountStatus::mounted);
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
    VORL_TRACE(Debug::shadow(), kDebugLevel, "{} pass ({}) of {} up to sequence:{}",
               reason == PassReason::removed ? "flush" : "synchronization", toString(reason),
               rootPath_, handlingSequence_);
    if (passListener_.started) passListener_.started(reason, handlingSequence_);
  }

  // Handles the notifications published so far; a lapped reader, a refused
  // notification or a change that could not be placed starts a resynchronisation.
  // Returns how many notifications were read (plus one for a resynchronisation).
  std::size_t drain() {
    batch_.clear();
    auto result = vanquo_.read(
        [&](Vanquo::BasicSlot const& notification) { batch_.push_back(notification); }, kReadBatch);
    counters_.notifications += batch_.size();
    bool failed = !handleBatch();
    if (result == Ring::Read::overrun || failed) {
      if (result == Ring::Read::overrun) ++counters_.overruns;
      VORL_TRACE(Debug::shadow(), kDebugLevel,
                 "lost notifications after sequence:{}, resynchronizing {}", vanquo_.sequence(),
                 rootPath_);
      startPass(PassReason::lapped);
      handleQuiesced(false);
      return batch_.size() + 1;
    }
    if (store_.takeResyncRequest()) {
      ++counters_.rechecks;
      startPass(PassReason::recheck);
      handleQuiesced(false);
      return batch_.size() + 1;
    }
    if (!batch_.empty()) handleQuiesced(!vanquo_.pending());
    return batch_.size();
  }

  // Handles one batch read from the ring in order. A slot named more than once is
  // handled once, at its last notification: doSlot re-reads the slot, so the earlier
  // ones would find what the last finds. False when a notification was refused.
  bool handleBatch() {
    bool several = batch_.size() > 1;
    if (several) {
      lastOfSlot_.clear();
      for (std::uint32_t at = 0; at < batch_.size(); ++at) lastOfSlot_[batch_[at].slotIndex] = at;
    }
    for (std::uint32_t at = 0; at < batch_.size(); ++at) {
      auto const& notification = batch_[at];
      if (several && lastOfSlot_[notification.slotIndex] != at) {
        ++counters_.merged;
        continue;
      }
      handlingSequence_ = notification.sequence;
      if (!doSlot(notification.slotIndex, notification.sequence, true)) return false;
    }
    return true;
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
    if (writer) {
      ++counters_.reconnects;
      connected_ = true;
      VORL_TRACE(Debug::shadow(), kDebugLevel, "{} reconnected to writer {} pyrelId:{}", rootPath_,
                 vanquo_.writer().toString(), brell_->pyrelId().toString());
    } else {
      ++counters_.catchUps;
      VORL_TRACE(Debug::shadow(), kDebugLevel,
                 "{} was written by a writer that has left (pyrelId:{}), catching up", rootPath_,
                 brell_->pyrelId().toString());
    }
    startPass(PassReason::writer);
    return true;
  }

  bool storeGone() const {
    return !SharedMem::MappedFile::inDirectory(rootPath_, SharedMem::PyrelFile::kFileName).exists();
  }

  void setMountStatus(MountStatus status) {
    if (status == mountStatus_) return;
    mountStatus_ = status;
    if (notify_.mountStatusChanged &&
        (keyCallbacksInstalled_ || status == MountStatus::corrupted)) {
      notify_.mountStatusChanged();
    }
  }

  std::string name_;
  std::string rootPath_;
  std::unique_ptr<Reader> brell_;
  Ring vanquo_;
  Syncer syncer_;
  ShadowCounters counters_;
  Store store_;
  Mem::Notify<Key, Value> notify_;
  CorruptionHandler corruptionHandler_;
  bool connected_ = false;
  bool notifying_ = true;
  bool keyCallbacksInstalled_ = false;
  bool quiesced_ = false;
  MountStatus mountStatus_ = MountStatus::unmounted;
  std::uint64_t sequence_ = 0;
  std::chrono::steady_clock::duration yieldTime_ = std::chrono::milliseconds(50);
  Vanquo::WriterState lastDisconnect_ = Vanquo::WriterState::attached;
  Ring::Identity followedRing_;
  PassListener passListener_;
  std::uint64_t handlingSequence_ = 0;
  std::vector<Vanquo::BasicSlot> batch_;
  std::unordered_map<std::uint32_t, std::uint32_t> lastOfSlot_;
  Value valueBuffer_{};
  std::string corruption_;
  std::string lastError_;
};

}  // namespace Brell
