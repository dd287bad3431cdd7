// The shadow store's check of its own index, for tests and diagnostics: a walk over
// every slot and chain, kept apart from the lookups it checks.
#pragma once

#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "store/ShadowStore.h"

namespace Brell {

template <StoreTraits T, class Slot>
bool ShadowStore<T, Slot>::validateIndex(std::string* reason) const {
  auto fail = [reason](std::string text) {
    if (reason) *reason = std::move(text);
    return false;
  };
  std::uint64_t linked = 0;
  for (std::uint32_t index = 0; index < numSlots(); ++index) {
    Slot const& slot = slots_[index];
    if (slot.prev == kNoShadowSlot) {
      if (slot.next != kNoShadowSlot) return fail(fmt::format("slot {} is half linked", index));
      continue;
    }
    ++linked;
    if (map_.find(slots_.data(), slot.key) != index || finder_.find(slot.key) != index) {
      return fail(fmt::format("slot {} holds key {}, which the index finds elsewhere", index,
                              TraitsInfo<T>::keyText(slot.key)));
    }
  }
  std::uint64_t chained = 0;
  for (std::uint32_t bucket = 0; bucket < map_.numBuckets(); ++bucket) {
    std::uint32_t previous = kNoShadowSlot;
    for (std::uint32_t at = map_.head(bucket); at != kNoShadowSlot; at = slots_[at].next) {
      if (at >= numSlots() || ++chained > linked) {
        return fail(
            fmt::format("bucket {} leads to slot {} beyond the linked slots", bucket, at));
      }
      Slot const& slot = slots_[at];
      std::uint32_t expectedPrev = previous == kNoShadowSlot ? chainHeadMarker(bucket) : previous;
      if (slot.prev != expectedPrev) {
        return fail(fmt::format("slot {} in bucket {} has prev {}, not {}", at, bucket, slot.prev,
                                expectedPrev));
      }
      if (slot.rhash != map_.rhashOf(slot.key) || map_.bucketOf(slot.rhash) != bucket) {
        return fail(fmt::format("slot {} (key {}) is in bucket {} with rhash {:#x}", at,
                                TraitsInfo<T>::keyText(slot.key), bucket, slot.rhash));
      }
      if (previous != kNoShadowSlot &&
          ListOrder<T>::compare(slots_[previous].rhash, slots_[previous].key, slot.rhash,
                                slot.key) >= 0) {
        return fail(fmt::format("bucket {}: slot {} does not follow slot {} in order", bucket, at,
                                previous));
      }
      previous = at;
    }
  }
  if (chained != linked) {
    return fail(fmt::format("{} slots linked but {} in the chains", linked, chained));
  }
  if (linked != map_.members() || linked != finder_.size()) {
    return fail(fmt::format("{} slots linked but members() is {} and the finder holds {}", linked,
                            map_.members(), finder_.size()));
  }
  return true;
}

}  // namespace Brell
