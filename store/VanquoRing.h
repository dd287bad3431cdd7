// The change-notification ring of a store: the file "notifications" in the store's
// directory, its layout, and the file and futex primitives shared by the ring's
// writer (VanquoWriter.h) and readers (VanquoReader.h). This file owns the format;
// docs/store-format.md describes it for someone writing an independent reader.
//
//   0        256                256 + 8 * capacity   wait offset       + one page
//   +--------+------------------+------------------+-+-----------------+
//   | header | entries          | (rest of the     | | wait page       |
//   |        | (capacity x 8)   |  last page)      | |                 |
//   +--------+------------------+------------------+-+-----------------+
//
// The ring is sized to its table: the writer asks for the next power of two at or
// above the store's maximum size (ringCapacityFor), and a ring never has fewer
// entries than fit in the pages it takes anyway. A 64-entry table's ring is two
// pages: header and entries, and the wait page. The capacity is recorded in the
// header; readers trust it only after validating the header (magic, version,
// checksum, capacity, offsets, file length). Correctness never depends on it: a
// reader the writer laps resynchronises from the slot table.
//
// Header (written by the writer only; readers map the file PROT_READ):
//   0    u64  magic "HTBNOTIF"
//   8    u32  format version (2)
//   12   u32  capacity: entries in the ring, a power of two
//   16   u32  entry offset (256)
//   20   u32  restart identity (pyrel) of the store the writer attached to
//   24   u64  creation time of the ring, ns since the epoch
//   32   u32  checksum of bytes 0..39 with this field zero
//   36   u32  wait offset: where the wait page starts, a multiple of 4096 at or after
//             the end of the entries (the system's page size rounds it up)
//   64   u64  writer process id (low 32 bits; 0 = no writer: detached or replaced)
//   72   u64  writer start time (clock ticks since boot, SharedMem::ProcessIdentity)
//   128  u64  head: the sequence the next notification will carry
// Wait page (the only bytes a reader ever writes, through a mapping of that page):
//   0    u32  wake word: the writer adds 1 before every wake-up (the futex word)
//   64   u32  sleeps: every reader adds 1 each time it is about to sleep; nobody
//             ever subtracts, so a reader that dies leaves nothing behind
// Entries: entry s & (capacity - 1) holds notification s as ONE 8-byte word
//   bits 0..29  slot index
//   bits 30..63 the low 34 bits of the sequence s
//
// Protocol. Sequences start at 1; the notifications published so far are those with
// sequence below head. Publishing notification s: store the entry (release), then
// head = s + 1 (sequentially consistent, see the wake protocol). A reader loads head
// (acquire, pairs with that store), then each entry it wants (acquire, pairs with
// the entry's store) and accepts it only when the entry's sequence bits are those of
// the sequence it expects: the writer overwrote the entry once it had lapped the
// reader, so a mismatch (or head - expected > capacity) means the reader fell behind
// and must resynchronise from the slot table. A writer killed between the two stores
// leaves an entry beyond head that nobody reads. Every entry is one atomic word, so
// a reader never sees half of one.
//
// Identity. A writer makes a new ring for every attach, filled in under a temporary
// name with its own process id and start time and then renamed into place, so
// readers only ever open complete rings and never a new ring without its writer
// (which they would take for a ring whose writer had left). Before replacing a ring
// it clears the old ring's process id and wakes the old ring's sleepers; detach does
// the same. A reader thus tells: process id 0 -> the writer detached or was
// replaced; the identity no longer alive -> the writer died; either way it reopens
// the file to find the next writer's ring.
//
// Waking. A reader about to sleep adds 1 to sleeps, loads the wake word, checks head
// once more and sleeps (FUTEX_WAIT, shared: across processes) only while the wake
// word is unchanged. The writer, after storing head, loads sleeps; when it differs
// from the count it saw at its last wake-up, a reader has gone to sleep since, and
// the writer adds 1 to the wake word and calls FUTEX_WAKE (then remembers the count).
// All these accesses are sequentially consistent, so either the writer sees the
// reader's increment or the reader sees the new head (or the bumped wake word, which
// ends its FUTEX_WAIT at once): no wake-up is lost. With no reader going to sleep,
// publishing costs no system call; a reader killed in its sleep leaves a count that
// no longer changes, so it costs the writer at most one system call. A reader that
// cannot write the wait page (no write permission) sleeps in short steps instead.
//
// Thread-safety: a RingFile is used by one thread.
#pragma once

