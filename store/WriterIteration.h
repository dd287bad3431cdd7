// Iteration over the writer's own tables in list order: the first entry from a
// bucket on, and the entry after a key.
//
// An IterHint remembers the slot reached and its version; while that slot still
// holds the key (same version, occupied), the next entry follows from its link
// without a chain walk. Otherwise the key is looked up again ("slow path"); the key
// need not be in the table any more. Each step is checked to move forward in list
// order (ListOrder.h), so a damaged link cannot make an iteration endless.
//
// Reads only. Thread-safety: the writer's thread only.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/BrellInterface.h"
#include "store/Debug.h"
#include "store/ListOrder.h"
#include "store/SlotWriterTable.h"
#include "store/WriterHashMap.h"

namespace Brell {

template <StoreTraits T>
class WriterIteration {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;
  using Info = TraitsInfo<T>;
  using Slots = SlotWriterTable<T>;
  using Map = BrellCore::WriterHashMap<T>;

  WriterIteration(Slots const& slots, Map const& map, std::string const& rootPath)
      : slots_(slots), map_(map), rootPath_(rootPath) {}

  bool firstFrom(std::uint32_t bucket, Value& value, IterHint& hint) const {
    if (bucket >= map_.numBuckets()) {
      throw Vorl::RangeException(
          fmt::format("bucket {} out of range numBuckets:{}", bucket, map_.numBuckets()));
    }
    auto index = map_.resolve(
        loadLink(map_.bucketWriter().head(bucket), std::memory_order_relaxed).value, bucket);
    if (!index) return false;
    VORL_TRACE(Debug::writerHashMap(), kDebugLevel, "{} found at bucket {}",
               Info::keyText(T::key(*Slots::valueAt(slots_.slot(*index)))), bucket);
    return deliver(*index, value, hint);
  }

  // The entry after `key`, checked to come after it in list order.
  bool next(Key const& key, Value& value, IterHint& hint) const {
    bool more = nextUnchecked(key, value, hint);
    if (more) ListOrder<T>::requireAscending(key, T::key(value), slots_.hashSeed(), rootPath_);
    return more;
  }

  bool nextUnchecked(Key const& key, Value& value, IterHint& hint) const {
    if (hint.slotIndex < slots_.numSlots()) {
      unsigned char const* slot = slots_.slot(hint.slotIndex);
      SlotLink link = slots_.link(hint.slotIndex);
      if (link.version == hint.version && (link.version & kOccupiedBit) != 0 &&
          T::compare(T::key(*Slots::valueAt(slot)), key) == 0) {
        std::uint32_t bucket = map_.bucketOf(reverseBits(Slots::rhashAt(slot)));
        auto index = map_.resolve(link.value, bucket);
        VORL_TRACE(Debug::writerHashMap(), kDebugLevel, "{} next slotId {} success {}",
                   Info::keyText(key), index ? static_cast<std::int64_t>(*index) : -1,
                   index.has_value());
        if (!index) return false;
        return deliver(*index, value, hint);
      }
      VORL_TRACE(Debug::writerHashMap(), kDebugLevel,
                 "saw exception in fast path: {}. This might be okay, dropping to slow path to "
                 "find out",
                 "hint no longer matches");
    }
    auto position = map_.locate(key);
    std::uint32_t reference = position.found ? slots_.link(position.slot).value : position.stop;
    auto index = map_.resolve(reference, position.bucket);
    if (!index) return false;
    VORL_TRACE(Debug::writerHashMap(), kDebugLevel,
               "{} success {} using {}, saving new slot hint {}", Info::keyText(key), true,
               "slow path", *index);
    return deliver(*index, value, hint);
  }

 private:
  bool deliver(std::uint32_t index, Value& value, IterHint& hint) const {
    unsigned char const* slot = slots_.slot(index);
    std::memcpy(static_cast<void*>(&value), Slots::valueAt(slot), sizeof(Value));
    hint = IterHint{index, slots_.link(index).version, slots_.header()};
    return true;
  }

  Slots const& slots_;
  Map const& map_;
  std::string const& rootPath_;
};

}  // namespace Brell
