// The bucket file ("buckets"): a 24-byte header and one link per bucket.
//
// BucketWriter (writer process) creates, attaches, grows and shrinks the file;
// BucketReader (any process) maps it read-only and follows its count. The bucket
// count is a power of two held in a VersionedRef at bytes 16..23; its version goes
// up by one on every split or merge of the whole table, which is how readers notice
// that they must remap. A new file has kInitialBuckets empty buckets, each head the
// end marker of its run (see SlotLayout.h: runEnd), so it satisfies the list order.
//
// The file is never shortened while it is in use: when the table halves, the count
// is published first and the memory of the upper half is released with a hole, so
// a reader still holding the larger mapping reads zeros rather than faulting.
//
// Thread-safety: one writer thread; readers in any process.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "platform/sharedmem/Checksum.h"
#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/PyrelId.h"
#include "store/AttachResult.h"
#include "store/Debug.h"
#include "store/Link.h"
#include "store/SlotLayout.h"

namespace BrellCore {

using Brell::SlotLink;

inline constexpr char const* kBucketFileName = "buckets";
// The count of a new table, and the fewest buckets a merge leaves.
inline constexpr std::uint32_t kInitialBuckets = 8;
inline constexpr std::uint32_t kMaxBuckets = 1u << 30;

// The decoded bucket header.
struct HWTABLES_API BucketHeader {
  std::uint64_t magic = 0;
  std::uint32_t pyrelId = 0;
  std::uint32_t checksum = 0;
  SlotLink count;

  bool checksumMatches() const {
    unsigned char bytes[Brell::BucketOffset::checksum];
    std::memcpy(bytes + Brell::BucketOffset::magic, &magic, 8);
    std::memcpy(bytes + Brell::BucketOffset::pyrelId, &pyrelId, 4);
    return checksum == SharedMem::checksum(bytes, sizeof bytes);
  }

  static BucketHeader decode(void const* header) {
    BucketHeader decoded;
    auto const* bytes = static_cast<unsigned char const*>(header);
    decoded.magic = Brell::loadLong(bytes + Brell::BucketOffset::magic);
    std::uint64_t word = Brell::loadLong(bytes + Brell::BucketOffset::pyrelId);
    decoded.pyrelId = static_cast<std::uint32_t>(word);
    decoded.checksum = static_cast<std::uint32_t>(word >> 32);
    decoded.count = Brell::loadLink(bytes + Brell::BucketOffset::count);
    return decoded;
  }

  // The header's own checks against a file of `fileSize` bytes and an identity.
  bool validate(std::uint64_t fileSize, SharedMem::PyrelId identity, std::string* reason) const {
    auto fail = [reason](std::string text) {
      if (reason) *reason = std::move(text);
      return false;
    };
    if (magic != Brell::kBucketMagic || !checksumMatches()) {
      return fail(fmt::format("bad bucket header magic:{:#x} checksum:{:#x}", magic, checksum));
    }
    if (pyrelId != identity.value()) {
      return fail(
          fmt::format("mismatching bucket pyrel:{:#x}, oldPyrel:{:#x}", identity.value(), pyrelId));
    }
    std::uint32_t buckets = count.value;
    if (buckets == 0 || buckets > kMaxBuckets || (buckets & (buckets - 1)) != 0) {
      return fail(fmt::format("bad bucket count:{}", buckets));
    }
    if (fileSize < Brell::bucketFileSize(buckets)) {
      return fail(fmt::format("bad bucket file size:{} wanted:{} for {} buckets", fileSize,
                              Brell::bucketFileSize(buckets), buckets));
    }
    return true;
  }

  std::string toString() const {
    return fmt::format("BucketHeader pyrelId:{:#010x} count:{{version:{} count:{}}}", pyrelId,
                       count.version, count.value);
  }
};

template <class Link>
class BucketWriter {
  static_assert(sizeof(Link) == 8, "bucket heads are 8-byte links");

 public:
  explicit BucketWriter(SharedMem::MappedFile file) : file_(std::move(file)) {}

