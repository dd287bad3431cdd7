// Decoding one completed bulk read: the entries in a DMA buffer into a read result.
//
// The buffer holds numEntries entries of the memory's data size back to back from
// vaCursor(), entry k being entry index firstEntryIndex + k. Entries whose bytes are
// all zero are skipped without a word; every other entry gets its key (array index
// checked before entry index) and is stored. A key outside the memory's range throws
// the key's range exception and ends the walk; what was stored before stays. A
// description whose entries would run past the end of its buffer is refused before
// any entry is read.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/tessar/HwTableReaderBase.h"
#include "readers/InstanceReadResult.h"

namespace Tessar {

// Returns how many entries were stored.
template <class Result, class EntryKey, class Entry, bool isArray>
std::int32_t processReadDmaComplete(Vorl::Ptr<HwReadBulkCmdInfo const> const& info,
                                    Vorl::Ptr<HwTableReadResultContainer> const& resultContainer) {
  if (!info || !resultContainer) {
    throw Vorl::RangeException("bulk read completion without its description or result container");
  }
  auto result = Readers::handOffResult<Result>(
      *resultContainer, HwShadowKey::of(info->fapId, info->instanceId), info->fapRevision);

  constexpr U32 n = Entry::entrySize();
  auto const& buffer = info->dmaMemPoolBuffer;
  auto bytes = static_cast<std::uint64_t>(n) * info->numEntries;
  if (info->numEntries != 0 && (!buffer || bytes > buffer->size())) {
    throw Vorl::RangeException(fmt::format("bulk read of {} entries of {} bytes from a {}-byte buffer",
                                           info->numEntries, n, buffer ? buffer->size() : 0));
  }

  std::int32_t numFilled = 0;
  U8 const* position = info->numEntries != 0 ? buffer->vaCursor() : nullptr;
  for (U32 k = 0; k < info->numEntries; ++k, position += n) {
    if (std::all_of(position, position + n, [](U8 byte) { return byte == 0; })) continue;
    // An index past 32 bits is out of every range; the key's own check says so.
    auto wide = static_cast<std::uint64_t>(info->firstEntryIndex) + k;
    U32 entryIndex = wide > std::numeric_limits<U32>::max() ? std::numeric_limits<U32>::max()
                                                             : static_cast<U32>(wide);
    EntryKey key = [&] {
      if constexpr (isArray) {
        return EntryKey(info->arrayIndex, entryIndex);
      } else {
        return EntryKey(entryIndex);
      }
    }();
    Entry entry(key);
    std::memcpy(entry.dataBytes(), position, n);
    result->entryIs(entry);
    ++numFilled;
  }
  return numFilled;
}

}  // namespace Tessar
