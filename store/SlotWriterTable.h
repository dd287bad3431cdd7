// The writer's side of the slot file ("slots"): header fields, slot addresses,
// growth, formatting of new slots, the free list, shrinking.
//
// Owned by one writer (WriterFiles) and used only on its thread. Layout and reader
// protocol are described in SlotLayout.h. Invariants kept here:
// - numSlots() equals the count published in the header's slot-count VersionedRef;
// - every slot index below numSlots() is free (on the free list, bit 0 clear) or
//   occupied (in one chain, bit 0 set); the free list ends with 0xBFFFFFFF;
// - the count is published BEFORE any slot above the old count can be reached
//   (growth) and AFTER every slot above the new count has left all lists (shrink);
// - the file is never shortened (shrinking releases the memory with a hole), so a
//   reader with an older, larger mapping never faults.
#pragma once

#include "platform/plugin/Export.h"

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include <fmt/format.h>

#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/PyrelId.h"
#include "store/AttachResult.h"
#include "store/Debug.h"
#include "store/Link.h"
#include "store/SlotHeader.h"
#include "store/SlotLayout.h"
#include "store/Traits.h"

namespace Brell {

struct HWTABLES_API SlotTableSettings {
  std::uint32_t maxSize = 0;
  bool fixedSize = false;
  bool shrinkable = true;
};

template <StoreTraits T>
class SlotWriterTable {
 public:
  using Info = TraitsInfo<T>;
  using Value = typename T::Value;
  static constexpr std::uint32_t kSlotSize = Info::kSlotSize;
  static constexpr std::uint32_t kHeaderSize = Info::kHeaderSize;
  static constexpr std::uint32_t kBodySize = Info::kBodySize;

  SlotWriterTable(SharedMem::MappedFile file, SlotTableSettings settings, WriterCounters& counters)
      : file_(std::move(file)),
        maxSize_(settings.maxSize),
        initialCapacity_(settings.fixedSize ? settings.maxSize
                                            : initialCapacityFor(kSlotSize, pageSize())),
        counters_(&counters),
        fixedSize_(settings.fixedSize),
        shrinkable_(settings.shrinkable) {}

  static std::uint32_t pageSize() { return SharedMem::MappedFile::pageSize(); }

  // created, existing, or invalid (the file is left as it is).
  AttachResult attach(SharedMem::PyrelId identity) {
    detach();
    if (!file_.heap() && file_.open(SharedMem::MappedFile::Access::readWrite)) {
      std::uint64_t size = file_.fileSize();
      if (size < kHeaderSize) return AttachResult::invalid;
      file_.mapSize(kHeaderSize);
      SlotHeader header = SlotHeaderCommon::decode(file_.base());
      std::string reason;
      if (!SlotHeaderCommon::validate(header, size, &reason) ||
          header.valueSize != Info::kValueSize || header.slotSize != kSlotSize) {
        VORL_TRACE(Debug::slotTable(), kDebugLevel, "existing header invalid: {} {}", reason,
                   header.toString());
        detach();
        return AttachResult::invalid;
      }
      auto wanted = slotFileSize(header.slotCount.value, kSlotSize);
      if (!wanted || *wanted > size) {
        detach();
        return AttachResult::invalid;
      }
      // Every page up to the count was written by a writer; a count reaching into a
      // hole of a sparse file is damage, not a store to reserve gigabytes for.
      if (file_.firstHole() < *wanted / pageSize() * pageSize()) {
        VORL_TRACE(Debug::slotTable(), kDebugLevel, "existing file holds no data for {} slots",
                   header.slotCount.value);
        detach();
        return AttachResult::invalid;
      }
      mapSlots(header.slotCount.value);
      settleWriterSequence();
      seed_ = header.hashSeed;
      recomputeShrinkThreshold();
      VORL_TRACE(Debug::slotTable(), kDebugLevel, "to existing {}", file_.path());
      return AttachResult::existing;
    }
    format(identity);
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "to new file {}", file_.path());
    return AttachResult::created;
  }

  void detach() {
    file_.unmap();
    file_.close();
    header_ = nullptr;
    slotBase_ = nullptr;
    numSlots_ = 0;
    maxSlotIndex_ = 0;
  }

  void remove() {
    detach();
    file_.remove();
  }

