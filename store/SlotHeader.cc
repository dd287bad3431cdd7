#include "store/SlotHeader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include <unistd.h>

#include <fmt/format.h>

#include "platform/sharedmem/Checksum.h"
#include "platform/tyvo/Hash.h"

namespace Brell {
namespace {

namespace Offset = SlotHeaderOffset;

constexpr std::size_t kChecksumEnd = Offset::typeName + kTypeNameBytes;
static_assert(kChecksumEnd % 8 == 0);

// The checksum of a private header image (at least kChecksumEnd bytes).
std::uint32_t computeChecksumOfImage(unsigned char const* bytes) {
  unsigned char immutable[Offset::writerSequence + kTypeNameBytes];
  std::memcpy(immutable, bytes, Offset::writerSequence);
  std::memcpy(immutable + Offset::writerSequence, bytes + Offset::typeName, kTypeNameBytes);
  return SharedMem::checksum(immutable, sizeof immutable);
}

}  // namespace

std::string SlotHeader::toString() const {
  std::string flags;
  if (fixedSize()) flags += " fixedSize";
  if (shrinkable()) flags += " shrinkable";
  if (flags.empty()) flags = " none";
  return fmt::format(
      "SlotHeader type:\"{}\" version:{} pyrelId:{:#010x} valueSize:{} slotSize:{} "
      "headerSize:{} initialSlots:{} maximumSlots:{} key:{}\n"
      "  headerFlags:{:#x}{} runtimeFlags:{:#x} writerSequence:{} occupancy:{} "
      "largestOccupancy:{} freeListHead:{:#x} slotCount:{{version:{} count:{}}} "
      "largestSlotCount:{} hashSeed:{:#x} lookaside:{{version:{} reference:{:#x}}}",
      typeName, formatVersion, pyrelId, valueSize, slotSize, headerSize(), initialSlots,
      maximumSlots, keyLayout.toString(), headerFlags, flags, runtimeFlags, writerSequence,
      occupancy, largestOccupancy, freeListHead, slotCount.version, slotCount.value,
      largestSlotCount, hashSeed, lookasideLink.version, lookasideLink.value);
}

namespace SlotHeaderCommon {

std::uint32_t computeChecksum(void const* header) {
  unsigned char bytes[kChecksumEnd];
  copyFromShared(bytes, header, kChecksumEnd);
  return computeChecksumOfImage(bytes);
}

void format(void* header, SlotHeaderFormat const& format) {
  std::size_t bytes = headerSizeFor(format.slotSize);
  unsigned char image[kCommonHeaderSize + 64] = {};
  auto put32 = [&image](std::size_t offset, std::uint32_t value) {
    std::memcpy(image + offset, &value, 4);
  };
  auto put64 = [&image](std::size_t offset, std::uint64_t value) {
    std::memcpy(image + offset, &value, 8);
  };
  put64(Offset::magic, kSlotMagic);
  put32(Offset::formatVersion, kFormatVersion);
  put32(Offset::commonHeaderSize, format.commonHeaderSize);
  put32(Offset::pyrelId, format.pyrelId);
  put32(Offset::reserved20, format.reserved20);
  put32(Offset::valueSize, format.valueSize);
  put32(Offset::slotSize, format.slotSize);
  put32(Offset::initialSlots, format.initialSlots);
  put32(Offset::maximumSlots, format.maximumSlots);
  put32(Offset::reserved40, format.reserved40);
  put32(Offset::typeSize, format.typeSize);
  put32(Offset::keySize, format.keyLayout.size());
  image[Offset::keyFieldCount] = format.keyLayout.fieldCount;
  for (std::size_t index = 0; index < kMaxKeyFields; ++index) {
    image[Offset::keyFields + 2 * index] = format.keyLayout.fields[index].offset;
    image[Offset::keyFields + 2 * index + 1] = format.keyLayout.fields[index].width;
  }
  put64(Offset::creationTime,
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count()));
  put32(Offset::creatorProcess, static_cast<std::uint32_t>(::getpid()));
  std::memcpy(image + Offset::typeName, format.typeName.data(),
              std::min(format.typeName.size(), kTypeNameBytes - 1));
  image[Offset::headerFlags] = format.headerFlags;
  put32(Offset::freeListHead, kNullReference);
  put32(Offset::hashSeed, format.hashSeed);
  // Lookaside link {version 0, reference null}; its value and rhash start zero.
  put64(Offset::lookaside, pack(SlotLink{0, kNullReference}));
  put32(Offset::checksum, computeChecksumOfImage(image));
  copyToShared(header, image, std::min(bytes, sizeof image));
  if (bytes > sizeof image) {
    unsigned char zeros[64] = {};
    for (std::size_t offset = sizeof image; offset < bytes; offset += sizeof zeros) {
      copyToShared(static_cast<unsigned char*>(header) + offset, zeros,
                   std::min(sizeof zeros, bytes - offset));
    }
  }
}

SlotHeader decode(void const* header) {
  unsigned char bytes[kCommonHeaderSize + 8];
  copyFromShared(bytes, header, sizeof bytes);
  auto get32 = [&bytes](std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, bytes + offset, 4);
    return value;
  };
  auto get64 = [&bytes](std::size_t offset) {
    std::uint64_t value;
    std::memcpy(&value, bytes + offset, 8);
    return value;
  };
  SlotHeader decoded;
  decoded.magic = get64(Offset::magic);
  decoded.formatVersion = get32(Offset::formatVersion);
  decoded.commonHeaderSize = get32(Offset::commonHeaderSize);
  decoded.pyrelId = get32(Offset::pyrelId);
  decoded.valueSize = get32(Offset::valueSize);
  decoded.slotSize = get32(Offset::slotSize);
  decoded.initialSlots = get32(Offset::initialSlots);
  decoded.maximumSlots = get32(Offset::maximumSlots);
  decoded.typeSize = get32(Offset::typeSize);
  decoded.keySize = get32(Offset::keySize);
  decoded.keyLayout.fieldCount = bytes[Offset::keyFieldCount];
  for (std::size_t index = 0; index < kMaxKeyFields; ++index) {
    decoded.keyLayout.fields[index] = {bytes[Offset::keyFields + 2 * index],
                                       bytes[Offset::keyFields + 2 * index + 1]};
  }
  decoded.writerSequence = get64(Offset::writerSequence);
  decoded.creationTime = get64(Offset::creationTime);
  decoded.creatorProcess = get32(Offset::creatorProcess);
  decoded.checksum = get32(Offset::checksum);
  auto const* name = reinterpret_cast<char const*>(bytes + Offset::typeName);
  decoded.typeName.assign(name, ::strnlen(name, kTypeNameBytes));
  decoded.headerFlags = bytes[Offset::headerFlags];
  std::uint16_t runtime;
  std::memcpy(&runtime, bytes + Offset::runtimeFlags, 2);
  decoded.runtimeFlags = runtime;
  decoded.occupancy = get32(Offset::occupancy);
  decoded.freeListHead = get32(Offset::freeListHead);
  decoded.largestSlotCount = get32(Offset::largestSlotCount);
  decoded.hashSeed = get32(Offset::hashSeed);
  decoded.slotCount = unpack(get64(Offset::slotCount));
  decoded.largestOccupancy = get32(Offset::largestOccupancy);
  decoded.lookasideLink = unpack(get64(Offset::lookaside));
  decoded.checksumMatches = decoded.checksum == computeChecksumOfImage(bytes);
  return decoded;
}

