// Links and shared-memory access primitives of the store.
//
// A link (Brell::SlotLink, a Mem::VersionedRef<u32>) is 8 bytes: a 32-bit version
// word followed by a 32-bit reference word. It is always read and written as ONE
// 8-byte atomic access on the mapping, so a reader sees either the whole old or the
// whole new link, never half of each.
//
//   version word:   bit 0   occupied (slots only)
//                   bit 1   value being rewritten (slots only; see the lookaside slot)
//                   bits 2+ change counter: +4 on every change of the reference word
//   reference word: bits 0-29  slot index, or (bit 31 set) the bucket where the list
//                              continues
//                   bit 30     mark-and-sweep flag of the slot's entry (travels with
//                              the entry, never used by chain walks)
//                   bit 31     end-of-chain marker
//                   0xBFFFFFFF the null reference: end of the whole list / free list
//
// Memory ordering. The writer publishes with release stores; readers load links with
// acquire loads, so everything the writer stored before a link (slot value, rhash,
// the slot's own link) is visible to a reader that saw the link. Non-link fields
// that readers also read (values, rhash, header counters) are accessed as relaxed
// 8-byte atomics on both sides, so concurrent access is never a data race; their
// consistency comes from the version words (seqlock, see SlotLayout.h).
//
// Everything here is little-endian by contract; the static_assert below refuses a
// big-endian build rather than writing files nobody else can read.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Mem {

// A value with a version word in front of it, stored and loaded as one unit.
template <class T>
struct VersionedRef {
  static_assert(sizeof(T) == 4, "a VersionedRef is one 8-byte word: version, then value");
  std::uint32_t version = 0;
  T value{};

  // One 8-byte comparison where the value allows it: links are compared on every
  // step of every walk.
  constexpr bool operator==(VersionedRef const& other) const {
    if constexpr (std::is_trivially_copyable_v<T>) {
      return std::bit_cast<std::uint64_t>(*this) == std::bit_cast<std::uint64_t>(other);
    } else {
      return version == other.version && value == other.value;
    }
  }
};

}  // namespace Mem

namespace Brell {

static_assert(std::endian::native == std::endian::little, "store files are little-endian");

using SlotLink = Mem::VersionedRef<std::uint32_t>;
static_assert(sizeof(SlotLink) == 8 && offsetof(SlotLink, version) == 0 &&
              offsetof(SlotLink, value) == 4);

inline constexpr std::uint32_t kIndexMask = 0x3FFFFFFFu;
inline constexpr std::uint32_t kMarkFlag = 0x40000000u;
inline constexpr std::uint32_t kEndFlag = 0x80000000u;
inline constexpr std::uint32_t kNullReference = 0xBFFFFFFFu;
// The largest slot count a reference can address.
inline constexpr std::uint32_t kMaxSlots = kIndexMask;

inline constexpr std::uint32_t kOccupiedBit = 1u;
inline constexpr std::uint32_t kRewriteBit = 2u;
inline constexpr std::uint32_t kVersionStep = 4u;

constexpr bool isEnd(std::uint32_t reference) {
  return (reference & kEndFlag) != 0;
}
constexpr bool isNull(std::uint32_t reference) {
  return reference == kNullReference;
}
constexpr std::uint32_t indexOf(std::uint32_t reference) {
  return reference & kIndexMask;
}
constexpr std::uint32_t markOf(std::uint32_t reference) {
  return reference & kMarkFlag;
}
constexpr std::uint32_t endMarker(std::uint32_t bucket) {
  return kEndFlag | bucket;
}

constexpr std::uint64_t pack(SlotLink link) {
  return std::uint64_t{link.version} | (std::uint64_t{link.value} << 32);
}
constexpr SlotLink unpack(std::uint64_t word) {
  return SlotLink{static_cast<std::uint32_t>(word), static_cast<std::uint32_t>(word >> 32)};
}

// std::atomic_ref needs a non-const object even for a load; loads never write, so
// this is sound also on a PROT_READ mapping.
template <class T>
inline T* mutableAddress(void const* address) {
  return static_cast<T*>(const_cast<void*>(address));
}

inline SlotLink loadLink(void const* address, std::memory_order order = std::memory_order_acquire) {
  return unpack(
      std::atomic_ref<std::uint64_t>(*mutableAddress<std::uint64_t>(address)).load(order));
}

inline void storeLink(void* address, SlotLink link,
                      std::memory_order order = std::memory_order_release) {
  std::atomic_ref<std::uint64_t>(*static_cast<std::uint64_t*>(address)).store(pack(link), order);
}

inline std::uint32_t loadWord(void const* address,
                              std::memory_order order = std::memory_order_relaxed) {
  return std::atomic_ref<std::uint32_t>(*mutableAddress<std::uint32_t>(address)).load(order);
}

inline void storeWord(void* address, std::uint32_t value,
                      std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(address)).store(value, order);
}

