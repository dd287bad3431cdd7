// A reader's view of the slot file ("slots"), mapped read-only.
//
// The reader never trusts the file: it copies the header under the slot-count
// version, checks every size against the real file length before mapping it, and
// bounds-checks every index before use (callers do the index checks against
// numSlots()). Slots are read with readSlot(), a seqlock read that takes the
// lookaside copy while the writer rewrites the slot.
//
// The cached slot-count VersionedRef starts at version 0xFFFFFFFF, so the first
// doResize() after attach always maps the slots.
//
// Thread-safety: one thread per reader object; any number of readers in any process.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/PyrelId.h"
#include "store/Debug.h"
#include "store/Link.h"
#include "store/SlotHeader.h"
#include "store/SlotLayout.h"
#include "store/Traits.h"

namespace Brell {

template <StoreTraits T>
class SlotReaderTable {
 public:
  using Info = TraitsInfo<T>;
  static constexpr std::uint32_t kSlotSize = Info::kSlotSize;
  static constexpr std::uint32_t kHeaderSize = Info::kHeaderSize;
  static constexpr std::uint32_t kBodySize = Info::kBodySize;
  static constexpr std::uint32_t kValueSize = Info::kValueSize;

  // A slot's body (value, rhash, padding) as copied by readSlot.
  struct Body {
    alignas(8) unsigned char bytes[kBodySize];
    std::uint32_t rhash() const {
      std::uint32_t value;
      std::memcpy(&value, bytes + Info::kRhashOffset, 4);
      return value;
    }
    typename T::Value value() const {
      typename T::Value copy;
      copyValueTo(copy);
      return copy;
    }
    // The body was filled by 8-byte stores (copyFromShared); reading it back in the
    // same pieces (and a 4-byte tail) lets every load take its bytes straight from
    // one store. A plain memcpy of a 20-byte value reads 16 bytes at once across two
    // of those stores, which the processor cannot forward and stalls on.
    void copyValueTo(typename T::Value& target) const {
      auto* to = reinterpret_cast<unsigned char*>(&target);
      constexpr std::size_t kWholeWords = sizeof(typename T::Value) / 8 * 8;
#pragma GCC unroll 8
      for (std::size_t offset = 0; offset < kWholeWords; offset += 8) {
        std::memcpy(to + offset, bytes + offset, 8);
      }
      if constexpr (sizeof(typename T::Value) % 8 != 0) {
        std::memcpy(to + kWholeWords, bytes + kWholeWords, sizeof(typename T::Value) % 8);
      }
    }
  };

  SlotReaderTable(SharedMem::MappedFile file, ReaderCounters& counters)
      : file_(std::move(file)), counters_(&counters) {}

