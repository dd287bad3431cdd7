#include "store/Validator.h"

#include <cstring>
#include <new>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/Debug.h"
#include "store/Link.h"

namespace Brell {
namespace {

using Vorl::CorruptionDetectedException;

std::uint32_t layoutHash(unsigned char const* value, std::uint32_t seed, void const* context) {
  return static_cast<KeyLayout const*>(context)->hash(value, seed);
}

int layoutCompare(unsigned char const* left, unsigned char const* right, void const* context) {
  return static_cast<KeyLayout const*>(context)->compare(left, right);
}

}  // namespace

KeyOps KeyOps::fromLayout(KeyLayout const* layout) {
  if (layout == nullptr || layout->fieldCount == 0) return KeyOps{};
  return KeyOps{&layoutHash, &layoutCompare, layout};
}

namespace ValidatorCommon {

void wrongCount(std::uint32_t walked, std::uint32_t occupancy) {
  throw CorruptionDetectedException(fmt::format(
      "wrong occupied count: walked {} occupied slots, header occupancy {}", walked, occupancy));
}

void duplicate(std::uint32_t slot, char const* walk) {
  throw CorruptionDetectedException(fmt::format("duplicate slot:{} in {}", slot, walk));
}

void outOfBounds(std::uint32_t reference, std::uint32_t numSlots, char const* walk) {
  throw CorruptionDetectedException(
      fmt::format("out-of-bounds reference:{:#x} numSlots:{} in {}", reference, numSlots, walk));
}

void notEmpty(std::uint32_t slot, std::uint32_t version) {
  throw CorruptionDetectedException(
      fmt::format("not-empty slot:{} on the free list version:{:#x}", slot, version));
}

void stuckLookaside(std::uint32_t slot, std::uint32_t version) {
  throw CorruptionDetectedException(
      fmt::format("stuck-lookaside slot:{} left mid-rewrite version:{:#x}", slot, version));
}

void checkSlotCount(std::uint32_t occupied, std::uint32_t free, std::uint32_t numSlots) {
  if (std::uint64_t{occupied} + free != numSlots) {
    throw CorruptionDetectedException(fmt::format(
        "bad slot count: occupied {} + free {} != numSlots {}", occupied, free, numSlots));
  }
}

}  // namespace ValidatorCommon

Validator::Validator(StoreImage image, KeyOps keys, std::string name)
    : image_(image), keys_(keys), name_(std::move(name)) {}

bool Validator::validate(std::string* reason) {
  try {
    visited_.assign(image_.numSlots, 0);
    occupied_ = 0;
    free_ = 0;
    // Between operations the lookaside link is exactly as formatted: the writer
    // copies values into the lookaside slot but never stores its link.
    SlotLink lookaside = loadLink(image_.slotFile + SlotHeaderOffset::lookaside);
    if (lookaside.value != kNullReference || lookaside.version != 0) {
      throw CorruptionDetectedException(
          fmt::format("stuck lookaside link:{:#x} version:{}", lookaside.value, lookaside.version));
    }
    // The largest counts ever reached can never be below the current ones.
    std::uint32_t largestSlots = loadField32(image_.slotFile, SlotHeaderOffset::largestSlotCount);
    if (largestSlots < image_.numSlots) {
      throw CorruptionDetectedException(fmt::format(
          "bad largest slot count:{} below the slot count:{}", largestSlots, image_.numSlots));
    }
    std::uint32_t largestOccupancy =
        loadField32(image_.slotFile, SlotHeaderOffset::largestOccupancy);
    if (largestOccupancy < image_.occupancy) {
      throw CorruptionDetectedException(fmt::format(
          "bad largest occupancy:{} below the occupancy:{}", largestOccupancy, image_.occupancy));
    }
    walkOccupiedSlots();
    walkFreeSlots();
    ValidatorCommon::checkSlotCount(occupied_, free_, image_.numSlots);
    return true;
  } catch (Vorl::CorruptionDetectedException const& error) {
    VORL_TRACE(Debug::validator(), kDebugLevel, "caught: {}", error.what());
    if (reason) *reason = error.what();
  } catch (Vorl::MemoryResourceException const& error) {
    VORL_TRACE(Debug::validator(), kDebugLevel, "caught: {}", error.what());
    if (reason) *reason = error.what();
  } catch (std::bad_alloc const&) {
    if (reason) *reason = fmt::format("out of memory validating {} slots", image_.numSlots);
  }
  VORL_TRACE(Debug::validator(), kDebugLevel, "Brell {} validation failed: {}", name_,
             reason ? *reason : std::string());
  return false;
}

std::uint32_t Validator::walkOccupiedSlots(std::vector<ChainEntry>* entries) {
  if (entries == nullptr) return walkOccupiedSlots(std::function<void(ChainEntry const&)>());
  return walkOccupiedSlots([entries](ChainEntry const& entry) { entries->push_back(entry); });
}

namespace {

// The rhash of occupied slot `index`, met in the chain of `bucket` with `link`, after
// checking that the slot is occupied, not stuck mid-rewrite, and hashed to that bucket.
std::uint32_t chainedRhash(StoreImage const& image, KeyOps const& keys, std::uint32_t index,
                           std::uint32_t bucket, SlotLink const& link) {
  if ((link.version & kOccupiedBit) == 0) {
    throw CorruptionDetectedException(fmt::format(
        "not-occupied slot:{} in chain of bucket:{} version:{:#x}", index, bucket, link.version));
  }
  if ((link.version & kRewriteBit) != 0) ValidatorCommon::stuckLookaside(index, link.version);
  unsigned char const* slotAddress = image.slot(index);
  std::uint32_t rhash = loadField32(slotAddress, SlotOffset::rhash(image.valueSize));
  std::uint32_t hash = reverseBits(rhash);
  std::uint32_t buckets = image.numBuckets;
  if ((hash & (buckets - 1)) != bucket) {
    throw CorruptionDetectedException(fmt::format(
        "corrupt rhash:{:#010x} in slot:{}: belongs to bucket:{} but found in bucket:{}", rhash,
        index, hash & (buckets - 1), bucket));
  }
  unsigned char const* value = slotAddress + SlotOffset::value;
  if (keys.hash != nullptr && keys.hash(value, image.hashSeed, keys.context) != hash) {
    throw CorruptionDetectedException(fmt::format(
        "corrupt key in slot:{}: its hash does not match rhash:{:#010x}", index, rhash));
  }
  return rhash;
}

}  // namespace

std::uint32_t Validator::walkOccupiedSlots(std::function<void(ChainEntry const&)> const& visit) {
  VORL_TRACE(Debug::validator(), kDebugLevel, "starting");
  if (visited_.size() != image_.numSlots) visited_.assign(image_.numSlots, 0);
  std::uint32_t buckets = image_.numBuckets;
  if (buckets == 0 || (buckets & (buckets - 1)) != 0) {
    throw CorruptionDetectedException(fmt::format("bad bucket count:{}", buckets));
  }
  std::uint32_t bucket = 0;
  std::uint32_t reference = loadLink(image_.head(0)).value;
  std::uint32_t walked = 0;
  std::uint32_t previousRhash = 0;
  unsigned char const* previousValue = nullptr;
  for (;;) {
    while (isEnd(reference)) {
      if (isNull(reference)) {
        if (bucket != buckets - 1) {
          throw CorruptionDetectedException(
              fmt::format("reached the end of the list in bucket:{} before the last bucket:{}",
                          bucket, buckets - 1));
        }
        occupied_ = walked;
        if (walked != image_.occupancy) ValidatorCommon::wrongCount(walked, image_.occupancy);
        return walked;
      }
      auto expected = nextBucket(bucket, buckets);
      std::uint32_t named = indexOf(reference);
      if (!expected || named != *expected) {
        throw CorruptionDetectedException(
            fmt::format("end marker {:#x} of bucket:{} names bucket:{}, expected:{}", reference,
                        bucket, named, expected ? static_cast<std::int64_t>(*expected) : -1));
      }
      bucket = named;
      reference = loadLink(image_.head(bucket)).value;
    }
    std::uint32_t index = indexOf(reference);
    if (index >= image_.numSlots) {
      ValidatorCommon::outOfBounds(reference, image_.numSlots, "occupied walk");
    }
    if (visited_[index]) ValidatorCommon::duplicate(index, "occupied walk");
    visited_[index] = 1;
    if (++walked > image_.occupancy) ValidatorCommon::wrongCount(walked, image_.occupancy);
    unsigned char const* slotAddress = image_.slot(index);
    SlotLink link = loadLink(slotAddress);
    std::uint32_t rhash = chainedRhash(image_, keys_, index, bucket, link);
    unsigned char const* value = slotAddress + SlotOffset::value;
    if (previousValue != nullptr) {
      bool ordered = rhash > previousRhash;
      if (rhash == previousRhash) {
        ordered =
            keys_.compare == nullptr || keys_.compare(previousValue, value, keys_.context) < 0;
      }
      if (!ordered) {
        throw CorruptionDetectedException(
            fmt::format("corrupt rhash:{:#010x} in slot:{} out of order after rhash:{:#010x}",
                        rhash, index, previousRhash));
      }
    }
    previousRhash = rhash;
    previousValue = value;
    if (visit) {
      ChainEntry entry{index, bucket, link, rhash, {}};
      entry.value.assign(value, value + image_.valueSize);
      visit(entry);
    }
    reference = link.value & ~kMarkFlag;
  }
}

std::uint32_t Validator::walkFreeSlots() {
  VORL_TRACE(Debug::validator(), kDebugLevel, "starting");
  if (visited_.size() != image_.numSlots) visited_.assign(image_.numSlots, 0);
  std::uint32_t reference = image_.freeListHead;
  std::uint32_t count = 0;
  while (!isNull(reference)) {
    std::uint32_t index = indexOf(reference);
    VORL_TRACE(Debug::validator(), kDebugLevel, "walking slotIndex: {}", index);
    if (isEnd(reference) || index >= image_.numSlots) {
      ValidatorCommon::outOfBounds(reference, image_.numSlots, "free walk");
    }
    SlotLink link = loadLink(image_.slot(index));
    if ((link.version & kOccupiedBit) != 0) ValidatorCommon::notEmpty(index, link.version);
    // A free slot is never rewritten in place, so its rewrite bit is always clear.
    if ((link.version & kRewriteBit) != 0) ValidatorCommon::stuckLookaside(index, link.version);
    if (visited_[index]) ValidatorCommon::duplicate(index, "free walk");
    visited_[index] = 1;
    ++count;
    reference = link.value & ~kMarkFlag;
  }
  free_ = count;
  return count;
}

}  // namespace Brell
