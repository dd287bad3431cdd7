// What a shadow tells its owner, and from when: Brell::ShadowEvents.
//
// A shadow reports key changes (keyChanged, keyRemoved), mount status moves and
// quiesced moves through the owner's Mem::Notify, but only from its first completed
// synchronisation on: before it the local index is still being filled, and every key
// would be reported as new. Corruption is the exception: it is reported at once,
// through the status callback and the corruption handler, and only once.
//
// Thread-safety: the shadow's thread only.
#pragma once

#include <string>
#include <utility>

#include "store/BrellInterface.h"
#include "store/Notify.h"

namespace Brell {

template <class Key, class Value>
class ShadowEvents {
 public:
  using Notify = Mem::Notify<Key, Value>;
  using CorruptionHandler = std::function<void(std::string const& reason)>;

  explicit ShadowEvents(Notify notify) : notify_(std::move(notify)) {}

  // The callbacks; the address stays valid for the shadow's life.
  Notify const* notify() const { return &notify_; }
  void notifyIs(Notify notify) { notify_ = std::move(notify); }

  // Whether key callbacks are delivered: from the first completed synchronisation on.
  bool reporting() const { return reporting_; }
  // Starts reporting; true only the first time (the caller then hands notify() on).
  bool startReporting() { return !std::exchange(reporting_, true); }

  bool quiesced() const { return quiesced_; }
  void quiescedIs(bool quiesced) {
    if (quiesced == quiesced_) return;
    quiesced_ = quiesced;
    if (reporting_ && notify_.quiescedChanged) notify_.quiescedChanged(quiesced);
  }

  MountStatus mountStatus() const { return mountStatus_; }
  void mountStatusIs(MountStatus status) {
    if (status == mountStatus_) return;
    mountStatus_ = status;
    if (notify_.mountStatusChanged && (reporting_ || status == MountStatus::corrupted)) {
      notify_.mountStatusChanged();
    }
  }

  void corruptionDetected(std::string const& reason) {
    if (mountStatus_ == MountStatus::corrupted) return;
    corruption_ = reason;
    mountStatusIs(MountStatus::corrupted);
    if (corruptionHandler_) corruptionHandler_(reason);
  }
  void corruptionHandlerIs(CorruptionHandler handler) { corruptionHandler_ = std::move(handler); }
  std::string const& corruptionReason() const { return corruption_; }

 private:
  Notify notify_;
  CorruptionHandler corruptionHandler_;
  std::string corruption_;
  MountStatus mountStatus_ = MountStatus::unmounted;
  bool reporting_ = false;
  bool quiesced_ = false;
};

}  // namespace Brell
