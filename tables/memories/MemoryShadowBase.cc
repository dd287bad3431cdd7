#include "tables/memories/MemoryShadowBase.h"

#include <cstring>
#include <optional>
#include <vector>

#include "framework/Gating.h"
#include "platform/asic/Assert.h"
#include "platform/glimmet/Glimmet.h"
#include "platform/tessar/DmaCommands.h"

namespace Framework {

// The buffer a whole-memory write is filling: where its rows start and how many fit.
struct MemoryShadowBase::BulkState {
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolBuffer> buffer;
  U32 rows = 0;
  U32 capacity = 0;
  U8 arrayIndex = 0;
  U32 firstRow = 0;
};

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

U8 const* MemoryShadowBase::imageRowData(RowImage const& image, U8 arrayIndex, U32 row,
                                         bool useDefault) const {
  if (useDefault) return defaultEntry();
  auto index = image.indexOf(arrayIndex, row);
  if (!index || !image.stored[*index]) return defaultEntry();
  return image.data.data() + *index * image.entrySize;
}

std::vector<U8> MemoryShadowBase::expectedRows(Tessar::BcmRegMemInfo const& member) const {
  RowImage image{member.firstArrayIndex, member.arrayCount, member.firstEntryIndex,
                 member.entryCount, entrySize(), {}, {}};
  std::size_t rows = std::size_t{member.arrayCount} * member.entryCount;
  image.data.assign(rows * entrySize(), 0);
  image.stored.assign(rows, false);
  storedRows(image);
  for (std::size_t row = 0; row < rows; ++row) {
    if (image.stored[row]) continue;
    std::memcpy(image.data.data() + row * entrySize(), defaultEntry(), entrySize());
  }
  return std::move(image.data);
}

Vorl::Ptr<Pelcar::SchanCmds> MemoryShadowBase::download(
    Vorl::String const& fapType, Hardware::Sand::FapRevision const& fapRevision,
    Pelcar::Fapmask const& downloadFapmask) const {
  // A table's download asks every shadow with the same mask: its text is made once.
  static thread_local std::optional<std::pair<Pelcar::Fapmask, Vorl::String>> lastMask;
  if (!lastMask || !(lastMask->first == downloadFapmask)) {
    lastMask.emplace(downloadFapmask, Pelcar::valueToStrep(downloadFapmask));
  }
  auto const& maskText = lastMask->second;
  auto revisionText = fapRevision.revString();
  GLIMMET_TRACE("fapType: {}, fapRevision: {}, downloadFapmask: {}", fapType, revisionText,
                maskText);
  VORL_TRACE(constTrace(), 8, " fapType: {} fapRevision: {} downloadFapmask: {}", fapType,
             revisionText, maskText);
  return downloadWorker(fapRevision, downloadFapmask, false);
}

Vorl::Ptr<Pelcar::SchanCmds> MemoryShadowBase::clearShadow(
    Hardware::Sand::FapRevision const& fapRevision, Pelcar::Fapmask const& mask) {
  auto cmds = downloadWorker(fapRevision, mask, true);
  collCleanup();
  return cmds;
}

Vorl::Ptr<Pelcar::SchanCmds> MemoryShadowBase::downloadWorker(
    Hardware::Sand::FapRevision const& fapRevision, Pelcar::Fapmask const& mask,
    bool isDelete) const {
  VORL_TRACE(constTrace(), 8, "fapRevision: {}, downloadFapmask: {}, isDelete: {}", fapRevision,
             mask, isDelete);
  auto applicable = gate(mask);
  if (!applicable) return nullptr;
  auto const& description = bcmGroupAddrInfo();
  auto first = description ? description->firstMember() : nullptr;
  if (!first) throw Vorl::InvalidInitializeException("shadow " + name() + " has no description");
  if (auto const& pool = dmaMemPoolManager(); pool && pool->bufferBytes() < entrySize()) {
    throw Vorl::RangeException(fmt::format("DMA buffers of {} bytes cannot hold one {}-byte row",
                                           pool->bufferBytes(), entrySize()));
  }
  VORL_TRACE(tableTrace(), 3, " Processing all keys in shadow: {}", hwShadowKey());
  RowImage image{first->firstArrayIndex, first->arrayCount, first->firstEntryIndex,
                 first->entryCount, entrySize(), {}, {}};
  if (!isDelete) {
    std::size_t rows = std::size_t{first->arrayCount} * first->entryCount;
    image.data.assign(rows * entrySize(), 0);
    image.stored.assign(rows, false);
    storedRows(image);
  }
  auto cmds = Pelcar::schanCmdsFactory();
  BulkState state;
  for (U32 array = 0; array < first->arrayCount; ++array) {
    auto arrayIndex = static_cast<U8>(first->firstArrayIndex + array);
    for (U32 row = 0; row < first->entryCount; ++row) {
      dmaEnqueue(state, image, *applicable, fapRevision, arrayIndex, first->firstEntryIndex + row,
                 isDelete, *cmds);
    }
  }
  if (state.rows != 0) {
    ASIC_FATAL_ASSERT(state.buffer, "dmaMemPoolBuffer", "Invalid dmaMemPoolBuffer");
    bulkWrite(state, *applicable, fapRevision, *cmds);
  }
  return cmds;
}

void MemoryShadowBase::dmaEnqueue(BulkState& state, RowImage const& image,
                                  Pelcar::Fapmask const& applicable,
                                  Hardware::Sand::FapRevision const& fapRevision, U8 arrayIndex,
                                  U32 row, bool isDelete, Pelcar::SchanCmds& cmds) const {
  U8 const* data = imageRowData(image, arrayIndex, row, isDelete);
  auto const& pool = dmaMemPoolManager();
  if (!pool) {
    cmds.cmdsAppend(schanCmdsWorker(applicable, fapRevision, arrayIndex, row, data));
    return;
  }
  // A buffer holds rows of one array only: a bulk write addresses one array.
  if (state.buffer && state.arrayIndex != arrayIndex) bulkWrite(state, applicable, fapRevision, cmds);
  if (!state.buffer) {
    state.buffer = pool->buffer();
    state.capacity = state.buffer->size() / entrySize();
    state.rows = 0;
    state.arrayIndex = arrayIndex;
    state.firstRow = row;
    VORL_TRACE(constTrace(), 8, "dmaMemPoolBuffer: {}, dmaAddrInfo: {}",
               static_cast<void const*>(state.buffer->data()), state.buffer->size());
  }
  std::memcpy(state.buffer->data() + state.rows * entrySize(), data, entrySize());
  ++state.rows;
  if (state.rows == state.capacity) {
    VORL_TRACE(constTrace(), 3, " shadowKey: {} queued {} in bulk", hwShadowKey(), state.rows);
    bulkWrite(state, applicable, fapRevision, cmds);
  }
}

void MemoryShadowBase::bulkWrite(BulkState& state, Pelcar::Fapmask const& applicable,
                                 Hardware::Sand::FapRevision const& fapRevision,
                                 Pelcar::SchanCmds& cmds) const {
  for (auto const& [memoryId, member] : bcmGroupAddrInfo()->members()) {
    for (auto const& [instanceId, instance] : member->instances) {
      if (!coversInstance(instanceId)) continue;
      cmds.cmdsAppend(Tessar::memoryWriteDmamemPoolBulkCmdFactory(
          applicable, fapRevision, sandCmdletRequiredStatus(), *instance, entrySize(), *member,
          state.arrayIndex, state.firstRow, state.rows, *state.buffer));
    }
  }
  state.buffer = nullptr;
  state.rows = 0;
}

}  // namespace Framework
