#include "store/StoreInspector.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include <fmt/format.h>

#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/ProcessIdentity.h"
#include "platform/vorl/Exceptions.h"
#include "store/StoreFiles.h"

namespace Brell {
namespace {

// The recorded writer runs: same process id and, when recorded, same start time
// (a process id reused by another process does not count).
bool writerAlive(SharedMem::ShocketInfo const& writer) {
  return SharedMem::ProcessIdentity{writer.processId, writer.startTime}.alive();
}

// A private copy of both files, taken between two writer operations.
struct Snapshot {
  std::vector<unsigned char> slots;
  std::vector<unsigned char> buckets;
};

// Sizes read from the files are trusted only as far as the file holds data for
// them: every page of a store's slots and heads up to its count has been written (or
// reserved), so a count that reaches into a hole was not written by a writer. This
// keeps a damaged count in a sparse file of the claimed length from making the copy
// below allocate and read gigabytes of nothing.
void requireData(SharedMem::MappedFile const& file, std::uint64_t bytes, char const* what,
                 std::uint64_t count) {
  std::uint64_t pageSize = SharedMem::MappedFile::pageSize();
  std::uint64_t wholePages = bytes / pageSize * pageSize;
  std::uint64_t hole = file.firstHole();
  if (hole < wholePages) {
    throw Vorl::CorruptionDetectedException(
        fmt::format("{} {} need {} bytes of {}, but it holds no data from byte {} on", count, what,
                    bytes, file.path(), hole));
  }
}

std::vector<unsigned char> copyMapping(SharedMem::MappedFile& file, std::uint64_t bytes) {
  if (file.mappedSize() != bytes) file.remapSize(bytes);
  std::vector<unsigned char> copy;
  try {
    copy.resize(bytes);
  } catch (std::bad_alloc const&) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot allocate {} bytes for a copy of {}", bytes, file.path()));
  }
  copyFromShared(copy.data(), file.base(), bytes);
  return copy;
}

}  // namespace

std::vector<unsigned char> StoreInspector::keyBytes(SlotHeader const& header,
                                                    ChainEntry const& entry,
                                                    std::size_t fallbackBytes) {
  std::vector<unsigned char> bytes;
  if (header.keyLayout.fieldCount != 0 && header.keyLayout.fitsValue(header.valueSize)) {
    for (std::size_t index = 0; index < header.keyLayout.fieldCount; ++index) {
      auto field = header.keyLayout.fields[index];
      bytes.insert(bytes.end(), entry.value.begin() + field.offset,
                   entry.value.begin() + field.offset + field.width);
    }
    return bytes;
  }
  std::size_t count = std::min(fallbackBytes, entry.value.size());
  return std::vector<unsigned char>(entry.value.begin(), entry.value.begin() + count);
}

InspectionReport StoreInspector::dump() {
  std::vector<ChainEntry> entries;
  ReadyFunction ready = [](InspectionReport const&) {};
  EntryFunction each = [&entries](ChainEntry const& entry) { entries.push_back(entry); };
  InspectionReport report = inspect(&ready, &each);
  report.entries = std::move(entries);
  return report;
}

InspectionReport StoreInspector::dumpEach(ReadyFunction const& ready, EntryFunction const& each) {
  return inspect(&ready, &each);
}

