// The common slot header: formatting, decoding, validation and text form.
//
// SlotHeader is a private, decoded copy of the header fields (see SlotLayout.h for
// their offsets). Writers format the header once when they create "slots"; readers
// and tools decode a consistent copy (taken under the slot-count version) and check
// it before trusting any size or index in it.
//
// Thread-safety: functions are pure or touch only the memory they are given.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <string>

#include "store/SlotLayout.h"

namespace Brell {

struct HWTABLES_API SlotHeader {
  std::uint64_t magic = 0;
  std::uint32_t formatVersion = 0;
  std::uint32_t commonHeaderSize = 0;
  std::uint32_t pyrelId = 0;
  std::uint32_t valueSize = 0;
  std::uint32_t slotSize = 0;
  std::uint32_t initialSlots = 0;
  std::uint32_t maximumSlots = 0;
  std::uint32_t typeSize = 0;
  std::uint32_t keySize = 0;
  KeyLayout keyLayout;
  std::uint64_t writerSequence = 0;
  std::uint64_t creationTime = 0;
  std::uint32_t creatorProcess = 0;
  std::uint32_t checksum = 0;
  std::string typeName;
  std::uint8_t headerFlags = 0;
  std::uint16_t runtimeFlags = 0;
  std::uint32_t occupancy = 0;
  std::uint32_t freeListHead = kNullReference;
  std::uint32_t largestSlotCount = 0;
  std::uint32_t hashSeed = 0;
  SlotLink slotCount;
  std::uint32_t largestOccupancy = 0;
  SlotLink lookasideLink;
  // Whether the stored checksum matches the immutable fields.
  bool checksumMatches = false;

  std::uint32_t headerSize() const { return kCommonHeaderSize + slotSize; }
  bool fixedSize() const { return (headerFlags & kHeaderFlagFixedSize) != 0; }
  bool shrinkable() const { return (headerFlags & kHeaderFlagShrinkable) != 0; }
  bool criticalSection() const { return (runtimeFlags & kRuntimeFlagCriticalSection) != 0; }
  std::string toString() const;
};

// The constant part of a new header, in the order the header component takes it.
struct HWTABLES_API SlotHeaderFormat {
  std::uint32_t commonHeaderSize = kCommonHeaderSize;
  std::uint32_t reserved20 = 0;
  std::uint32_t valueSize = 0;
  std::uint32_t slotSize = 0;
  std::uint32_t initialSlots = 0;
  std::uint32_t maximumSlots = 0;
  std::uint32_t reserved40 = 0;
  std::uint32_t pyrelId = 0;
  std::string typeName;
  std::uint32_t typeSize = 0;
  std::uint32_t hashSeed = 0;
  KeyLayout keyLayout;
  std::uint8_t headerFlags = 0;
};

namespace SlotHeaderCommon {

// Writes a complete new header (common part and lookaside slot) into `header`,
// which must hold headerSizeFor(format.slotSize) bytes: slot count {0, 0},
// occupancy 0, empty free list, lookaside link {0, 0xBFFFFFFF}.
HWTABLES_API void format(void* header, SlotHeaderFormat const& format);

// Decodes the fields from header memory (a mapping or a private copy). Reads only
// the common part plus the lookaside link.
HWTABLES_API SlotHeader decode(void const* header);

// Copies `bytes` of header from a live mapping until the slot-count VersionedRef is
// the same before and after the copy (so the copy is not torn by a resize).
HWTABLES_API void consistentCopy(void* target, void const* mapping, std::size_t bytes);

// The header's own checks: magic, format version, common header size, checksum,
// value and slot size, key layout, type size; slot file at least one header long.
// False with a reason on the first failure.
HWTABLES_API bool validate(SlotHeader const& header, std::uint64_t fileSize, std::string* reason);

// The checksum over the immutable fields [0,72) and [96,352) of header memory.
HWTABLES_API std::uint32_t computeChecksum(void const* header);

}  // namespace SlotHeaderCommon

}  // namespace Brell
