// The layout of the store's files: the slot table ("slots") and the bucket table
// ("buckets"). This file owns the format; docs/store-format.md describes it for
// someone writing an independent reader. Every offset below is a contract with
// other processes and is pinned by a static_assert.
//
// "slots" = header (608-byte common header + one lookaside slot) + slot array:
//
//   0                                   608        608+S               608+S+n*S
//   +-----------------------------------+----------+---------+-----+---------+
//   | common header (fields below)      | lookaside| slot 0  | ... | slot n-1|
//   +-----------------------------------+----------+---------+-----+---------+
//
//   one slot (S bytes; S from the geometry table, not a formula):
//   0        8                 8+V     12+V          S
//   +--------+-----------------+-------+-------------+
//   | link   | value (V bytes) | rhash | zero padding|
//   +--------+-----------------+-------+-------------+
//     link = SlotLink {version word, reference word} (see Link.h)
//
// "buckets" = 24-byte header + one SlotLink per bucket:
//   0        8      12        16                 24       24+8b
//   +--------+------+---------+------------------+--------+-----
//   | magic  | pyrel| checksum| count VersionedRef| head 0 | head 1 ...
//   +--------+------+---------+------------------+--------+-----
//
// The list. All occupied slots form ONE list ordered by ascending (rhash, key);
// rhash = bit-reversed hash, compared unsigned; equal rhash broken by the key
// compared field by field as unsigned numbers. With 2^k buckets, bucket b holds the
// keys whose low k hash bits are b, i.e. whose top k rhash bits are b reversed, so
// each bucket is one contiguous run of the list and the runs follow each other in
// bit-reversed bucket order. Each run ends with an end marker (bit 31 set) naming
// the next bucket in that order; the last run (bucket 2^k - 1) ends with the null
// reference 0xBFFFFFFF. An empty bucket's head is itself its end marker. This is
// what lets the writer split bucket b into b and b + N, and merge them back, in
// place: the keys of b + N under 2N buckets are the tail of b's run under N.
//
// Free slots form the free list from the header's free-list head, linked through
// their reference words, ending in 0xBFFFFFFF. Every slot is in exactly one place:
// one bucket's run, or the free list (or, between directWrite and directCommit, the
// writer's hands).
//
// Consistent reads. A slot's value is read under its version word like a seqlock:
// version, copy, version again, repeat until equal. While the writer rewrites an
// occupied slot in place it first copies the old value and rhash into the lookaside
// slot and sets bit 1 of the slot's version; a reader seeing bit 1 copies the
// lookaside slot instead, so it always gets the complete old or complete new value.
// A version only orders one life of a slot (a shrink then a growth format the slot
// afresh with version 4), so a copy also needs the slot count unchanged since the
// reader mapped it: the count's version goes up on every resize and never repeats.
// Slots below the initial slot count live once (compaction never goes below it)
// and need no such check.
//
// Every shared word is read and written as an aligned 8-byte atomic (Link.h).
#pragma once

#include "platform/plugin/Export.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/Link.h"