  // The slot-table part of validating existing files before use.
  bool validate(SharedMem::PyrelId identity, std::string* reason) const {
    auto fail = [reason](std::string text) {
      if (reason) *reason = std::move(text);
      return false;
    };
    if (header_ == nullptr) return fail("slot table not attached");
    SlotHeader header = SlotHeaderCommon::decode(header_);
    if (header.criticalSection()) {
      return fail(fmt::format("bad critical section runtimeFlags:{:x}", header.runtimeFlags));
    }
    if (header.pyrelId != identity.value()) {
      return fail(
          fmt::format("mismatching pyrel:{}, oldPyrel:{}", identity.value(), header.pyrelId));
    }
    if (fixedSize_ && header.slotCount.value != maxSize_) {
      return fail(
          fmt::format("wanted capacity:{} for fixed-size table, but existing file has capacity:{}",
                      maxSize_, header.slotCount.value));
    }
    std::uint64_t size = file_.fileSize();
    if (!SlotHeaderCommon::validate(header, size, reason)) return false;
    if (header.typeName != T::typeName()) {
      return fail(fmt::format("mismatching value type:\"{}\" wanted:\"{}\"", header.typeName,
                              T::typeName()));
    }
    if (header.keyLayout != Info::keyLayout()) {
      return fail(fmt::format("mismatching key layout:{} wanted:{}", header.keyLayout.toString(),
                              Info::keyLayout().toString()));
    }
    if (size < kHeaderSize)
      return fail(fmt::format("bad header file size: {} wanted:{}", size, kHeaderSize));
    std::string message;
    auto wanted = slotFileSize(header.slotCount.value, kSlotSize, &message);
    if (!wanted)
      return fail(fmt::format("bad numSlots: {} message: {}", header.slotCount.value, message));
    if (*wanted > size) {
      return fail(fmt::format("bad shmem size:{} wanted:{} for {} slots", size, *wanted,
                              header.slotCount.value));
    }
    return true;
  }

  // --- geometry -----------------------------------------------------------------
  std::uint32_t numSlots() const { return numSlots_; }
  std::uint32_t maxSlotIndex() const { return maxSlotIndex_; }
  std::uint32_t maxSize() const { return maxSize_; }
  std::uint32_t initialCapacity() const { return initialCapacity_; }
  bool fixedSize() const { return fixedSize_; }
  bool shrinkable() const { return shrinkable_; }
  std::uint32_t shrinkThreshold() const { return shrinkThreshold_; }
  bool attached() const { return header_ != nullptr; }
  std::uint32_t hashSeed() const { return seed_; }

  unsigned char* header() const { return header_; }
  unsigned char* slot(std::uint32_t index) const {
    return slotBase_ + std::size_t{index} * kSlotSize;
  }
  unsigned char* lookaside() const { return header_ + SlotHeaderOffset::lookaside; }
  SharedMem::MappedFile& file() { return file_; }
  SharedMem::MappedFile const& file() const { return file_; }

  // --- slots ------------------------------------------------------------------------
  SlotLink link(std::uint32_t index) const {
    return loadLink(slot(index), std::memory_order_relaxed);
  }
  static Value const* valueAt(unsigned char const* slotAddress) {
    return reinterpret_cast<Value const*>(slotAddress + SlotOffset::value);
  }
  static std::uint32_t rhashAt(unsigned char const* slotAddress) {
    return loadField32(slotAddress, SlotOffset::rhash(Info::kValueSize));
  }

  // --- header fields (the single writer updates whole 8-byte words) --------------
  std::uint32_t occupancy() const { return loadField32(header_, SlotHeaderOffset::occupancy); }
  void occupancyIs(std::uint32_t value) {
    storeField(header_, SlotHeaderOffset::occupancy, value, 4);
    if (value > loadField32(header_, SlotHeaderOffset::largestOccupancy)) {
      storeField(header_, SlotHeaderOffset::largestOccupancy, value, 4);
    }
  }
  std::uint32_t freeListHead() const {
    return loadField32(header_, SlotHeaderOffset::freeListHead);
  }
  void freeListHeadIs(std::uint32_t reference) {
    storeField(header_, SlotHeaderOffset::freeListHead, reference, 4);
  }
  SlotLink countLink() const {
    return loadLink(header_ + SlotHeaderOffset::slotCount, std::memory_order_relaxed);
  }
  std::uint16_t runtimeFlags() const {
    return loadField16(header_, SlotHeaderOffset::runtimeFlags);
  }