#include "platform/plugin/Export.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sharedmem/ProcessIdentity.h"
#include "platform/sharedmem/PyrelId.h"

namespace Vanquo {

inline constexpr char const* kRingFileName = "notifications";
inline constexpr std::uint64_t kRingMagic = 0x4649544F4E425448ull;  // "HTBNOTIF"
inline constexpr std::uint32_t kRingFormatVersion = 2;
// The unit of the layout: the wait offset is a multiple of it.
inline constexpr std::size_t kPageSize = 4096;
inline constexpr std::size_t kEntryOffset = 256;
inline constexpr std::uint32_t kMinCapacity = 64;
inline constexpr std::uint32_t kMaxCapacity = 1u << 24;

namespace RingOffset {
inline constexpr std::size_t magic = 0;
inline constexpr std::size_t version = 8;
inline constexpr std::size_t capacity = 12;
inline constexpr std::size_t entryOffset = 16;
inline constexpr std::size_t pyrel = 20;
inline constexpr std::size_t created = 24;
inline constexpr std::size_t checksum = 32;
inline constexpr std::size_t waitOffset = 36;
inline constexpr std::size_t checksummed = 40;  // bytes [0, 40) carry the checksum
inline constexpr std::size_t writerProcess = 64;
inline constexpr std::size_t writerStart = 72;
inline constexpr std::size_t head = 128;
// Within the wait page.
inline constexpr std::size_t wakeWord = 0;
inline constexpr std::size_t sleeps = 64;
}  // namespace RingOffset
static_assert(RingOffset::head + 8 <= kEntryOffset && RingOffset::sleeps + 4 <= kPageSize);
static_assert(RingOffset::writerProcess % 8 == 0 && RingOffset::head % 64 == 0 &&
              kEntryOffset % 64 == 0);

inline constexpr unsigned kSequenceShift = 30;
inline constexpr std::uint64_t kSlotMask = (std::uint64_t{1} << kSequenceShift) - 1;
inline constexpr std::uint64_t kSequenceTagMask = (std::uint64_t{1} << (64 - kSequenceShift)) - 1;

constexpr std::uint64_t packEntry(std::uint64_t sequence, std::uint32_t slotIndex) {
  return (sequence << kSequenceShift) | (slotIndex & kSlotMask);
}
constexpr std::uint32_t entrySlot(std::uint64_t entry) {
  return static_cast<std::uint32_t>(entry & kSlotMask);
}
// Whether `entry` carries notification `sequence` (its low 34 bits).
constexpr bool entryHolds(std::uint64_t entry, std::uint64_t sequence) {
  return (entry >> kSequenceShift) == (sequence & kSequenceTagMask);
}
static_assert(entrySlot(packEntry(5, 0x3FFFFFFFu)) == 0x3FFFFFFFu &&
              entryHolds(packEntry(5, 7), 5) && !entryHolds(packEntry(5, 7), 6) &&
              entryHolds(packEntry(5 + (1ull << 34), 7), 5));

constexpr bool validCapacity(std::uint32_t capacity) {
  return capacity >= kMinCapacity && capacity <= kMaxCapacity && (capacity & (capacity - 1)) == 0;
}

// Where the wait page of a ring of `capacity` entries starts on a system with pages of
// `pageSize` bytes (a power of two, at least kPageSize): the first page boundary at or
// after the entries.
constexpr std::size_t waitOffsetFor(std::uint32_t capacity, std::size_t pageSize = kPageSize) {
  std::size_t end = kEntryOffset + std::size_t{capacity} * 8;
  return (end + pageSize - 1) / pageSize * pageSize;
}
// The length of such a ring's file: up to the end of its wait page.
constexpr std::size_t ringFileSize(std::uint32_t capacity, std::size_t pageSize = kPageSize) {
  return waitOffsetFor(capacity, pageSize) + pageSize;
}

// The capacity of the ring of a store of `maxSize` slots: the next power of two at or
// above it (kMinCapacity at least, kMaxCapacity at most), and then as many entries as
// the pages up to the wait page hold anyway.
constexpr std::uint32_t ringCapacityFor(std::uint32_t maxSize, std::size_t pageSize = kPageSize) {
  std::uint32_t capacity = kMinCapacity;
  while (capacity < maxSize && capacity < kMaxCapacity) capacity *= 2;
  std::size_t room = (waitOffsetFor(capacity, pageSize) - kEntryOffset) / 8;
  while (capacity < kMaxCapacity && std::size_t{capacity} * 2 <= room) capacity *= 2;
  return capacity;
}
static_assert(ringCapacityFor(64) == 256 && ringFileSize(256) == 2 * kPageSize);
static_assert(ringCapacityFor(512) == 512 && ringFileSize(512) == 3 * kPageSize);
static_assert(ringCapacityFor(3000) == 4096 && ringCapacityFor(1u << 30) == kMaxCapacity);

// The immutable part of a ring header as read from a file.
struct HWTABLES_API RingHeader {
  std::uint32_t capacity = 0;
  std::uint32_t waitOffset = 0;
  SharedMem::PyrelId pyrel;
  std::uint64_t created = 0;
};

// One ring file mapped into this process: the whole file (read-write for the
// writer, PROT_READ for readers) and, for readers that may, the wait page
// read-write. Opens use O_NOFOLLOW | O_CLOEXEC and accept regular files only.
// Failures to create throw Vorl::MemoryResourceException.
class HWTABLES_API RingFile {
 public:
  RingFile() = default;
  RingFile(RingFile const&) = delete;
  RingFile& operator=(RingFile const&) = delete;
  RingFile(RingFile&& other) noexcept;
  RingFile& operator=(RingFile&& other) noexcept;
  ~RingFile() { close(); }

