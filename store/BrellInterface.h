// What every store implementation offers the map that holds it: its life cycle, what
// it is, its sizes, and reads. Writing is not part of it: only BrellWriter writes, and
// the map reaches those operations through the writer it holds (see BrellMap), so a
// reader has nothing to refuse and no refusal is written twice.
//
// Implementations: BrellWriter (StoreType::writer, the single writer; Tmp is one on
// heap memory), BrellReader (StoreType::reader, reads the files directly), BrellDummy
// (StoreType::reader, an empty placeholder), BrellStrictDummy (every use is a
// programming error); the shadow (StoreType::shadow, BrellShadow.h) keeps a local
// index fed by the writer's change notifications.
//
// Thread-safety: an implementation is used by one thread at a time.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <functional>
#include <string>

#include <fmt/format.h>

#include "platform/sharedmem/PyrelId.h"
#include "store/Debug.h"
#include "store/Link.h"
#include "store/Traits.h"

namespace Brell {

enum class MarkAndSweepOperation : int { get = 0, clear = 1, set = 2 };

// Where an iteration stopped: the slot reached, its version then, and (readers) the
// mapping it was read through. A hint that no longer matches is simply not used.
struct HWTABLES_API IterHint {
  std::uint32_t slotIndex = kNullReference;
  std::uint32_t version = 0;
  void const* base = nullptr;
};

// Which kind of implementation a map holds.
enum class StoreType : int { writer = 0, shadow = 1, reader = 2 };

// How far an implementation got towards serving its files. A writer or reader is
// mounted once initialized; a shadow is mounted while it copies the store, synced
// once its index caught up, and corrupted (reported once) when it met damage.
enum class MountStatus : int { unmounted = 0, mounted = 1, synced = 2, corrupted = 3 };

}  // namespace Brell

// Traces print both as their numbers.
template <>
struct fmt::formatter<Brell::StoreType> : fmt::formatter<int> {
  auto format(Brell::StoreType type, fmt::format_context& context) const {
    return fmt::formatter<int>::format(static_cast<int>(type), context);
  }
};
template <>
struct fmt::formatter<Brell::MountStatus> : fmt::formatter<int> {
  auto format(Brell::MountStatus status, fmt::format_context& context) const {
    return fmt::formatter<int>::format(static_cast<int>(status), context);
  }
};

namespace Brell {

class HWTABLES_API BrellInterfaceBase {
 public:
  virtual ~BrellInterfaceBase() = default;
  bool initialized() const { return initialized_; }

 protected:
  bool initialized_ = false;
};

template <StoreTraits T>
class BrellInterface : public BrellInterfaceBase {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;

  // --- life: attach to the files, check them, let go of them (cleanup removes them
  // when this implementation owns them).
  virtual bool initialize(std::string const& event) = 0;
  virtual void detach(bool force) = 0;
  virtual bool validate() = 0;
  virtual bool validateFiles() = 0;
  virtual void cleanup() = 0;

  // --- what it is.
  virtual StoreType type() const = 0;
  virtual MountStatus mountStatus() const = 0;
  virtual std::string brellName() const = 0;
  virtual std::string rootPath() const = 0;
  virtual SharedMem::PyrelId pyrelId() const = 0;
  virtual std::string dumpHeaders() const = 0;

  // --- sizes.
  virtual std::uint32_t members() const = 0;
  virtual std::uint32_t buckets() const = 0;
  virtual std::uint32_t minSize() const = 0;
  virtual std::uint32_t maxSize() const = 0;
  virtual std::uint32_t capacity() const = 0;

  // --- reads.
  // A pointer to the value (in place for a writer, a copy in `buffer` or the
  // implementation's own buffer for a reader), or null with found false.
  virtual Value const* lookup(Key const& key, bool& found, Value* buffer) = 0;
  virtual bool first(Value& value, IterHint& hint) = 0;
  virtual bool next(Key const& key, Value& value, IterHint& hint) = 0;
  // Calls `visit` with every value, in no particular order: the writer scans its slot
  // array (no chain walk, no hashing), other implementations iterate. For callers
  // that want every entry at once (a whole-table download).
  virtual void forEachValue(std::function<void(Value const&)> const& visit) {
    Value value;
    IterHint hint;
    for (bool more = first(value, hint); more; more = next(T::key(value), value, hint))
      visit(value);
  }

  // --- what a reader reports of its progress (a writer is always quiesced and counts
  // nothing here).
  virtual bool quiesced() const { return true; }
  virtual ReaderCounters readerCounters() const { return {}; }
};

}  // namespace Brell