namespace Brell {

inline constexpr char const* kSlotFileName = "slots";

// Byte offsets of the common slot header.
namespace SlotHeaderOffset {
inline constexpr std::size_t magic = 0;               // u64 "HTBSLOTS"
inline constexpr std::size_t formatVersion = 8;       // u32
inline constexpr std::size_t commonHeaderSize = 12;   // u32, 608
inline constexpr std::size_t pyrelId = 16;            // u32 restart identity of the formatter
inline constexpr std::size_t reserved20 = 20;         // u32, 0
inline constexpr std::size_t valueSize = 24;          // u32 V
inline constexpr std::size_t slotSize = 28;           // u32 S
inline constexpr std::size_t initialSlots = 32;       // u32
inline constexpr std::size_t maximumSlots = 36;       // u32 configured maximum
inline constexpr std::size_t reserved40 = 40;         // u32, 0
inline constexpr std::size_t typeSize = 44;           // u32, V again
inline constexpr std::size_t keySize = 48;            // u32 bytes of the key's fields
inline constexpr std::size_t keyFieldCount = 52;      // u8, 0 = key layout not recorded
inline constexpr std::size_t keyFields = 56;          // 8 x {u8 offset in value, u8 width}
inline constexpr std::size_t writerSequence = 72;     // u64, odd while a writer op runs
inline constexpr std::size_t creationTime = 80;       // u64 ns since the epoch
inline constexpr std::size_t creatorProcess = 88;     // u32
inline constexpr std::size_t checksum = 92;           // u32 over [0,72) and [96,352)
inline constexpr std::size_t typeName = 96;           // char[256], NUL-padded
inline constexpr std::size_t headerFlags = 556;       // u8: bit 0 fixed-size, bit 1 shrinkable
inline constexpr std::size_t runtimeFlags = 558;      // u16: bit 0 critical section
inline constexpr std::size_t occupancy = 564;         // u32
inline constexpr std::size_t freeListHead = 568;      // u32 slot index or 0xBFFFFFFF
inline constexpr std::size_t largestSlotCount = 572;  // u32
inline constexpr std::size_t hashSeed = 576;          // u32
inline constexpr std::size_t slotCount = 584;         // VersionedRef<u32>: version, count
inline constexpr std::size_t largestOccupancy = 592;  // u32
inline constexpr std::size_t lookaside = 608;         // one slot of S bytes
}  // namespace SlotHeaderOffset

inline constexpr std::size_t kCommonHeaderSize = 608;
inline constexpr std::size_t kTypeNameBytes = 256;
inline constexpr std::size_t kMaxKeyFields = 8;
inline constexpr std::uint64_t kSlotMagic = 0x53544F4C53425448ull;  // "HTBSLOTS" little-endian
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::uint8_t kHeaderFlagFixedSize = 1;
inline constexpr std::uint8_t kHeaderFlagShrinkable = 2;
inline constexpr std::uint16_t kRuntimeFlagCriticalSection = 1;

static_assert(SlotHeaderOffset::pyrelId == 16);
static_assert(SlotHeaderOffset::headerFlags == 556);
static_assert(SlotHeaderOffset::runtimeFlags == 558);
static_assert(SlotHeaderOffset::occupancy == 564);
static_assert(SlotHeaderOffset::freeListHead == 568);
static_assert(SlotHeaderOffset::largestSlotCount == 572);
static_assert(SlotHeaderOffset::hashSeed == 576);
static_assert(SlotHeaderOffset::slotCount == 584 && SlotHeaderOffset::slotCount % 8 == 0);
static_assert(SlotHeaderOffset::largestOccupancy == 592);
static_assert(SlotHeaderOffset::lookaside == kCommonHeaderSize && kCommonHeaderSize % 8 == 0);
static_assert(SlotHeaderOffset::writerSequence % 8 == 0);
static_assert(SlotHeaderOffset::keyFields + 2 * kMaxKeyFields == SlotHeaderOffset::writerSequence);
static_assert(SlotHeaderOffset::typeName + kTypeNameBytes <= SlotHeaderOffset::headerFlags);

// Byte offsets within one slot (V = value size).
namespace SlotOffset {
inline constexpr std::size_t link = 0;
inline constexpr std::size_t value = 8;
constexpr std::size_t rhash(std::size_t valueSize) {
  return 8 + valueSize;
}
}  // namespace SlotOffset

// Byte offsets of the bucket file.
namespace BucketOffset {
inline constexpr std::size_t magic = 0;      // u64 "HTBBUCKT"
inline constexpr std::size_t pyrelId = 8;    // u32
inline constexpr std::size_t checksum = 12;  // u32 over [0,12)
inline constexpr std::size_t count = 16;     // VersionedRef<u32>: version, bucket count
inline constexpr std::size_t heads = 24;     // one SlotLink per bucket
}  // namespace BucketOffset
inline constexpr std::size_t kBucketHeaderSize = 24;
inline constexpr std::uint64_t kBucketMagic = 0x54434B5542425448ull;  // "HTBBUCKT" little-endian
static_assert(BucketOffset::count == 16 && BucketOffset::heads == kBucketHeaderSize);

// The slot size S of a value size V. The four sizes the system's tables use are
// fixed by the file format and are NOT a formula (12 -> 32, 20 -> 40); other value
// sizes (any multiple of 4) take the smallest multiple of 8 that holds link, value
// and rhash.
constexpr std::uint32_t slotSizeFor(std::uint32_t valueSize) {
  switch (valueSize) {
    case 8:
      return 24;
    case 12:
      return 32;
    case 16:
      return 32;
    case 20:
      return 40;
    default:
      return (valueSize + 12 + 7) / 8 * 8;
  }
}
static_assert(slotSizeFor(8) == 24 && slotSizeFor(12) == 32 && slotSizeFor(16) == 32 &&
              slotSizeFor(20) == 40);

constexpr std::uint32_t headerSizeFor(std::uint32_t slotSize) {
  return static_cast<std::uint32_t>(kCommonHeaderSize) + slotSize;
}
static_assert(headerSizeFor(24) == 632 && headerSizeFor(32) == 640 && headerSizeFor(40) == 648);

// size(n) = header size + n * S. nullopt (with a message) when n cannot be addressed
// by a reference or the size does not fit in memory.
HWTABLES_API std::optional<std::uint64_t> slotFileSize(std::uint64_t slotCount, std::uint32_t slotSize,
                                          std::string* message = nullptr);
constexpr std::uint64_t bucketFileSize(std::uint64_t bucketCount) {
  return kBucketHeaderSize + 8 * bucketCount;
}

// The first slot count of a table that is not fixed-size: the largest power of two n
// with header size + n * S <= page size (1 when not even one slot fits).
constexpr std::uint32_t initialCapacityFor(std::uint32_t slotSize, std::uint32_t pageSize) {
  std::uint32_t header = headerSizeFor(slotSize);
  std::uint32_t quotient = pageSize > header ? (pageSize - header) / slotSize : 0;
  if (quotient == 0) return 1;
  std::uint32_t power = 1;
  while (power <= quotient / 2) power *= 2;
  return power;
}
static_assert(initialCapacityFor(24, 4096) == 128 && initialCapacityFor(40, 4096) == 64);

// How the key lies in the value, recorded in the header so that tools can hash and
// order keys without knowing the value type. Field widths are 1 or 4 bytes (hashed
// as such); fieldCount 0 means "not recorded".
struct HWTABLES_API KeyField {
  std::uint8_t offset = 0;
  std::uint8_t width = 0;
  constexpr bool operator==(KeyField const&) const = default;
};

struct HWTABLES_API KeyLayout {
  std::uint8_t fieldCount = 0;
  std::array<KeyField, kMaxKeyFields> fields{};