void consistentCopy(void* target, void const* mapping, std::size_t bytes) {
  auto const* countAddress = static_cast<unsigned char const*>(mapping) + Offset::slotCount;
  for (;;) {
    SlotLink before = loadLink(countAddress);
    copyFromShared(target, mapping, bytes);
    std::atomic_thread_fence(std::memory_order_acquire);
    SlotLink after = loadLink(countAddress, std::memory_order_relaxed);
    if (before == after) return;
  }
}

bool validate(SlotHeader const& header, std::uint64_t fileSize, std::string* reason) {
  auto fail = [reason](std::string text) {
    if (reason) *reason = std::move(text);
    return false;
  };
  if (header.magic != kSlotMagic) return fail(fmt::format("bad magic:{:#x}", header.magic));
  if (header.formatVersion != kFormatVersion) {
    return fail(fmt::format("unsupported format version:{}", header.formatVersion));
  }
  if (header.commonHeaderSize != kCommonHeaderSize) {
    return fail(fmt::format("bad common header size:{} wanted:{}", header.commonHeaderSize,
                            kCommonHeaderSize));
  }
  if (!header.checksumMatches) {
    return fail(fmt::format("bad header checksum:{:#x}", header.checksum));
  }
  if (header.valueSize == 0 || header.valueSize % 4 != 0 || header.slotSize % 8 != 0 ||
      header.slotSize < header.valueSize + 12 || header.slotSize > 4096) {
    return fail(fmt::format("bad value size:{} slot size:{}", header.valueSize, header.slotSize));
  }
  if (header.typeSize != header.valueSize) {
    return fail(fmt::format("bad type size:{} valueSize:{}", header.typeSize, header.valueSize));
  }
  if (header.keyLayout.fieldCount != 0 && !header.keyLayout.fitsValue(header.valueSize)) {
    return fail(fmt::format("bad key layout:{}", header.keyLayout.toString()));
  }
  if (header.keySize != header.keyLayout.size()) {
    return fail(
        fmt::format("bad key size:{} layout:{}", header.keySize, header.keyLayout.toString()));
  }
  if (fileSize < header.headerSize()) {
    return fail(fmt::format("bad header file size: {} wanted:{}", fileSize, header.headerSize()));
  }
  return true;
}

}  // namespace SlotHeaderCommon