  // created, existing, or invalid (the file is left as it is for the caller to wipe).
  Brell::AttachResult attach(SharedMem::PyrelId identity) {
    detach();
    if (!file_.heap() && file_.open(SharedMem::MappedFile::Access::readWrite)) {
      std::uint64_t size = file_.fileSize();
      if (size < Brell::kBucketHeaderSize) return Brell::AttachResult::invalid;
      file_.mapSize(Brell::kBucketHeaderSize);
      BucketHeader header = BucketHeader::decode(file_.base());
      std::string reason;
      // The identity is checked by validate(); attach needs only a usable count.
      if (!header.validate(size, SharedMem::PyrelId(header.pyrelId), &reason)) {
        VORL_TRACE(Brell::Debug::bucketTable(), Brell::kDebugLevel, "invalid header: {}", reason);
        detach();
        return Brell::AttachResult::invalid;
      }
      file_.remapSize(Brell::bucketFileSize(header.count.value));
      count_ = header.count.value;
      return Brell::AttachResult::existing;
    }
    file_.create();
    file_.fileSizeIs(0);
    file_.remapSize(bytesFor(kInitialBuckets));
    unsigned char header[Brell::kBucketHeaderSize] = {};
    std::memcpy(header + Brell::BucketOffset::magic, &Brell::kBucketMagic, 8);
    std::uint32_t pyrel = identity.value();
    std::memcpy(header + Brell::BucketOffset::pyrelId, &pyrel, 4);
    std::uint32_t sum = SharedMem::checksum(header, Brell::BucketOffset::checksum);
    std::memcpy(header + Brell::BucketOffset::checksum, &sum, 4);
    Brell::copyToShared(file_.base(), header, Brell::BucketOffset::count);
    for (std::uint32_t bucket = 0; bucket < kInitialBuckets; ++bucket) {
      // Pairs with a reader's acquire load of the head; nobody reads it before the
      // count below is stored anyway.
      Brell::storeLink(head(bucket), SlotLink{0, Brell::runEnd(bucket, kInitialBuckets)});
    }
    // Pairs with BucketReader::remapIfChanged's acquire load of the count: the heads
    // above are visible to a reader that sees this count.
    Brell::storeLink(countAddress(), SlotLink{0, kInitialBuckets});
    count_ = kInitialBuckets;
    return Brell::AttachResult::created;
  }

  bool validate(SharedMem::PyrelId identity, std::string* reason) const {
    if (file_.base() == nullptr) {
      if (reason) *reason = "bucket table not attached";
      return false;
    }
    return header().validate(file_.fileSize(), identity, reason);
  }

  BucketHeader header() const { return BucketHeader::decode(file_.base()); }
  std::uint32_t count() const { return count_; }
  SlotLink countLink() const { return Brell::loadLink(countAddress(), std::memory_order_relaxed); }
  unsigned char* countAddress() const {
    return static_cast<unsigned char*>(file_.base()) + Brell::BucketOffset::count;
  }
  unsigned char* head(std::uint32_t bucket) const {
    return static_cast<unsigned char*>(file_.base()) + Brell::BucketOffset::heads +
           std::size_t{bucket} * 8;
  }

  // Maps room for `buckets` heads (lengthening the file); the count is unchanged.
  // Nothing to do while they fit in the pages already mapped.
  void reserve(std::uint32_t buckets) {
    if (Brell::bucketFileSize(buckets) > file_.mappedSize()) file_.remapSize(bytesFor(buckets));
  }

  // Publishes a new count. Pairs with BucketReader::remapIfChanged's acquire load;
  // for a split, every new head is stored before this; for a merge, every run is
  // already joined.
  void countIs(std::uint32_t buckets) {
    SlotLink current = countLink();
    Brell::storeLink(countAddress(), SlotLink{current.version + 1, buckets});
    count_ = buckets;
  }

  // After a merge: drops the mapping and the memory of the heads above `count_`.
  void release() {
    std::size_t const bytes = bytesFor(count_);
    if (bytes >= file_.mappedSize()) return;  // the heads left still fill the pages mapped
    try {
      file_.remapSize(bytes);
    } catch (Vorl::MemoryResourceException const& error) {
      // The smaller count is published; a larger mapping only keeps memory mapped.
      VORL_TRACE(Brell::Debug::bucketTable(), Brell::kDebugLevel, "keeping the mapping: {}",
                 error.what());
      return;
    }
    if (!file_.releaseTail(bytes)) {
      VORL_TRACE(Brell::Debug::bucketTable(), Brell::kDebugLevel,
                 "cannot release the memory above {} buckets of {}", count_, file_.path());
    }
  }