  constexpr bool operator==(KeyLayout const&) const = default;
  constexpr std::uint32_t size() const {
    std::uint32_t bytes = 0;
    for (std::size_t index = 0; index < fieldCount; ++index) bytes += fields[index].width;
    return bytes;
  }
  // True when every field is 1 or 4 bytes wide and lies inside a value of `valueSize`.
  bool fitsValue(std::uint32_t valueSize) const;
  // hash(key) of a value in memory, as Tyvo::Hash fed field by field.
  std::uint32_t hash(unsigned char const* value, std::uint32_t seed) const;
  // Key order, field by field as unsigned numbers: <0, 0, >0.
  int compare(unsigned char const* left, unsigned char const* right) const;
  std::string toString() const;
};

// Order of buckets in the list: with 2^k buckets, bucket b's run is the
// reverse_k(b)-th. nextBucket returns the bucket whose run follows b's, or nullopt
// for the last bucket (2^k - 1).
constexpr std::uint32_t bucketPosition(std::uint32_t bucket, std::uint32_t bucketCount) {
  if (bucketCount <= 1) return 0;
  int bits = std::countr_zero(bucketCount);
  return reverseBits(bucket) >> (32 - bits);
}
constexpr std::optional<std::uint32_t> nextBucket(std::uint32_t bucket, std::uint32_t bucketCount) {
  std::uint32_t position = bucketPosition(bucket, bucketCount) + 1;
  if (position >= bucketCount) return std::nullopt;
  return bucketPosition(position, bucketCount);  // reversal is its own inverse
}
// The reference that ends bucket b's run: a marker naming the next bucket, or null.
constexpr std::uint32_t runEnd(std::uint32_t bucket, std::uint32_t bucketCount) {
  auto next = nextBucket(bucket, bucketCount);
  return next ? endMarker(*next) : kNullReference;
}
static_assert(runEnd(3, 16) == (kEndFlag | 11) && runEnd(15, 16) == kNullReference &&
              runEnd(0, 8) == (kEndFlag | 4));

}  // namespace Brell