std::optional<std::uint64_t> slotFileSize(std::uint64_t slotCount, std::uint32_t slotSize,
                                          std::string* message) {
  if (slotCount > kMaxSlots) {
    if (message) {
      *message =
          fmt::format("slot count {} exceeds the largest addressable {}", slotCount, kMaxSlots);
    }
    return std::nullopt;
  }
  std::uint64_t size = headerSizeFor(slotSize) + slotCount * std::uint64_t{slotSize};
  if (size > std::uint64_t{SIZE_MAX} / 2) {
    if (message) *message = fmt::format("size {} does not fit in memory", size);
    return std::nullopt;
  }
  return size;
}

bool KeyLayout::fitsValue(std::uint32_t valueSize) const {
  if (fieldCount > kMaxKeyFields) return false;
  for (std::size_t index = 0; index < fieldCount; ++index) {
    auto field = fields[index];
    if (field.width != 1 && field.width != 4) return false;
    if (std::uint32_t{field.offset} + field.width > valueSize) return false;
  }
  return true;
}

std::uint32_t KeyLayout::hash(unsigned char const* value, std::uint32_t seed) const {
  Tyvo::Hash hash(seed);
  for (std::size_t index = 0; index < fieldCount; ++index) {
    auto field = fields[index];
    if (field.width == 1) {
      hash.add(std::uint8_t{value[field.offset]});
    } else {
      std::uint32_t word;
      std::memcpy(&word, value + field.offset, 4);
      hash.add(word);
    }
  }
  return hash.result();
}

int KeyLayout::compare(unsigned char const* left, unsigned char const* right) const {
  for (std::size_t index = 0; index < fieldCount; ++index) {
    auto field = fields[index];
    std::uint32_t leftField = 0;
    std::uint32_t rightField = 0;
    std::memcpy(&leftField, left + field.offset, field.width);
    std::memcpy(&rightField, right + field.offset, field.width);
    if (leftField != rightField) return leftField < rightField ? -1 : 1;
  }
  return 0;
}

std::string KeyLayout::toString() const {
  if (fieldCount == 0) return "unrecorded";
  std::string text = "[";
  for (std::size_t index = 0; index < fieldCount && index < kMaxKeyFields; ++index) {
    if (index) text += ",";
    text += fmt::format("{}@{}", fields[index].width, fields[index].offset);
  }
  return text + "]";
}

}  // namespace Brell
