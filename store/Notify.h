// The change callbacks of a collection: Mem::Notify, and TyvoBrell::makeNotify,
// which builds one from three member functions of the collection's owner.
//
// Whoever learns of a change in a store calls these: the shadow of a store in a
// reader process (for every slot the writer changed), or the owner of a writer
// itself. Any of the five may be empty; callers test before calling.
//
// Thread-safety: called on the thread that processes the store's notifications.
#pragma once

#include <functional>

namespace Mem {

template <class Key, class Value>
struct Notify {
  // A value written or changed; the previous value when it is known.
  std::function<void(Value const& value, Value const* previous)> valueChanged;
  // A key changed (added or rewritten).
  std::function<void(Key const& key)> keyChanged;
  // A key removed or changed, with the previous value when it is known.
  std::function<void(Key const& key, Value const* previous)> keyRemoved;
  // The collection's mount status changed.
  std::function<void()> mountStatusChanged;
  // The collection became quiesced (true) or busy (false).
  std::function<void(bool quiesced)> quiescedChanged;
};

}  // namespace Mem

namespace TyvoBrell {

// Callbacks 1 to 3 all report the key to `onKey` (callback 1 takes it out of the value
// through `keyOf`); 4 calls `onMountStatus`, 5 `onQuiesced`.
template <class Key, class Value, class Storage, class KeyOf>
Mem::Notify<Key, Value> makeNotify(Storage* storage, KeyOf keyOf, void (Storage::*onKey)(Key),
                                   void (Storage::*onMountStatus)(),
                                   void (Storage::*onQuiesced)(bool)) {
  Mem::Notify<Key, Value> notify;
  notify.valueChanged = [storage, keyOf, onKey](Value const& value, Value const*) {
    (storage->*onKey)(keyOf(value));
  };
  notify.keyChanged = [storage, onKey](Key const& key) { (storage->*onKey)(key); };
  notify.keyRemoved = [storage, onKey](Key const& key, Value const*) { (storage->*onKey)(key); };
  notify.mountStatusChanged = [storage, onMountStatus] { (storage->*onMountStatus)(); };
  notify.quiescedChanged = [storage, onQuiesced](bool quiesced) {
    (storage->*onQuiesced)(quiesced);
  };
  return notify;
}

}  // namespace TyvoBrell