  bool attach() {
    detach();
    if (!file_.open(SharedMem::MappedFile::Access::readOnly)) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "no shared memory region");
      return false;
    }
    std::uint64_t size = file_.fileSize();
    if (size < kHeaderSize) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "cannot attach to shmem size:{}", size);
      file_.close();
      return false;
    }
    file_.mapSize(kHeaderSize);
    copyHeader();
    VORL_TRACE(Debug::reader(), kDebugLevel, "{}", header_.toString());
    cached_ = SlotLink{0xFFFFFFFFu, 0};
    seed_ = header_.hashSeed;
    // Compaction never takes the table below its initial count, which the writer
    // derives from the page size (fixed-size tables never shrink at all). The
    // smaller of that and the header's figure is safe even for a damaged header.
    stableSlots_ = std::min(
        header_.initialSlots,
        initialCapacityFor(kSlotSize, SharedMem::MappedFile::pageSize()));
    base_ = static_cast<unsigned char const*>(file_.base());
    slotBase_ = nullptr;
    numSlots_ = 0;
    quickSlots_ = 0;
    return true;
  }

  bool attached() const { return base_ != nullptr; }

  void detach() {
    VORL_TRACE(Debug::reader(), kDebugLevel, "delegating to SlotTable::detach()");
    file_.unmap();
    file_.close();
    base_ = nullptr;
    slotBase_ = nullptr;
    numSlots_ = 0;
    quickSlots_ = 0;
    stableSlots_ = 0;
    cached_ = SlotLink{0xFFFFFFFFu, 0};
  }

  // The header checks a reader makes before trusting the file.
  bool validate(SharedMem::PyrelId identity, std::string* reason) {
    auto fail = [reason](std::string text) {
      if (reason) *reason = std::move(text);
      return false;
    };
    if (!attached()) return fail("slot table not attached");
    copyHeader();
    std::uint64_t size = file_.fileSize();
    if (!SlotHeaderCommon::validate(header_, size, reason)) return false;
    if (header_.pyrelId != identity.value()) {
      return fail(
          fmt::format("mismatching pyrel:{}, oldPyrel:{}", identity.value(), header_.pyrelId));
    }
    if (header_.valueSize != Info::kValueSize || header_.slotSize != kSlotSize) {
      return fail(fmt::format("value size:{} slot size:{} but this reader reads {} and {}",
                              header_.valueSize, header_.slotSize, Info::kValueSize, kSlotSize));
    }
    if (header_.typeName != T::typeName()) {
      return fail(fmt::format("mismatching value type:\"{}\" wanted:\"{}\"", header_.typeName,
                              T::typeName()));
    }
    std::string message;
    auto wanted = slotFileSize(header_.slotCount.value, kSlotSize, &message);
    if (!wanted) {
      return fail(fmt::format("bad numSlots: {} message: {}", header_.slotCount.value, message));
    }
    if (*wanted > size) {
      return fail(fmt::format("bad shmem size:{} wanted:{} for {} slots", size, *wanted,
                              header_.slotCount.value));
    }
    return true;
  }

  // Remaps when the writer changed the slot count; true when it did. Damage (a count
  // the file cannot hold) raises CorruptionDetectedException.
  bool doResize() {
    if (!attached()) return false;
    // Pairs with the writer's release store of the count (grow, shrink, format).
    SlotLink live = loadLink(base_ + SlotHeaderOffset::slotCount);
    if (live == cached_) return false;
    copyHeader();
    std::uint32_t count = header_.slotCount.value;
    std::string message;
    auto size = slotFileSize(count, kSlotSize, &message);
    if (!size) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("bad newNumSlots:{} message:{}", count, message));
    }
    std::uint64_t fileSize = file_.fileSize();
    if (*size > fileSize) {
      throw Vorl::CorruptionDetectedException(fmt::format(
          "requesting to map {} {} slots. Requested file resize to {} but real file size is {}",
          file_.path(), count, *size, fileSize));
    }
    VORL_TRACE(Debug::reader(), kDebugLevel, "{} from {} slots to {}", file_.path(), numSlots_,
               count);
    void const* oldBase = file_.base();
    try {
      file_.remapSize(*size);
    } catch (Vorl::MemoryResourceException const& error) {
      throw Vorl::MemoryResourceException(
          fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
                      file_.path(), numSlots_, count, *size, error.what()));
    }
    if (file_.base() != oldBase) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "changed base address mapping from {} to {}",
                 oldBase, file_.base());
      ++counters_->remaps;
    }
    base_ = static_cast<unsigned char const*>(file_.base());
    cached_ = header_.slotCount;
    slotBase_ = base_ + kHeaderSize;
    numSlots_ = count;
    quickSlots_ = std::min(count, stableSlots_);
    VORL_TRACE(Debug::reader(), kDebugLevel, "successful");
    return true;
  }

  // True when the mapping matches the writer's published slot count (the cheap test
  // that lets a lookup skip doResize()).
  bool countCurrent() const {
    // Pairs with the writer's release store of the count (grow, shrink, format).
    return base_ != nullptr && loadLink(base_ + SlotHeaderOffset::slotCount) == cached_;
  }

  // True when a copy of slot `index` validated by its version belongs to the life
  // of the slot this mapping was made in (see readSlot()).
  bool lifeCurrent(std::uint32_t index) const { return index < stableSlots_ || countCurrent(); }
  // The slots that never leave the table: those below its initial count.
  std::uint32_t stableSlots() const { return stableSlots_; }
  // The slots readStableValue() may read: mapped and below the initial count; none
  // while detached. One comparison against it stands for every check of readSlot()'s
  // index (mapped, in this mapping, in its only life).
  std::uint32_t quickSlots() const { return quickSlots_; }

  std::uint32_t numSlots() const { return numSlots_; }
  std::uint32_t hashSeed() const { return seed_; }
  SlotHeader const& header() const { return header_; }
  SlotLink cachedCount() const { return cached_; }
  unsigned char const* base() const { return base_; }
  unsigned char const* slot(std::uint32_t index) const {
    return slotBase_ + std::size_t{index} * kSlotSize;
  }
  // The live occupancy from the mapping.
  std::uint32_t occupancy() const {
    return attached() ? loadField32(base_, SlotHeaderOffset::occupancy) : 0;
  }
  std::string headerText() {
    if (!attached()) return "SlotHeader detached";
    copyHeader();
    return header_.toString();
  }

  // Seqlock read of slot `index` (already bounds-checked): copies its body (or the
  // lookaside copy while bit 1 is set) until the version is the same before and
  // after. Returns the link seen, or a free link {0, 0} when the slot count changed
  // since this mapping was made (see below): callers treat that like any free slot
  // met in a walk, remap and retry.
  //
  // A slot's version word only orders the states of one life of the slot: when the
  // writer shrinks the table below a slot and grows it again, the growth formats the
  // slot afresh with version 4, and the next entry written into it goes through the
  // same versions as the entry before. A reader preempted between its two version
  // loads can thus find the very link it started with (same version, same next
  // slot, often the same key) over a body copied half from the old entry and half
  // from the new one. The slot count's version goes up on every shrink and growth and
  // never repeats, so it tells the lives apart: a copy is only good while the count
  // is still the one this mapping was made for. The slots below the initial count
  // never leave the table, so they live once and need no such test (stableSlots()):
  // a small table is read without touching the header line that the lookaside copy
  // of every rewrite shares with the count.
  [[gnu::always_inline]] SlotLink readSlot(std::uint32_t index, Body& body) const {
    unsigned char const* address = slot(index);
    for (;;) {
      // Pairs with the writer's release stores of this slot's link.
      SlotLink before = loadLink(address);
      unsigned char const* source = address + SlotOffset::value;
      if ((before.version & kRewriteBit) != 0) {
        ++counters_->lookasideReads;
        source = base_ + SlotHeaderOffset::lookaside + SlotOffset::value;
      }
      copyFromShared(body.bytes, source, kBodySize);
      // Pairs with the writer's release fences in ChainWriter::rewriteValue: if the
      // copy saw any store made after a version change, the load below sees that
      // change.
      std::atomic_thread_fence(std::memory_order_acquire);
      // Acquire: if this load sees a link stored after a shrink (the slot's next
      // life), the count load below sees that shrink's count.
      SlotLink after = loadLink(address);
      if (after != before) continue;
      if (!lifeCurrent(index)) [[unlikely]]
        return SlotLink{};
      return before;
    }
  }

  // readSlot()'s common case, for a slot below quickSlots() (the caller checks): the
  // value of `key` in an occupied slot that is not being rewritten, copied straight
  // into `value` in 8-byte loads, and accepted when the copy holds `key` and the
  // slot's link is the same after the copy as before it. Such a slot lives once, so
  // an unchanged link means an unchanged body. The key is compared before the second
  // link load, so that the branch on it does not wait for that load; a torn copy
  // that compares equal is still refused by the link. False (with `value` left
  // undefined) for a free slot, a slot being rewritten, one holding another key or
  // one that changed during the copy: readSlot() answers those.
  [[gnu::always_inline]] bool readStableValue(std::uint32_t index, typename T::Key const& key,
                                              typename T::Value& value) const {
    unsigned char const* address = slot(index);
    // Pairs with the writer's release stores of this slot's link.
    SlotLink before = loadLink(address);
    if ((before.version & (kOccupiedBit | kRewriteBit)) != kOccupiedBit) [[unlikely]]
      return false;
    copyValueFromShared(value, address + SlotOffset::value);
    if (T::compare(T::key(value), key) != 0) [[unlikely]]
      return false;
    // As in readSlot(): a copy that saw any store of a rewrite sees its version below.
    std::atomic_thread_fence(std::memory_order_acquire);
    return loadLink(address) == before;
  }

 private:
  // The value's bytes in 8-byte loads; a value that ends inside a word (12 and 20
  // bytes) takes the rest of that word from the body, which always follows the value
  // with its rhash. Each word is stored into `target` on its own: one copy of a
  // buffer of words would be stored and read back in wider pieces, which the
  // processor cannot forward.
  static void copyValueFromShared(typename T::Value& target, unsigned char const* source) {
    constexpr std::size_t kValue = sizeof(typename T::Value);
    static_assert(kValue % 8 == 0 || kValue / 8 * 8 + 8 <= kBodySize);
    constexpr std::size_t kWords = (kValue + 7) / 8;
    auto* to = reinterpret_cast<unsigned char*>(&target);
    if constexpr (kWords <= kRegisterWords) {
      // Every word is loaded before any is stored: the compiler does not carry a
      // value stored to `target` past a later atomic load, so with the stores in
      // between the caller's key compare would read the key back from memory.
      std::uint64_t words[kWords];
#pragma GCC unroll 8
      for (std::size_t word = 0; word < kWords; ++word) words[word] = loadLong(source + 8 * word);
#pragma GCC unroll 8
      for (std::size_t word = 0; word < kWords; ++word) {
        std::memcpy(to + 8 * word, &words[word], std::min<std::size_t>(8, kValue - 8 * word));
      }
    } else {
      for (std::size_t word = 0; word < kWords; ++word) {
        std::uint64_t bits = loadLong(source + 8 * word);
        std::memcpy(to + 8 * word, &bits, std::min<std::size_t>(8, kValue - 8 * word));
      }
    }
  }
  // Values up to this many words are loaded whole into registers first.
  static constexpr std::size_t kRegisterWords = 4;

  void copyHeader() {
    alignas(8) unsigned char copy[kCommonHeaderSize + 8];
    SlotHeaderCommon::consistentCopy(copy, file_.base(), sizeof copy);
    header_ = SlotHeaderCommon::decode(copy);
  }

  SharedMem::MappedFile file_;
  ReaderCounters* counters_;
  SlotHeader header_;
  SlotLink cached_{0xFFFFFFFFu, 0};
  unsigned char const* base_ = nullptr;
  unsigned char const* slotBase_ = nullptr;
  std::uint32_t numSlots_ = 0;
  std::uint32_t quickSlots_ = 0;  // min(numSlots_, stableSlots_), 0 while detached
  std::uint32_t stableSlots_ = 0;
  std::uint32_t seed_ = 0;
};

}  // namespace Brell
