// The order of the store's one list, shared by every walker of it: the writer's and
// readers' chain walks, the shadow's local index, and the iteration checks.
//
// All entries form one list ordered by (rhash, key), where rhash = reverseBits(hash):
// sorting by the reversed hash keeps each bucket's run contiguous for every bucket
// count (see SlotLayout.h). Keys with the same rhash are ordered by T::compare.
#pragma once

#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/Link.h"
#include "store/Traits.h"

namespace Brell {

template <StoreTraits T>
struct ListOrder {
  using Key = typename T::Key;

  // <0, 0 or >0: the pair (rhash, key) against (otherRhash, otherKey). The keys are
  // compared only when the rhashes are equal.
  static int compare(std::uint32_t rhash, Key const& key, std::uint32_t otherRhash,
                     Key const& otherKey) {
    if (rhash != otherRhash) return rhash < otherRhash ? -1 : 1;
    return T::compare(key, otherKey);
  }

  static std::uint32_t rhashOf(Key const& key, std::uint32_t seed) {
    return reverseBits(T::hash(key, seed));
  }

  // `after` strictly follows `before` in list order (under the store's hash seed).
  static bool ascends(Key const& before, Key const& after, std::uint32_t seed) {
    return compare(rhashOf(before, seed), before, rhashOf(after, seed), after) < 0;
  }

  // An iteration step must move forward in the list: one that does not followed a
  // damaged link (e.g. a cycle), which would otherwise make the caller's iteration
  // endless. Throws CorruptionDetectedException naming both keys and the store.
  static void requireAscending(Key const& before, Key const& after, std::uint32_t seed,
                               std::string const& rootPath) {
    if (ascends(before, after, seed)) [[likely]]
      return;
    throw Vorl::CorruptionDetectedException(
        fmt::format("iteration after key {} went back to key {} in {}",
                    TraitsInfo<T>::keyText(before), TraitsInfo<T>::keyText(after), rootPath));
  }
};

}  // namespace Brell
