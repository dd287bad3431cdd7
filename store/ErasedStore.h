// Stores opened by code that knows their value type, used by code that does not.
//
// A table's plug-in knows its entry type and so can instantiate a reader or a shadow
// of its store; a tool that only loaded the plug-in cannot. makeErasedReader<T>() and
// makeErasedShadow<T>() wrap the typed store objects behind ErasedReader and
// ErasedShadow, where keys and values travel as their bytes (both types are
// trivially copyable, which TraitsInfo asserts), so the caller needs no type.
//
// Thread-safety: as the wrapped object (one thread at a time).
#pragma once

#include "platform/plugin/Export.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/BrellReader.h"
#include "store/BrellShadow.h"

namespace Brell {

using Bytes = std::vector<unsigned char>;

template <class Object>
Bytes bytesOf(Object const& object) {
  Bytes bytes(sizeof(Object));
  std::memcpy(bytes.data(), &object, sizeof(Object));
  return bytes;
}

// Whether `bytes` hold an Object; a wrong size is never copied.
template <class Object>
bool objectFrom(Bytes const& bytes, Object& object) {
  if (bytes.size() != sizeof(Object)) return false;
  std::memcpy(&object, bytes.data(), sizeof(Object));
  return true;
}

using ErasedVisitor = std::function<void(Bytes const& key, Bytes const& value)>;

// A read-only view of a store (BrellReader): no lock taken, nothing written.
class HWTABLES_API ErasedReader {
 public:
  virtual ~ErasedReader() = default;
  // False while the store cannot be read (being created, wiped or damaged).
  virtual bool initialize(std::string const& event) = 0;
  virtual std::string lastError() const = 0;
  // Every entry, in the store's order. Damage throws Vorl::CorruptionDetectedException.
  virtual void forEach(ErasedVisitor const& visit) = 0;
};

struct HWTABLES_API ErasedNotify {
  std::function<void(Bytes const& key)> keyChanged;
  std::function<void(Bytes const& key)> keyRemoved;
  std::function<void()> mountStatusChanged;
};

// A shadow of a store (BrellShadow), fed by the writer's change notifications.
class HWTABLES_API ErasedShadow {
 public:
  virtual ~ErasedShadow() = default;
  virtual bool initialize(std::string const& event) = 0;
  virtual std::string lastError() const = 0;
  virtual void processNotifications(std::chrono::milliseconds timeout) = 0;
  virtual bool connected() const = 0;
  virtual Vanquo::WriterState lastDisconnect() const = 0;
  virtual SharedMem::PyrelId pyrelId() const = 0;
  virtual Brell::MountStatus mountStatus() const = 0;
  virtual std::string corruptionReason() const = 0;
  // The value of a key; none when absent or when `key` is not a key of this store.
  virtual std::optional<Bytes> lookup(Bytes const& key) = 0;
  virtual void forEach(ErasedVisitor const& visit) = 0;
  // Whole-table passes, and where in the writer's sequence the shadow is (see
  // BrellShadow: passListenerIs, handlingSequence, position, passRunning).
  virtual void passListenerIs(PassListener listener) = 0;
  virtual std::uint64_t handlingSequence() const = 0;
  virtual std::uint64_t position() const = 0;
  virtual bool passRunning() const = 0;
};

namespace detail {

template <StoreTraits T, class Store>
void visitAll(Store& store, ErasedVisitor const& visit) {
  typename T::Value value{};
  IterHint hint;
  for (bool more = store.first(value, hint); more; more = store.next(T::key(value), value, hint)) {
    visit(bytesOf(T::key(value)), bytesOf(value));
  }
}

template <StoreTraits T>
class ErasedReaderOf final : public ErasedReader {
 public:
  ErasedReaderOf(std::string name, std::string rootPath)
      : reader_(std::move(name), std::move(rootPath)) {}
  bool initialize(std::string const& event) override { return reader_.initialize(event); }
  std::string lastError() const override { return reader_.lastError(); }
  void forEach(ErasedVisitor const& visit) override { visitAll<T>(reader_, visit); }

 private:
  BrellReader<T> reader_;
};

template <StoreTraits T>
class ErasedShadowOf final : public ErasedShadow {
 public:
  using Key = typename T::Key;
  using Value = typename T::Value;

  ErasedShadowOf(std::string name, std::string rootPath, ErasedNotify notify)
      : shadow_(std::move(name), std::move(rootPath), typedNotify(std::move(notify))) {}

  bool initialize(std::string const& event) override { return shadow_.initialize(event); }
  std::string lastError() const override { return shadow_.lastError(); }
  void processNotifications(std::chrono::milliseconds timeout) override {
    shadow_.processNotifications(timeout);
  }
  bool connected() const override { return shadow_.connected(); }
  Vanquo::WriterState lastDisconnect() const override { return shadow_.lastDisconnect(); }
  SharedMem::PyrelId pyrelId() const override { return shadow_.pyrelId(); }
  Brell::MountStatus mountStatus() const override { return shadow_.mountStatus(); }
  std::string corruptionReason() const override { return shadow_.corruptionReason(); }
  std::optional<Bytes> lookup(Bytes const& keyBytes) override {
    Key key{};
    if (!objectFrom(keyBytes, key)) return std::nullopt;
    bool found = false;
    Value value{};
    shadow_.lookup(key, found, &value);
    if (!found) return std::nullopt;
    return bytesOf(value);
  }
  void forEach(ErasedVisitor const& visit) override { visitAll<T>(shadow_, visit); }
  void passListenerIs(PassListener listener) override {
    shadow_.passListenerIs(std::move(listener));
  }
  std::uint64_t handlingSequence() const override { return shadow_.handlingSequence(); }
  std::uint64_t position() const override { return shadow_.position(); }
  bool passRunning() const override { return shadow_.passRunning(); }

 private:
  static Mem::Notify<Key, Value> typedNotify(ErasedNotify notify) {
    Mem::Notify<Key, Value> typed;
    if (notify.keyChanged) {
      typed.keyChanged = [changed = notify.keyChanged](Key const& key) { changed(bytesOf(key)); };
    }
    if (notify.keyRemoved) {
      typed.keyRemoved = [removed = notify.keyRemoved](Key const& key, Value const*) {
        removed(bytesOf(key));
      };
    }
    typed.mountStatusChanged = std::move(notify.mountStatusChanged);
    return typed;
  }

  BrellShadow<T> shadow_;
};

}  // namespace detail

template <StoreTraits T>
std::unique_ptr<ErasedReader> makeErasedReader(std::string name, std::string rootPath) {
  return std::make_unique<detail::ErasedReaderOf<T>>(std::move(name), std::move(rootPath));
}

template <StoreTraits T>
std::unique_ptr<ErasedShadow> makeErasedShadow(std::string name, std::string rootPath,
                                               ErasedNotify notify) {
  return std::make_unique<detail::ErasedShadowOf<T>>(std::move(name), std::move(rootPath),
                                                     std::move(notify));
}

}  // namespace Brell
