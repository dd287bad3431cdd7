// The interface every store implementation offers to the map that holds it.
//
// Implementations: BrellWriter (StoreType::writer, the single writer; Tmp is one on
// heap memory), BrellReader (StoreType::reader, reads the files directly), BrellDummy
// (StoreType::reader, an empty placeholder), BrellStrictDummy (every use is a
// programming error); the shadow (StoreType::shadow, BrellShadow.h) keeps a local
// index fed by the writer's change notifications (Vanquo::VanquoWriter, included
// here for the writer).
//
// The base versions of the writing operations refuse with
// Vorl::NoPermissionException, so read-only implementations need not override them.
//
// Thread-safety: an implementation is used by one thread at a time.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <functional>
#include <string>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "platform/sharedmem/PyrelId.h"
#include "platform/vorl/Exceptions.h"
#include "store/Debug.h"
#include "store/Link.h"
#include "store/Traits.h"
#include "store/VanquoWriter.h"

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

  virtual bool initialize(std::string const& event) = 0;
  virtual void detach(bool force) = 0;
  virtual bool validate() = 0;
  virtual bool validateFiles() = 0;
  virtual void cleanup() = 0;

  virtual std::uint32_t members() const = 0;
  virtual std::uint32_t buckets() const = 0;
  virtual std::uint32_t minSize() const = 0;
  virtual std::uint32_t maxSize() const = 0;
  virtual std::uint32_t capacity() const = 0;
  virtual StoreType type() const = 0;
  virtual MountStatus mountStatus() const = 0;

  // A pointer to the value (in place for a writer, a copy in `buffer` or the
  // implementation's own buffer for a reader), or null with found false.
  virtual Value const* lookup(Key const& key, bool& found, Value* buffer) = 0;
  virtual Value const* directLookup(Key const& key, bool& found, Value* buffer) {
    return lookup(key, found, buffer);
  }
  virtual bool first(Value& value, IterHint& hint) = 0;
  virtual bool next(Key const& key, Value& value, IterHint& hint) = 0;

  virtual Value const* write(Value const&, bool /*overwrite*/) {
    throw Vorl::NoPermissionException("write to read-only Brell table");
  }
  virtual bool remove(Key const&, Value* /*removed*/) {
    throw Vorl::NoPermissionException("remove to read-only Brell table");
  }
  virtual Value* directWrite(Value const&) {
    throw Vorl::NoPermissionException("write to read-only Brell table");
  }
  virtual void directCommit() {
    throw Vorl::NoPermissionException("write to read-only Brell table");
  }
  virtual bool markAndSweepFlag(Key const&, MarkAndSweepOperation) {
    throw Vorl::NoPermissionException("mark-and-sweep flag change on read-only Brell table");
  }

  virtual std::string brellName() const = 0;
  virtual std::string rootPath() const = 0;
  virtual SharedMem::PyrelId pyrelId() const = 0;
  virtual std::string dumpHeaders() const = 0;

  // Calls `visit` with every value, in no particular order: the writer scans its slot
  // array (no chain walk, no hashing), other implementations iterate. For callers
  // that want every entry at once (a whole-table download).
  virtual void forEachValue(std::function<void(Value const&)> const& visit) {
    Value value;
    IterHint hint;
    for (bool more = first(value, hint); more; more = next(T::key(value), value, hint))
      visit(value);
  }
  virtual bool quiesced() const { return true; }
  virtual std::uint64_t sequence(int /*priority*/) const { return 0; }

  // A reader's counters (zero for writers and placeholders).
  virtual ReaderCounters readerCounters() const { return {}; }
  // The value the writing map keeps for its clients (see BrellMap::scratchpadIs).
  virtual std::uint64_t scratchpad() const { return 0; }
  // Version anchors belong to shadows that cache values; no store kind here does.
  virtual std::uint64_t getCacheVersionAnchor(Key const&) const {
    ASIC_GRACEFUL_ASSERT(false, "valueShadowSlot", "{}: called with unsupported slot variant",
                         "getCacheVersionAnchor");
    return 0;
  }
  virtual bool validateVersionAnchor(Key const&, std::uint64_t) const {
    ASIC_GRACEFUL_ASSERT(false, "valueShadowSlot", "{}: called with unsupported slot variant",
                         "validateVersionAnchor");
    return false;
  }
};

}  // namespace Brell
