#include "tables/memories/MemoryShadowBase.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "framework/Gating.h"
#include "platform/asic/Assert.h"
#include "platform/tessar/DmaCommands.h"

namespace Framework {

std::optional<Pelcar::Fapmask> MemoryShadowBase::gate(Pelcar::Fapmask const& requested) const {
  return gateFapmask(applicableFapmask(requested), hwShadowKey(), requested, constTrace(),
                     GatingSite::downloadFapmask);
}

Vorl::Ptr<Pelcar::SchanCmds> MemoryShadowBase::rowSchanCmds(
    Pelcar::Fapmask const& mask, Hardware::Sand::FapRevision const& fapRevision, U8 arrayIndex,
    U32 row, bool useDefault) const {
  auto applicable = gate(mask);
  if (!applicable) return nullptr;
  std::vector<U8> scratch(entrySize());
  return schanCmdsWorker(*applicable, fapRevision, arrayIndex, row,
                         rowData(arrayIndex, row, useDefault, scratch.data()));
}

U8 const* MemoryShadowBase::rowData(U8 arrayIndex, U32 row, bool useDefault, U8* scratch) const {
  if (!useDefault && storedRowData(arrayIndex, row, scratch)) return scratch;
  return defaultEntry();
}

namespace {

// Fills `rows` rows of `entrySize` bytes at `out` with the entry at `entry`.
void fillRows(U8* out, U8 const* entry, U32 entrySize, U32 rows) {
  if (std::all_of(entry, entry + entrySize, [](U8 byte) { return byte == 0; })) {
    std::memset(out, 0, std::size_t{rows} * entrySize);
    return;
  }
  for (U32 row = 0; row < rows; ++row) std::memcpy(out + std::size_t{row} * entrySize, entry, entrySize);
}

}  // namespace

std::vector<U8> MemoryShadowBase::expectedRows(Tessar::BcmRegMemInfo const& member) const {
  U32 size = entrySize();
  std::vector<U8> image(std::size_t{member.arrayCount} * member.entryCount * size);
  fillRows(image.data(), defaultEntry(), size, member.arrayCount * member.entryCount);
  // One run per array: the image is the arrays back to back.
  std::vector<U8*> arrays(member.arrayCount);
  for (U32 array = 0; array < member.arrayCount; ++array) {
    arrays[array] = image.data() + std::size_t{array} * member.entryCount * size;
  }
  placeStoredRows({member.firstArrayIndex, member.arrayCount, member.firstEntryIndex,
                   member.entryCount, size, std::max<U32>(member.entryCount, 1), 1,
                   arrays.data()});
  return image;
}

bool MemoryShadowBase::downloadInto(Vorl::String const& fapType,
                                    Hardware::Sand::FapRevision const& fapRevision,
                                    Pelcar::Fapmask const& downloadFapmask,
                                    Pelcar::SchanCmds& into) const {
  // A deleted shadow writes nothing.
  if (deleted()) return false;
  traceDownload(fapType, fapRevision, downloadFapmask, constTrace(), nullptr);
  return downloadWorker(fapRevision, downloadFapmask, false, into);
}

Vorl::Ptr<Pelcar::SchanCmds> MemoryShadowBase::clearShadow(
    Hardware::Sand::FapRevision const& fapRevision, Pelcar::Fapmask const& mask) {
  auto cmds = Pelcar::schanCmdsFactory();
  bool applicable = downloadWorker(fapRevision, mask, true, *cmds);
  collCleanup();
  return applicable ? cmds : nullptr;
}

MemoryShadowBase::WriteTargets const& MemoryShadowBase::writeTargets() const {
  auto const& description = bcmGroupAddrInfo();
  auto first = description ? description->firstMember() : nullptr;
  if (!first) throw Vorl::InvalidInitializeException("shadow " + name() + " has no description");
  if (writeTargets_.description != description.get()) {
    WriteTargets targets;
    targets.description = description.get();
    targets.first = first.get();
    for (auto const& [memoryId, member] : description->members()) {
      for (auto const& [instanceId, instance] : member->instances) {
        if (coversInstance(instanceId)) targets.pairs.emplace_back(member.get(), instance.get());
      }
    }
    writeTargets_ = std::move(targets);
  }
  return writeTargets_;
}

bool MemoryShadowBase::downloadWorker(Hardware::Sand::FapRevision const& fapRevision,
                                      Pelcar::Fapmask const& mask, bool isDelete,
                                      Pelcar::SchanCmds& into) const {
  VORL_TRACE(constTrace(), 8, "fapRevision: {}, downloadFapmask: {}, isDelete: {}", fapRevision,
             mask, isDelete);
  auto applicable = gate(mask);
  if (!applicable) return false;
  auto const& targets = writeTargets();
  auto const& pool = dmaMemPoolManager();
  if (pool && pool->bufferBytes() < entrySize()) {
    throw Vorl::RangeException(fmt::format("DMA buffers of {} bytes cannot hold one {}-byte row",
                                           pool->bufferBytes(), entrySize()));
  }
  VORL_TRACE(tableTrace(), 3, " Processing all keys in shadow: {}", hwShadowKey());
  if (pool) {
    bulkWrites(targets, *applicable, fapRevision, isDelete, into);
  } else {
    rowWrites(targets, *applicable, fapRevision, isDelete, into);
  }
  return true;
}

void MemoryShadowBase::rowWrites(WriteTargets const& targets, Pelcar::Fapmask const& applicable,
                                 Hardware::Sand::FapRevision const& fapRevision, bool isDelete,
                                 Pelcar::SchanCmds& into) const {
  auto const& first = *targets.first;
  std::vector<U8> scratch(entrySize());
  for (U32 array = 0; array < first.arrayCount; ++array) {
    auto arrayIndex = static_cast<U8>(first.firstArrayIndex + array);
    for (U32 row = 0; row < first.entryCount; ++row) {
      U32 entryIndex = first.firstEntryIndex + row;
      schanCmdsWorkerInto(applicable, fapRevision, arrayIndex, entryIndex,
                          rowData(arrayIndex, entryIndex, isDelete, scratch.data()), into);
    }
  }
}

void MemoryShadowBase::bulkWrites(WriteTargets const& targets, Pelcar::Fapmask const& applicable,
                                  Hardware::Sand::FapRevision const& fapRevision, bool isDelete,
                                  Pelcar::SchanCmds& into) const {
  auto const& first = *targets.first;
  auto& pool = *dmaMemPoolManager();
  U32 const size = entrySize();
  // A buffer holds rows of one array only (a bulk write addresses one array), as
  // many as fit; the last of an array may be partly filled.
  U32 const capacity = pool.bufferBytes() / size;
  U32 const buffersPerArray = (first.entryCount + capacity - 1) / capacity;
  std::vector<Vorl::Ptr<DmaMemPoolManager::DmaMemPoolBuffer>> buffers;
  buffers.reserve(std::size_t{first.arrayCount} * buffersPerArray);
  auto rowsIn = [&](U32 bufferInArray) {
    return std::min(capacity, first.entryCount - bufferInArray * capacity);
  };
  for (U32 array = 0; array < first.arrayCount; ++array) {
    for (U32 bufferInArray = 0; bufferInArray < buffersPerArray; ++bufferInArray) {
      auto buffer = pool.buffer();
      VORL_TRACE(constTrace(), 8, "dmaMemPoolBuffer: {}, dmaAddrInfo: {}",
                 static_cast<void const*>(buffer->data()), buffer->size());
      fillRows(buffer->data(), defaultEntry(), size, rowsIn(bufferInArray));
      buffers.push_back(std::move(buffer));
    }
  }
  if (!isDelete) {
    // Each stored row goes straight from the store into its place in its buffer.
    std::vector<U8*> data(buffers.size());
    for (std::size_t index = 0; index < buffers.size(); ++index) data[index] = buffers[index]->data();
    placeStoredRows({first.firstArrayIndex, first.arrayCount, first.firstEntryIndex,
                     first.entryCount, size, capacity, buffersPerArray, data.data()});
  }
  for (U32 array = 0; array < first.arrayCount; ++array) {
    auto arrayIndex = static_cast<U8>(first.firstArrayIndex + array);
    for (U32 bufferInArray = 0; bufferInArray < buffersPerArray; ++bufferInArray) {
      U32 rows = rowsIn(bufferInArray);
      if (rows == capacity) {
        VORL_TRACE(constTrace(), 3, " shadowKey: {} queued {} in bulk", hwShadowKey(), rows);
      }
      auto const& buffer = buffers[std::size_t{array} * buffersPerArray + bufferInArray];
      for (auto const& [member, instance] : targets.pairs) {
        Tessar::memoryWriteDmamemPoolBulkCmdAppend(
            applicable, fapRevision, *instance, size, *member, arrayIndex,
            first.firstEntryIndex + bufferInArray * capacity, rows, buffer, into);
      }
    }
  }
}

}  // namespace Framework
