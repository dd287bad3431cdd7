#include "store/StoreInspector.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "platform/sharedmem/MappedFile.h"
#include "platform/vorl/Exceptions.h"
#include "store/StoreFiles.h"

namespace Brell {
namespace {

bool processAlive(std::uint32_t processId) {
  if (processId == 0) return false;
  return ::kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

// A private copy of both files, taken between two writer operations.
struct Snapshot {
  std::vector<unsigned char> slots;
  std::vector<unsigned char> buckets;
};

std::vector<unsigned char> copyMapping(SharedMem::MappedFile& file, std::uint64_t bytes) {
  if (file.mappedSize() != bytes) file.remapSize(bytes);
  std::vector<unsigned char> copy(bytes);
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

InspectionReport StoreInspector::inspect(bool collect) {
  InspectionReport report;
  report.corruptionFile = Util::readCorruptionFile(root_);
  report.pyrel = SharedMem::PyrelFile(root_).read();
  report.owner = SharedMem::OwnerFile::peek(root_);
  report.writerAlive =
      report.owner && report.owner->valid && processAlive(report.owner->shocketInfo.processId);
  auto fail = [&report](std::string result, std::string reason) {
    report.result = std::move(result);
    report.reason = std::move(reason);
    return report;
  };

  auto slots = SharedMem::MappedFile::inDirectory(root_, kSlotFileName);
  auto buckets = SharedMem::MappedFile::inDirectory(root_, BrellCore::kBucketFileName);
  try {
    if (!slots.open(SharedMem::MappedFile::Access::readOnly)) {
      return fail("missing", fmt::format("no {} file in {}", kSlotFileName, root_));
    }
    if (!buckets.open(SharedMem::MappedFile::Access::readOnly)) {
      return fail("missing", fmt::format("no {} file in {}", BrellCore::kBucketFileName, root_));
    }
  } catch (Vorl::Exception const& error) {
    return fail("invalid", error.what());
  }

  Snapshot snapshot;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.maxWaitMilliseconds);
  try {
    for (;;) {
      report.slotFileSize = slots.fileSize();
      report.bucketFileSize = buckets.fileSize();
      if (report.slotFileSize < kCommonHeaderSize + 8) {
        return fail("invalid", fmt::format("bad header file size: {} wanted:{}",
                                           report.slotFileSize, kCommonHeaderSize + 8));
      }
      if (report.bucketFileSize < kBucketHeaderSize) {
        return fail("invalid", fmt::format("bad bucket file size: {} wanted:{}",
                                           report.bucketFileSize, kBucketHeaderSize));
      }
      if (slots.base() == nullptr) slots.mapSize(kCommonHeaderSize + 8);
      if (buckets.base() == nullptr) buckets.mapSize(kBucketHeaderSize);
      auto const* sequenceAddress =
          static_cast<unsigned char const*>(slots.base()) + SlotHeaderOffset::writerSequence;
      // Pairs with the writer's release store of the sequence when it leaves an
      // operation: everything that operation wrote is visible to the copy below.
      std::uint64_t before = loadLong(sequenceAddress, std::memory_order_acquire);
      bool settled = (before & 1) == 0 || !report.writerAlive;
      if (!settled) {
        if (std::chrono::steady_clock::now() > deadline) {
          return fail("busy", "the writer did not pause between operations in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      alignas(8) unsigned char headerCopy[kCommonHeaderSize + 8];
      SlotHeaderCommon::consistentCopy(headerCopy, slots.base(), sizeof headerCopy);
      SlotHeader header = SlotHeaderCommon::decode(headerCopy);
      report.slotHeader = header;
      std::string reason;
      if (!SlotHeaderCommon::validate(header, report.slotFileSize, &reason)) {
        return fail("invalid", reason);
      }
      std::string message;
      auto slotBytes = slotFileSize(header.slotCount.value, header.slotSize, &message);
      if (!slotBytes) {
        return fail("invalid",
                    fmt::format("bad numSlots: {} message: {}", header.slotCount.value, message));
      }
      if (*slotBytes > report.slotFileSize) {
        return fail("invalid",
                    fmt::format("bad shmem size:{} wanted:{} for {} slots", report.slotFileSize,
                                *slotBytes, header.slotCount.value));
      }
      auto bucketHeader = BrellCore::BucketHeader::decode(buckets.base());
      report.bucketHeader = bucketHeader;
      if (!bucketHeader.validate(report.bucketFileSize, SharedMem::PyrelId(bucketHeader.pyrelId),
                                 &reason)) {
        return fail("invalid", reason);
      }
      snapshot.slots = copyMapping(slots, *slotBytes);
      snapshot.buckets = copyMapping(buckets, bucketFileSize(bucketHeader.count.value));
      std::atomic_thread_fence(std::memory_order_acquire);
      std::uint64_t after = loadLong(
          static_cast<unsigned char const*>(slots.base()) + SlotHeaderOffset::writerSequence,
          std::memory_order_relaxed);
      if (after == before || !report.writerAlive) break;
      if (std::chrono::steady_clock::now() > deadline) {
        return fail("busy", "the writer did not pause between operations in time");
      }
    }
  } catch (Vorl::Exception const& error) {
    return fail("invalid", error.what());
  }

  // Everything below reads the private snapshot only.
  SlotHeader header = SlotHeaderCommon::decode(snapshot.slots.data());
  report.slotHeader = header;
  auto bucketHeader = BrellCore::BucketHeader::decode(snapshot.buckets.data());
  report.bucketHeader = bucketHeader;
  if (header.criticalSection()) {
    return fail("invalid",
                fmt::format("bad critical section runtimeFlags:{:x}", header.runtimeFlags));
  }
  if (!report.pyrel) return fail("invalid", "failed to read pyrel file");
  if (header.pyrelId != report.pyrel->identity.value()) {
    return fail("invalid", fmt::format("mismatching pyrel:{}, oldPyrel:{}",
                                       report.pyrel->identity.value(), header.pyrelId));
  }
  if (bucketHeader.pyrelId != report.pyrel->identity.value()) {
    return fail("invalid", fmt::format("mismatching bucket pyrel:{:#x}, oldPyrel:{:#x}",
                                       report.pyrel->identity.value(), bucketHeader.pyrelId));
  }
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
  bool valid = validator.validate(&reason);
  if (collect) {
    Validator walker(image, KeyOps::fromLayout(&header.keyLayout), root_);
    try {
      walker.walkOccupiedSlots(&report.entries);
    } catch (Vorl::CorruptionDetectedException const&) {
      // The entries walked before the damage stay in the report.
    }
  }
  if (!valid) return fail("invalid", reason);
  report.occupied = validator.occupiedCount();
  report.freeSlots = validator.freeCount();
  report.result = "ok";
  return report;
}

}  // namespace Brell