inline std::uint64_t loadLong(void const* address,
                              std::memory_order order = std::memory_order_relaxed) {
  return std::atomic_ref<std::uint64_t>(*mutableAddress<std::uint64_t>(address)).load(order);
}

inline void storeLong(void* address, std::uint64_t value,
                      std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<std::uint64_t>(*static_cast<std::uint64_t*>(address)).store(value, order);
}

// Copies `bytes` (a multiple of 8) from private memory into the mapping as relaxed
// 8-byte atomic stores. Ordering is the caller's: it publishes with a link store.
// Every shared field is accessed in whole aligned 8-byte words by everyone, so no
// access ever overlaps another of a different size.
inline void copyToShared(void* target, void const* source, std::size_t bytes) {
  auto* words = static_cast<std::uint64_t*>(target);
  auto const* from = static_cast<unsigned char const*>(source);
#pragma GCC unroll 8
  for (std::size_t offset = 0; offset < bytes; offset += 8) {
    std::uint64_t word;
    std::memcpy(&word, from + offset, 8);
    storeLong(words + offset / 8, word);
  }
}

// Copies `bytes` (a multiple of 8) from the mapping into private memory as relaxed
// 8-byte atomic loads. The caller validates the copy with a version word.
inline void copyFromShared(void* target, void const* source, std::size_t bytes) {
  auto const* words = static_cast<std::uint64_t const*>(source);
  auto* to = static_cast<unsigned char*>(target);
#pragma GCC unroll 8
  for (std::size_t offset = 0; offset < bytes; offset += 8) {
    std::uint64_t word = loadLong(words + offset / 8);
    std::memcpy(to + offset, &word, 8);
  }
}

// A 32-bit field at a 4-aligned offset, read from its containing 8-byte word.
inline std::uint32_t loadField32(void const* base, std::size_t offset) {
  std::uint64_t word =
      loadLong(static_cast<unsigned char const*>(base) + (offset & ~std::size_t{7}));
  return static_cast<std::uint32_t>(word >> ((offset & 4) * 8));
}

// The 2-byte field at `offset` (even) through one 8-byte load of its containing word.
inline std::uint16_t loadField16(void const* base, std::size_t offset) {
  std::uint64_t word =
      loadLong(static_cast<unsigned char const*>(base) + (offset & ~std::size_t{7}));
  return static_cast<std::uint16_t>(word >> ((offset & 6) * 8));
}

// Replaces `width` bytes at `offset` inside their containing 8-byte word with one
// 8-byte store. Only the single writer calls this, so the read-modify-write cannot
// lose a concurrent update.
inline void storeField(void* base, std::size_t offset, std::uint64_t value, std::size_t width,
                       std::memory_order order = std::memory_order_relaxed) {
  auto* wordAddress = static_cast<unsigned char*>(base) + (offset & ~std::size_t{7});
  std::uint64_t word = loadLong(wordAddress);
  unsigned shift = static_cast<unsigned>((offset & 7) * 8);
  std::uint64_t mask = width == 8 ? ~std::uint64_t{0} : ((std::uint64_t{1} << (width * 8)) - 1);
  word = (word & ~(mask << shift)) | ((value & mask) << shift);
  storeLong(wordAddress, word, order);
}

// Bit reversal: bit 0 becomes bit 31. rhash(key) = reverseBits(hash(key)).
// Reverses the bits inside each byte, then the bytes with one byte swap (every
// lookup computes this, so the last two swap stages are one instruction).
constexpr std::uint32_t reverseBits(std::uint32_t value) {
  value = ((value >> 1) & 0x55555555u) | ((value & 0x55555555u) << 1);
  value = ((value >> 2) & 0x33333333u) | ((value & 0x33333333u) << 2);
  value = ((value >> 4) & 0x0F0F0F0Fu) | ((value & 0x0F0F0F0Fu) << 4);
  return __builtin_bswap32(value);
}
static_assert(reverseBits(1u) == 0x80000000u && reverseBits(0x0000000Bu) == 0xD0000000u &&
              reverseBits(0x80000000u) == 1u && reverseBits(0x12345678u) == 0x1E6A2C48u);

}  // namespace Brell