namespace {

bool failed(InspectionReport& report, std::string result, std::string reason) {
  report.result = std::move(result);
  report.reason = std::move(reason);
  return false;
}

// The small files, and whether the writer they name runs. An identity file that is
// there but cannot be read is not a verdict on the store either.
InspectionReport readSmallFiles(std::string const& root, int& pyrelUnreadable) {
  InspectionReport report;
  report.corruptionFile = Util::readCorruptionFile(root);
  report.pyrel = SharedMem::PyrelFile(root).read(pyrelUnreadable);
  report.owner = SharedMem::OwnerFile::peek(root);
  report.files = fileSpace(root);
  report.writerAlive =
      report.owner && report.owner->valid && writerAlive(report.owner->shocketInfo);
  return report;
}

bool openFiles(std::string const& root, SharedMem::MappedFile& slots,
               SharedMem::MappedFile& buckets, InspectionReport& report) {
  try {
    if (!slots.open(SharedMem::MappedFile::Access::readOnly)) {
      return failed(report, "missing", fmt::format("no {} file in {}", kSlotFileName, root));
    }
    if (!buckets.open(SharedMem::MappedFile::Access::readOnly)) {
      return failed(report, "missing",
                    fmt::format("no {} file in {}", BrellCore::kBucketFileName, root));
    }
  } catch (Vorl::Exception const& error) {
    // The files are there but cannot be opened: not a verdict on the store.
    return failed(report, "inaccessible", error.what());
  }
  return true;
}

// Why a slot header read from a file of `fileSize` bytes cannot be a store's, or
// empty. The counts bound each other before anything is allocated for them.
std::string slotHeaderProblem(SlotHeader const& header, std::uint64_t fileSize) {
  std::string reason;
  if (!SlotHeaderCommon::validate(header, fileSize, &reason)) return reason;
  std::string message;
  auto slotBytes = slotFileSize(header.slotCount.value, header.slotSize, &message);
  if (!slotBytes) {
    return fmt::format("bad numSlots: {} message: {}", header.slotCount.value, message);
  }
  if (*slotBytes > fileSize) {
    return fmt::format("bad shmem size:{} wanted:{} for {} slots", fileSize, *slotBytes,
                       header.slotCount.value);
  }
  if (header.largestSlotCount < header.slotCount.value) {
    return fmt::format("bad largest slot count:{} below the slot count:{}", header.largestSlotCount,
                       header.slotCount.value);
  }
  if (header.occupancy > header.slotCount.value) {
    return fmt::format("bad occupancy:{} above the slot count:{}", header.occupancy,
                       header.slotCount.value);
  }
  return {};
}

// One look at the live files: what it gave.
enum class Look { copied, again, failed };

// Checks the headers the files have now and copies both files whole into `snapshot`.
// A verdict of damage counts only when the writer did not move meanwhile: what a live
// writer changes under the copy is read again, not reported.
Look lookOnce(SharedMem::MappedFile& slots, SharedMem::MappedFile& buckets,
              InspectionReport& report, Snapshot& snapshot) {
  report.slotFileSize = slots.fileSize();
  report.bucketFileSize = buckets.fileSize();
  if (report.slotFileSize < kCommonHeaderSize + 8) {
    failed(report, "invalid",
           fmt::format("bad header file size: {} wanted:{}", report.slotFileSize,
                       kCommonHeaderSize + 8));
    return Look::failed;
  }
  if (report.bucketFileSize < kBucketHeaderSize) {
    failed(report, "invalid",
           fmt::format("bad bucket file size: {} wanted:{}", report.bucketFileSize,
                       kBucketHeaderSize));
    return Look::failed;
  }
  if (slots.base() == nullptr) slots.mapSize(kCommonHeaderSize + 8);
  if (buckets.base() == nullptr) buckets.mapSize(kBucketHeaderSize);
  auto const* sequenceAddress =
      static_cast<unsigned char const*>(slots.base()) + SlotHeaderOffset::writerSequence;
  // Pairs with the writer's release store of the sequence when it leaves an
  // operation: everything that operation wrote is visible to the copy below.
  std::uint64_t before = loadLong(sequenceAddress, std::memory_order_acquire);
  if ((before & 1) != 0 && report.writerAlive) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Look::again;
  }
  // The sizes read above may be older than the sequence: a live writer that grew the
  // files in between would make a whole store look short. Read them again now that
  // the writer's last operation is visible.
  report.slotFileSize = slots.fileSize();
  report.bucketFileSize = buckets.fileSize();
  auto moved = [&] {
    return report.writerAlive && loadLong(sequenceAddress, std::memory_order_acquire) != before;
  };
  auto damaged = [&](std::string reason) {
    if (moved()) return Look::again;
    failed(report, "invalid", std::move(reason));
    return Look::failed;
  };
  alignas(8) unsigned char headerCopy[kCommonHeaderSize + 8];
  SlotHeaderCommon::consistentCopy(headerCopy, slots.base(), sizeof headerCopy);
  SlotHeader header = SlotHeaderCommon::decode(headerCopy);
  report.slotHeader = header;
  if (auto problem = slotHeaderProblem(header, report.slotFileSize); !problem.empty()) {
    return damaged(std::move(problem));
  }
  std::uint64_t slotBytes = *slotFileSize(header.slotCount.value, header.slotSize);
  requireData(slots, slotBytes, "slots", header.slotCount.value);
  auto bucketHeader = BrellCore::BucketHeader::decode(buckets.base());
  report.bucketHeader = bucketHeader;
  std::string reason;
  if (!bucketHeader.validate(report.bucketFileSize, SharedMem::PyrelId(bucketHeader.pyrelId),
                             &reason)) {
    return damaged(std::move(reason));
  }
  std::uint64_t bucketBytes = bucketFileSize(bucketHeader.count.value);
  requireData(buckets, bucketBytes, "buckets", bucketHeader.count.value);
  snapshot.slots = copyMapping(slots, slotBytes);
  snapshot.buckets = copyMapping(buckets, bucketBytes);
  std::atomic_thread_fence(std::memory_order_acquire);
  std::uint64_t after =
      loadLong(static_cast<unsigned char const*>(slots.base()) + SlotHeaderOffset::writerSequence,
               std::memory_order_relaxed);
  return after == before || !report.writerAlive ? Look::copied : Look::again;
}

