// Validation of a store's slot and bucket tables, without knowing the value type.
//
// The Validator walks an image of the two files (live mappings of a writer that is
// not running an operation, or a private snapshot) and checks the invariants of
// SlotLayout.h:
// - walkOccupiedSlots follows the whole list from bucket 0 in list order: every
//   index in range, visited once, occupied, not stuck mid-rewrite, in the bucket
//   its rhash names, rhash ascending (and, when the key can be read, the hash of the
//   key equal to the reversed rhash and keys ascending on equal rhash), every run
//   ending with the marker of the next bucket in bit-reversed order and the last with
//   the null reference; the number walked must equal the header's occupancy;
// - walkFreeSlots follows the free list: in range, not occupied, not mid-rewrite,
//   not seen before;
// - occupied + free must equal the slot count; the lookaside link is as formatted
//   ({0, 0xBFFFFFFF}); the largest slot count and largest occupancy are not below
//   the current ones.
// validate() runs all of it and turns any CorruptionDetectedException or
// MemoryResourceException into a reason text; it never changes the store.
//
// Keys: a writer passes its typed hash and comparison (KeyOps); tools pass the key
// layout recorded in the header (KeyOps::fromLayout), or nothing, in which case the
// key checks are skipped and only rhash order and bucket membership are checked.
//
// Thread-safety: none; the image must not change during a walk.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/SlotLayout.h"

namespace Brell {

// What the walks look at. Pointers are to the start of each file's bytes.
struct HWTABLES_API StoreImage {
  unsigned char const* slotFile = nullptr;  // header at 0, lookaside at 608
  std::uint32_t numSlots = 0;
  std::uint32_t valueSize = 0;
  std::uint32_t slotSize = 0;
  std::uint32_t occupancy = 0;
  std::uint32_t freeListHead = kNullReference;
  std::uint32_t hashSeed = 0;
  unsigned char const* bucketFile = nullptr;  // header at 0, heads at 24
  std::uint32_t numBuckets = 0;

  unsigned char const* slot(std::uint32_t index) const {
    return slotFile + kCommonHeaderSize + slotSize + std::size_t{index} * slotSize;
  }
  unsigned char const* head(std::uint32_t bucket) const {
    return bucketFile + BucketOffset::heads + std::size_t{bucket} * 8;
  }
};

// Optional key operations on value bytes.
struct HWTABLES_API KeyOps {
  using Hash = std::uint32_t (*)(unsigned char const* value, std::uint32_t seed,
                                 void const* context);
  using Compare = int (*)(unsigned char const* left, unsigned char const* right,
                          void const* context);
  Hash hash = nullptr;
  Compare compare = nullptr;
  void const* context = nullptr;

  // From a recorded key layout (which must outlive the KeyOps); none when unrecorded.
  static KeyOps fromLayout(KeyLayout const* layout);
};

// One occupied slot as met in list order.
struct HWTABLES_API ChainEntry {
  std::uint32_t slotIndex = 0;
  std::uint32_t bucket = 0;
  SlotLink link;
  std::uint32_t rhash = 0;
  std::vector<unsigned char> value;
};

class HWTABLES_API Validator {
 public:
  Validator(StoreImage image, KeyOps keys, std::string name);

  // All checks; false with the reason of the first failure.
  bool validate(std::string* reason);
  // The walks; they throw Vorl::CorruptionDetectedException on damage. The occupied
  // walk must run first (the free walk checks for slots seen by either).
  std::uint32_t walkOccupiedSlots(std::vector<ChainEntry>* entries = nullptr);
  // The same walk, handing each entry to `visit` as it is met.
  std::uint32_t walkOccupiedSlots(std::function<void(ChainEntry const&)> const& visit);
  std::uint32_t walkFreeSlots();

  std::uint32_t occupiedCount() const { return occupied_; }
  std::uint32_t freeCount() const { return free_; }

 private:
  StoreImage image_;
  KeyOps keys_;
  std::string name_;
  std::vector<std::uint8_t> visited_;
  std::uint32_t occupied_ = 0;
  std::uint32_t free_ = 0;
};

// The reports of the validator's walks.
namespace ValidatorCommon {
[[noreturn]] HWTABLES_API void wrongCount(std::uint32_t walked, std::uint32_t occupancy);
[[noreturn]] HWTABLES_API void duplicate(std::uint32_t slot, char const* walk);
[[noreturn]] HWTABLES_API void outOfBounds(std::uint32_t reference, std::uint32_t numSlots, char const* walk);
[[noreturn]] HWTABLES_API void notEmpty(std::uint32_t slot, std::uint32_t version);
[[noreturn]] HWTABLES_API void stuckLookaside(std::uint32_t slot, std::uint32_t version);
HWTABLES_API void checkSlotCount(std::uint32_t occupied, std::uint32_t free, std::uint32_t numSlots);
}  // namespace ValidatorCommon

}  // namespace Brell