  std::string headerText() const {
    return file_.base() == nullptr ? std::string("BucketHeader detached") : header().toString();
  }

  void detach() {
    file_.unmap();
    file_.close();
    count_ = 0;
  }
  void remove() {
    detach();
    file_.remove();
  }

  SharedMem::MappedFile& file() { return file_; }
  SharedMem::MappedFile const& file() const { return file_; }

 private:
  // The writer maps and reserves whole pages of heads (the system maps whole pages
  // anyway): a table that splits and merges within a page, as a small table that
  // fills and empties does all the time, then changes only its count, without a
  // system call. Readers map what the count needs, which the file always holds.
  static std::size_t bytesFor(std::uint32_t buckets) {
    std::size_t const page = SharedMem::MappedFile::pageSize();
    return (Brell::bucketFileSize(buckets) + page - 1) / page * page;
  }

  SharedMem::MappedFile file_;
  std::uint32_t count_ = 0;
};

template <class Link>
class BucketReader {
  static_assert(sizeof(Link) == 8, "bucket heads are 8-byte links");

 public:
  explicit BucketReader(SharedMem::MappedFile file) : file_(std::move(file)) {}

  // Maps the header only; the first remapIfChanged() maps the heads.
  bool attach() {
    detach();
    if (!file_.open(SharedMem::MappedFile::Access::readOnly)) return false;
    if (file_.fileSize() < Brell::kBucketHeaderSize) return false;
    file_.mapSize(Brell::kBucketHeaderSize);
    cached_ = SlotLink{0xFFFFFFFFu, 0};
    count_ = 0;
    return true;
  }

  bool attached() const { return file_.base() != nullptr; }

  // Remaps when the published count differs from the cached one; true when it did.
  // A count that is not a power of two or a file too short for it is damage.
  bool remapIfChanged(std::uint64_t* remaps = nullptr) {
    if (file_.base() == nullptr) return false;
    // Pairs with BucketWriter::countIs / attach: heads stored before the count are
    // visible after this load.
    SlotLink live = Brell::loadLink(countAddress());
    if (live == cached_) return false;
    std::uint32_t buckets = live.value;
    if (buckets == 0 || buckets > kMaxBuckets || (buckets & (buckets - 1)) != 0) {
      throw Vorl::CorruptionDetectedException(fmt::format("bad bucket count:{}", buckets));
    }
    std::uint64_t size = Brell::bucketFileSize(buckets);
    if (size > file_.fileSize()) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("requesting to map {} {} buckets. Requested file resize to {} but real "
                      "file size is {}",
                      file_.path(), buckets, size, file_.fileSize()));
    }
    file_.remapSize(size);
    cached_ = live;
    count_ = buckets;
    if (remaps) ++*remaps;
    return true;
  }

  std::uint32_t count() const { return count_; }
  SlotLink cachedCountLink() const { return cached_; }
  SlotLink liveCountLink() const { return Brell::loadLink(countAddress()); }
  unsigned char const* countAddress() const {
    return static_cast<unsigned char const*>(file_.base()) + Brell::BucketOffset::count;
  }
  unsigned char const* head(std::uint32_t bucket) const {
    return static_cast<unsigned char const*>(file_.base()) + Brell::BucketOffset::heads +
           std::size_t{bucket} * 8;
  }

  BucketHeader header() const { return BucketHeader::decode(file_.base()); }
  bool validate(SharedMem::PyrelId identity, std::string* reason) const {
    if (file_.base() == nullptr) {
      if (reason) *reason = "bucket table not attached";
      return false;
    }
    return header().validate(file_.fileSize(), identity, reason);
  }
  std::string headerText() const {
    return file_.base() == nullptr ? std::string("BucketHeader detached") : header().toString();
  }

  void detach() {
    file_.unmap();
    file_.close();
    count_ = 0;
    cached_ = SlotLink{0xFFFFFFFFu, 0};
  }

 private:
  SharedMem::MappedFile file_;
  SlotLink cached_{0xFFFFFFFFu, 0};
  std::uint32_t count_ = 0;
};

}  // namespace BrellCore