  // Critical section: bit 0 of the runtime flags marks a writer operation in
  // progress (a file found with it set may be half-changed), and the writer sequence
  // is odd for the same span so that tools can take consistent snapshots.
  void criticalSectionIs(bool inside) {
    std::uint64_t sequence = loadLong(header_ + SlotHeaderOffset::writerSequence);
    std::uint16_t flags = runtimeFlags();
    if (inside) {
      storeLong(header_ + SlotHeaderOffset::writerSequence, sequence + 1);
      storeField(header_, SlotHeaderOffset::runtimeFlags, flags | kRuntimeFlagCriticalSection, 2);
      // Orders the two stores above before every store of the operation; pairs with
      // the acquire fence a snapshot reader places after its copy.
      std::atomic_thread_fence(std::memory_order_release);
    } else {
      storeField(header_, SlotHeaderOffset::runtimeFlags, flags & ~kRuntimeFlagCriticalSection, 2);
      // Pairs with a snapshot reader's acquire load of the sequence before its copy.
      storeLong(header_ + SlotHeaderOffset::writerSequence, sequence + 1,
                std::memory_order_release);
    }
  }
  bool criticalSection() const { return (runtimeFlags() & kRuntimeFlagCriticalSection) != 0; }

  // A writer killed between the two header stores that open or close an operation
  // leaves the sequence odd with the critical-section bit clear. Nothing was changed
  // at that moment (the operation had not started, or had finished), so the next
  // writer makes the sequence even again; otherwise snapshots would see an operation
  // under way for ever. With the bit set the file is left alone for validation.
  void settleWriterSequence() {
    std::uint64_t sequence = loadLong(header_ + SlotHeaderOffset::writerSequence);
    if ((sequence & 1) == 0 || criticalSection()) return;
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "writer sequence {} left odd; settled to {}",
               sequence, sequence + 1);
    // Pairs with a snapshot reader's acquire load of the sequence, as in
    // criticalSectionIs(false).
    storeLong(header_ + SlotHeaderOffset::writerSequence, sequence + 1, std::memory_order_release);
  }

  // --- growth -------------------------------------------------------------------------
  // Called with an empty free list. False for a fixed-size table (the caller then
  // reports the table full); throws MemoryResourceException when the file cannot
  // grow (nothing changed then) and CorruptionDetectedException on a count mismatch.
  bool grow() {
    std::uint32_t occupied = occupancy();
    if (occupied != numSlots_) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("the slot table is full but numSlots: {} and occupiedSlots: {} are not equal",
                      numSlots_, occupied));
    }
    if (fixedSize_) return false;
    std::uint32_t oldCount = numSlots_;
    std::uint32_t newCount = nextCount(oldCount);
    if (newCount > maxSize_) {
      VORL_TRACE(Debug::slotTable(), kDebugLevel, "overflowing by {} slots", newCount - maxSize_);
    }
    SlotLink oldLink = countLink();
    resizeMapping(oldCount, newCount);
    std::uint32_t head = initializeSlots(oldCount, newCount);
    if (newCount > loadField32(header_, SlotHeaderOffset::largestSlotCount)) {
      storeField(header_, SlotHeaderOffset::largestSlotCount, newCount, 4);
    }
    // Pairs with SlotReaderTable::doResize's acquire load of the count: the new
    // slots' links stored above are visible to a reader that maps the new count, and
    // no chain can reach them before the free-list head below hands one out.
    storeLink(header_ + SlotHeaderOffset::slotCount, SlotLink{oldLink.version + 1, newCount});
    numSlots_ = newCount;
    maxSlotIndex_ = newCount - 1;
    freeListHeadIs(head);
    recomputeShrinkThreshold();
    ++counters_->growths;
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "{} from {} slots to {}", file_.path(),
               fmt::format("{{{},{}}}", oldLink.version, oldLink.value),
               fmt::format("{{{},{}}}", oldLink.version + 1, newCount));
    return true;
  }

  // Doubling up to the maximum, then +10 % (single precision, rounded up).
  std::uint32_t nextCount(std::uint32_t count) const {
    if (count < maxSize_) return std::min(count == 0 ? 1u : 2 * count, maxSize_);
    float grown = static_cast<float>(count) * 1.1f;
    auto next = static_cast<std::uint32_t>(std::ceil(grown));
    return std::max(next, count + 1);
  }

  // Formats [start, end) as a free list start, start + 1, ..., end - 1 ending in null;
  // every slot gets version word 4. The free list must be empty. Returns start.
  std::uint32_t initializeSlots(std::uint32_t start, std::uint32_t end) {
    if (start >= end) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("bad index range, start: {} end: {}", start, end));
    }
    if (freeListHead() != kNullReference) {
      throw Vorl::CorruptionDetectedException("free-list is not empty");
    }
    unsigned char zeros[kBodySize] = {};
    std::uint32_t head = kNullReference;
    for (std::uint32_t index = end; index-- > start;) {
      unsigned char* address = slot(index);
      // No reader can reach these slots yet (the count is published later); the
      // stores are release anyway so that the publication order is the file order.
      storeLink(address, SlotLink{0, kNullReference});
      copyToShared(address + SlotOffset::value, zeros, kBodySize);
      storeLink(address, SlotLink{kVersionStep, head});
      head = index;
    }
    return start;
  }

  // Removes every slot at or above `target` from the free list.
  void purgeFreeSlots(std::uint32_t target) {
    if (target >= numSlots_) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("bad threshold: {} numSlots:{}", target, numSlots_));
    }
    unsigned char* previous = nullptr;  // null: the header's free-list head
    std::uint32_t reference = freeListHead();
    std::uint32_t steps = 0;
    while (!isNull(reference)) {
      std::uint32_t index = indexOf(reference);
      if (isEnd(reference) || index >= numSlots_ || ++steps > numSlots_) {
        throw Vorl::CorruptionDetectedException(
            fmt::format("out-of-range index: {} max:{}", reference, maxSlotIndex_));
      }
      SlotLink current = link(index);
      std::uint32_t next = current.value & ~kMarkFlag;
      if (index >= target) {
        VORL_TRACE(Debug::slotTable(), kDebugLevel, "removing slot id {} from free-list", index);
        if (previous == nullptr) {
          freeListHeadIs(next);
        } else {
          SlotLink before = loadLink(previous, std::memory_order_relaxed);
          // Free slots are never read through by readers' chain walks; release keeps
          // the order of all link stores uniform.
          storeLink(previous, SlotLink{before.version + kVersionStep, next | markOf(before.value)});
        }
      } else {
        previous = slot(index);
      }
      reference = next;
    }
    std::uint32_t occupied = occupancy();
    if (steps + occupied != numSlots_) {
      throw Vorl::CorruptionDetectedException(fmt::format(
          "numSlots mismatch, length of freeList: {}, occupiedSlots: {} do not add up to "
          "numSlots: {}",
          steps, occupied, numSlots_));
    }
  }

  // Publishes the smaller count, then shrinks the mapping and releases the memory
  // above it. Every slot at or above `target` must already be out of all lists.
  void shrink(std::uint32_t target) {
    SlotLink oldLink = countLink();
    // Pairs with SlotReaderTable::doResize's acquire load: a reader that maps the
    // smaller count can no longer reach any slot above it.
    storeLink(header_ + SlotHeaderOffset::slotCount, SlotLink{oldLink.version + 1, target});
    std::uint32_t oldCount = numSlots_;
    numSlots_ = target;
    maxSlotIndex_ = target == 0 ? 0 : target - 1;
    try {
      resizeMapping(oldCount, target);
    } catch (Vorl::MemoryResourceException const& error) {
      // The smaller count is published and no list reaches above it: keeping the
      // larger mapping only keeps some memory mapped.
      VORL_TRACE(Debug::slotTable(), kDebugLevel, "keeping the mapping of {} slots: {}", oldCount,
                 error.what());
    }
    if (!file_.releaseTail(*slotFileSize(target, kSlotSize))) {
      VORL_TRACE(Debug::slotTable(), kDebugLevel, "cannot release memory above {} slots of {}",
                 target, file_.path());
    }
    recomputeShrinkThreshold();
    ++counters_->shrinks;
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "{} from {} slots to {}", file_.path(), oldCount,
               target);
  }

  std::string headerText() const {
    return header_ == nullptr ? std::string("SlotHeader detached")
                              : SlotHeaderCommon::decode(header_).toString();
  }

  void recomputeShrinkThreshold() {
    if (shrinkable_ && !fixedSize_ && numSlots_ > initialCapacity_) {
      shrinkThreshold_ = numSlots_ <= 1 ? 1 : std::bit_floor(numSlots_ - 1);
    } else {
      shrinkThreshold_ = 0;
    }
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "shrinkThreshold_:{}", shrinkThreshold_);
  }

 private:
  void format(SharedMem::PyrelId identity) {
    file_.create();
    file_.fileSizeIs(0);
    std::uint32_t count = initialCapacity_;
    std::string message;
    auto size = slotFileSize(count, kSlotSize, &message);
    if (!size) {
      throw Vorl::MemoryResourceException(
          fmt::format("bad numSlots: {} message: {}", count, message));
    }
    try {
      file_.remapSize(*size);
    } catch (Vorl::MemoryResourceException const& error) {
      // No space for even the first page: leave no file behind.
      file_.remove();
      throw Vorl::MemoryResourceException(
          fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
                      file_.path(), 0, count, *size, error.what()));
    }
    std::random_device random;
    std::uint64_t draw = (std::uint64_t{random()} << 32) | random();
    seed_ = static_cast<std::uint32_t>(draw % 0x7FFFFFFFu);
    SlotHeaderFormat headerFormat;
    headerFormat.valueSize = Info::kValueSize;
    headerFormat.slotSize = kSlotSize;
    headerFormat.initialSlots = initialCapacity_;
    headerFormat.maximumSlots = maxSize_;
    headerFormat.pyrelId = identity.value();
    headerFormat.typeName = std::string(T::typeName());
    headerFormat.typeSize = Info::kValueSize;
    headerFormat.hashSeed = seed_;
    headerFormat.keyLayout = Info::keyLayout();
    headerFormat.headerFlags = static_cast<std::uint8_t>((fixedSize_ ? kHeaderFlagFixedSize : 0) |
                                                         (shrinkable_ ? kHeaderFlagShrinkable : 0));
    SlotHeaderCommon::format(file_.base(), headerFormat);
    header_ = static_cast<unsigned char*>(file_.base());
    slotBase_ = header_ + kHeaderSize;
    numSlots_ = count;
    maxSlotIndex_ = count == 0 ? 0 : count - 1;
    std::uint32_t head = initializeSlots(0, count);
    storeField(header_, SlotHeaderOffset::largestSlotCount, count, 4);
    // Pairs with SlotReaderTable::doResize's acquire load of the count.
    storeLink(header_ + SlotHeaderOffset::slotCount, SlotLink{0, count});
    freeListHeadIs(head);
    recomputeShrinkThreshold();
  }

  void mapSlots(std::uint32_t count) {
    file_.remapSize(*slotFileSize(count, kSlotSize));
    header_ = static_cast<unsigned char*>(file_.base());
    slotBase_ = header_ + kHeaderSize;
    numSlots_ = count;
    maxSlotIndex_ = count == 0 ? 0 : count - 1;
  }

  void resizeMapping(std::uint32_t oldCount, std::uint32_t newCount) {
    std::string message;
    auto size = slotFileSize(newCount, kSlotSize, &message);
    auto* oldBase = file_.base();
    if (!size) {
      throw Vorl::MemoryResourceException(
          fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
                      file_.path(), oldCount, newCount, 0, message));
    }
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "{} from {} to {} slots", file_.path(), oldCount,
               newCount);
    try {
      file_.remapSize(*size);
    } catch (Vorl::MemoryResourceException const& error) {
      throw Vorl::MemoryResourceException(
          fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
                      file_.path(), oldCount, newCount, *size, error.what()));
    }
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "to {} successfully", newCount);
    if (file_.base() != oldBase) {
      VORL_TRACE(Debug::slotTable(), kDebugLevel, "remap base address changed from {} to {}",
                 static_cast<void*>(oldBase), file_.base());
      ++counters_->remaps;
    }
    header_ = static_cast<unsigned char*>(file_.base());
    slotBase_ = header_ + kHeaderSize;
  }

  SharedMem::MappedFile file_;
  unsigned char* header_ = nullptr;
  std::uint32_t numSlots_ = 0;
  std::uint32_t maxSize_;
  std::uint32_t initialCapacity_;
  unsigned char* slotBase_ = nullptr;
  std::uint32_t maxSlotIndex_ = 0;
  WriterCounters* counters_;
  bool fixedSize_;
  bool shrinkable_;
  std::uint32_t shrinkThreshold_ = 0;
  std::uint32_t seed_ = 0;
};

}  // namespace Brell