  // Writes a complete new ring for `pyrel` under a temporary name, with its space
  // reserved (posix_fallocate: a full file system fails here, never later with
  // SIGBUS), and renames it to `path`. The ring starts with head 1 and `writer` as
  // its writer (none by default). The writer is in place before the rename: a reader
  // that opened the new ring in between and found no writer would take it for one
  // whose writer had already left.
  static RingFile create(std::string const& path, std::uint32_t capacity, SharedMem::PyrelId pyrel,
                         SharedMem::ProcessIdentity writer = {});

  // Opens and validates an existing ring; false with a reason when there is none or
  // it is not a valid ring (a ring of another format version is refused, naming both
  // versions). `writable`: map everything read-write (a writer
  // retiring an old ring); otherwise PROT_READ plus, when permitted, the wait page
  // read-write.
  bool open(std::string const& path, bool writable, std::string* reason);
  void close();
  bool isOpen() const { return base_ != nullptr; }

  RingHeader const& header() const { return header_; }
  std::uint32_t capacity() const { return header_.capacity; }
  // The device and inode of the mapped file (to tell whether the path still names it).
  std::uint64_t device() const { return device_; }
  std::uint64_t inode() const { return inode_; }

  unsigned char const* base() const { return base_; }
  unsigned char* writableBase() const { return writable_ ? base_ : nullptr; }
  // The wait page as this process may write it, or null (read-only reader).
  unsigned char* waitPage() const { return waitPage_; }
  unsigned char const* entries() const { return base_ + kEntryOffset; }
  // The wait page as this process maps it read-only (the writer: read-write).
  unsigned char const* waitPageView() const { return base_ + header_.waitOffset; }
  // Bytes of the file this ring occupies.
  std::size_t size() const { return size_; }

 private:
  unsigned char* base_ = nullptr;
  std::size_t size_ = 0;
  unsigned char* waitPage_ = nullptr;  // separate mapping for read-only readers
  bool waitPageMapped_ = false;
  bool writable_ = false;
  RingHeader header_;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

// Whether `path` names the file (device, inode).
HWTABLES_API bool sameFile(std::string const& path, std::uint64_t device, std::uint64_t inode);

// Sleeps while the 32-bit word at `address` holds `expected`, at most `timeout`
// (shared futex: works across processes). Returns early on a wake, a changed word
// or a signal.
HWTABLES_API void futexWait(void const* address, std::uint32_t expected,
                            std::chrono::nanoseconds timeout);
// Wakes every sleeper on the word at `address`.
HWTABLES_API void futexWakeAll(void const* address);

}  // namespace Vanquo