// Copies both files between two writer operations, waiting for a live writer up to
// `maxWait`. A file that cannot be mapped or copied is not a verdict on the store.
bool takeSnapshot(SharedMem::MappedFile& slots, SharedMem::MappedFile& buckets,
                  InspectionReport& report, Snapshot& snapshot, std::chrono::milliseconds maxWait) {
  auto deadline = std::chrono::steady_clock::now() + maxWait;
  try {
    // The first look is always taken, so a wait of 0 means "do not wait", not "fail".
    for (;;) {
      Look look = lookOnce(slots, buckets, report, snapshot);
      if (look != Look::again) return look == Look::copied;
      if (std::chrono::steady_clock::now() > deadline) {
        return failed(report, "busy", "the writer did not pause between operations in time");
      }
    }
  } catch (Vorl::MemoryResourceException const& error) {
    // Every size was checked against the files before anything was mapped or copied:
    // a mapping or copy that fails now says nothing about the store.
    return failed(report, "inaccessible", error.what());
  } catch (Vorl::Exception const& error) {
    return failed(report, "invalid", error.what());
  } catch (std::bad_alloc const&) {
    return failed(report, "inaccessible", "out of memory while copying the store's files");
  }
}

// Whether the snapshot's identities agree with the restart-identity file.
bool identityAgrees(SlotHeader const& header, BrellCore::BucketHeader const& bucketHeader,
                    InspectionReport& report) {
  if (header.criticalSection()) {
    return failed(report, "invalid",
                  fmt::format("bad critical section runtimeFlags:{:x}", header.runtimeFlags));
  }
  if (!report.pyrel) return failed(report, "invalid", "failed to read pyrel file");
  if (header.pyrelId != report.pyrel->identity.value()) {
    return failed(report, "invalid",
                  fmt::format("mismatching pyrel:{}, oldPyrel:{}", report.pyrel->identity.value(),
                              header.pyrelId));
  }
  if (bucketHeader.pyrelId != report.pyrel->identity.value()) {
    return failed(report, "invalid",
                  fmt::format("mismatching bucket pyrel:{:#x}, oldPyrel:{:#x}",
                              report.pyrel->identity.value(), bucketHeader.pyrelId));
  }
  return true;
}

}  // namespace

InspectionReport StoreInspector::inspect(ReadyFunction const* ready, EntryFunction const* each) {
  int pyrelUnreadable = 0;
  InspectionReport report = readSmallFiles(root_, pyrelUnreadable);
  if (pyrelUnreadable != 0) {
    failed(report, "inaccessible",
           fmt::format("cannot read {}: {}", SharedMem::PyrelFile(root_).path(),
                       std::strerror(pyrelUnreadable)));
    return report;
  }
  auto slots = SharedMem::MappedFile::inDirectory(root_, kSlotFileName);
  auto buckets = SharedMem::MappedFile::inDirectory(root_, BrellCore::kBucketFileName);
  Snapshot snapshot;
  if (!openFiles(root_, slots, buckets, report) ||
      !takeSnapshot(slots, buckets, report, snapshot,
                    std::chrono::milliseconds(options_.maxWaitMilliseconds))) {
    return report;
  }

  // Everything below reads the private snapshot only.
  SlotHeader header = SlotHeaderCommon::decode(snapshot.slots.data());
  report.slotHeader = header;
  auto bucketHeader = BrellCore::BucketHeader::decode(snapshot.buckets.data());
  report.bucketHeader = bucketHeader;
  if (!identityAgrees(header, bucketHeader, report)) return report;
  StoreImage image;
  image.slotFile = snapshot.slots.data();
  image.numSlots = header.slotCount.value;
  image.valueSize = header.valueSize;
  image.slotSize = header.slotSize;
  image.occupancy = header.occupancy;
  image.freeListHead = header.freeListHead;
  image.hashSeed = header.hashSeed;
  image.bucketFile = snapshot.buckets.data();
  image.numBuckets = bucketHeader.count.value;
  Validator validator(image, KeyOps::fromLayout(&header.keyLayout), root_);
  std::string reason;
  if (validator.validate(&reason)) {
    report.occupied = validator.occupiedCount();
    report.freeSlots = validator.freeCount();
    report.result = "ok";
  } else {
    report.result = "invalid";
    report.reason = reason;
  }
  if (ready != nullptr && each != nullptr) {
    (*ready)(report);
    Validator walker(image, KeyOps::fromLayout(&header.keyLayout), root_);
    try {
      walker.walkOccupiedSlots(*each);
    } catch (Vorl::CorruptionDetectedException const&) {
      // The entries walked before the damage have been handed out.
    }
  }
  return report;
}

}  // namespace Brell
