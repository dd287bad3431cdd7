#include "platform/glimmet/Glimmet.h"

#include <algorithm>
#include <cstring>

#include <fmt/args.h>

#include "platform/vorl/Exceptions.h"

namespace Glimmet {
namespace {

enum Tag : std::uint8_t { unsignedTag = 1, signedTag = 2, boolTag = 3, stringTag = 4 };

constexpr std::size_t kHeaderBytes = 4 + 8 + 2 + 1;
constexpr std::size_t kCountOffset = 4 + 8 + 2;

struct Descriptors {
  std::mutex mutex;
  std::vector<MessageDescriptor const*> byId;
};

Descriptors& descriptors() {
  static Descriptors* instance = new Descriptors();  // never destroyed: traces may run at exit
  return *instance;
}

std::uint64_t readLittleEndian(std::vector<std::uint8_t> const& bytes, std::size_t& offset,
                               std::size_t count) {
  if (offset + count > bytes.size())
    throw Vorl::CorruptionDetectedException("Glimmet record cut short");
  std::uint64_t value = 0;
  for (std::size_t index = 0; index < count; ++index) {
    value |= static_cast<std::uint64_t>(bytes[offset + index]) << (8 * index);
  }
  offset += count;
  return value;
}

Record decode(std::vector<std::uint8_t> const& bytes) {
  Record record;
  std::size_t offset = 4;
  record.sequence = readLittleEndian(bytes, offset, 8);
  record.descriptorId = static_cast<std::uint16_t>(readLittleEndian(bytes, offset, 2));
  auto count = readLittleEndian(bytes, offset, 1);
  for (std::uint64_t index = 0; index < count; ++index) {
    auto tag = readLittleEndian(bytes, offset, 1);
    switch (tag) {
      case unsignedTag:
        record.arguments.emplace_back(readLittleEndian(bytes, offset, 8));
        break;
      case signedTag:
        record.arguments.emplace_back(
            static_cast<std::int64_t>(readLittleEndian(bytes, offset, 8)));
        break;
      case boolTag:
        record.arguments.emplace_back(readLittleEndian(bytes, offset, 1) != 0);
        break;
      case stringTag: {
        auto length = readLittleEndian(bytes, offset, 2);
        if (offset + length > bytes.size()) {
          throw Vorl::CorruptionDetectedException("Glimmet string argument cut short");
        }
        record.arguments.emplace_back(
            Vorl::String(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                         bytes.begin() + static_cast<std::ptrdiff_t>(offset + length)));
        offset += length;
        break;
      }
      default:
        throw Vorl::CorruptionDetectedException("Glimmet argument with unknown tag");
    }
  }
  return record;
}

// An argument's tag and then its value, little-endian in `bytes` bytes, at `into`:
// one copy into the record instead of one per piece. Returns the bytes written.
std::size_t encodeTagged(std::uint8_t* into, std::uint8_t tag, std::uint64_t value,
                         std::size_t bytes) {
  into[0] = tag;
  for (std::size_t index = 0; index < bytes; ++index) {
    into[1 + index] = static_cast<std::uint8_t>(value >> (8 * index));
  }
  return 1 + bytes;
}

}  // namespace

MessageDescriptor::MessageDescriptor(std::string_view format, char const* file, int line)
    : format_(format), file_(file), line_(line) {
  auto& all = descriptors();
  std::lock_guard lock(all.mutex);
  id_ = static_cast<std::uint16_t>(all.byId.size());
  all.byId.push_back(this);
}

MessageDescriptor const* MessageDescriptor::byId(std::uint16_t id) {
  auto& all = descriptors();
  std::lock_guard lock(all.mutex);
  return id < all.byId.size() ? all.byId[id] : nullptr;
}

Vorl::String Record::text() const {
  auto const* descriptor = MessageDescriptor::byId(descriptorId);
  if (!descriptor) return fmt::format("<unknown descriptor {}>", descriptorId);
  fmt::dynamic_format_arg_store<fmt::format_context> store;
  for (auto const& argument : arguments) {
    std::visit([&store](auto const& value) { store.push_back(value); }, argument);
  }
  try {
    return fmt::vformat(descriptor->format(), store);
  } catch (fmt::format_error const&) {
    Vorl::String text(descriptor->format());
    for (auto const& argument : arguments) {
      std::visit([&text](auto const& value) { text += fmt::format(" {}", value); }, argument);
    }
    return text;
  }
}

RecordWriter::RecordWriter(MessageDescriptor const& descriptor) : size_(kHeaderBytes) {
  std::memset(inline_, 0, kHeaderBytes);
  inline_[12] = static_cast<std::uint8_t>(descriptor.id());
  inline_[13] = static_cast<std::uint8_t>(descriptor.id() >> 8);
}

void RecordWriter::putBytes(void const* bytes, std::size_t count) {
  if (count == 0) return;  // an empty string's bytes may be null
  if (spill_.empty() && size_ + count > kInlineBytes) spill_.assign(inline_, inline_ + size_);
  if (spill_.empty()) {
    std::memcpy(inline_ + size_, bytes, count);
  } else {
    auto const* from = static_cast<std::uint8_t const*>(bytes);
    spill_.insert(spill_.end(), from, from + count);
  }
  size_ += count;
}

void RecordWriter::add(std::uint64_t value) {
  std::uint8_t tagged[9];
  putBytes(tagged, encodeTagged(tagged, unsignedTag, value, 8));
  ++count_;
}

void RecordWriter::add(std::int64_t value) {
  std::uint8_t tagged[9];
  putBytes(tagged, encodeTagged(tagged, signedTag, static_cast<std::uint64_t>(value), 8));
  ++count_;
}

void RecordWriter::add(bool value) {
  std::uint8_t tagged[2];
  putBytes(tagged, encodeTagged(tagged, boolTag, value ? 1 : 0, 1));
  ++count_;
}

void RecordWriter::add(std::string_view value) {
  if (value.size() > 0xFFFF) value = value.substr(0, 0xFFFF);
  std::uint8_t tagged[3];
  putBytes(tagged, encodeTagged(tagged, stringTag, value.size(), 2));
  putBytes(value.data(), value.size());
  ++count_;
}

void RecordWriter::stamp(std::uint64_t sequence) {
  auto* record = bytes();
  auto length = static_cast<std::uint32_t>(size_);
  for (std::size_t index = 0; index < 4; ++index) {
    record[index] = static_cast<std::uint8_t>(length >> (8 * index));
  }
  for (std::size_t index = 0; index < 8; ++index) {
    record[4 + index] = static_cast<std::uint8_t>(sequence >> (8 * index));
  }
  record[kCountOffset] = count_;
}

std::vector<std::uint8_t> RecordWriter::finish(std::uint64_t sequence) {
  stamp(sequence);
  return std::vector<std::uint8_t>(bytes(), bytes() + size_);
}

Ring::Ring(std::size_t capacityBytes)
    : buffer_(capacityBytes < kHeaderBytes ? kHeaderBytes : capacityBytes) {}

std::uint32_t Ring::lengthAt(std::size_t offset) const {
  std::uint32_t length = 0;
  if (offset + 4 <= buffer_.size()) {  // the length does not wrap: no modulo per byte
    for (std::size_t index = 0; index < 4; ++index) {
      length |= static_cast<std::uint32_t>(buffer_[offset + index]) << (8 * index);
    }
    return length;
  }
  for (std::size_t index = 0; index < 4; ++index) {
    length |= static_cast<std::uint32_t>(buffer_[(offset + index) % buffer_.size()]) << (8 * index);
  }
  return length;
}

void Ring::dropOldest() {
  auto length = lengthAt(tail_);
  tail_ = (tail_ + length) % buffer_.size();
  used_ -= length;
}

void Ring::copyIn(std::uint8_t const* record, std::size_t size) {
  // At most two pieces: up to the end of the buffer, then from its start.
  std::size_t first = std::min(size, buffer_.size() - head_);
  std::memcpy(buffer_.data() + head_, record, first);
  std::memcpy(buffer_.data(), record + first, size - first);
  head_ = (head_ + size) % buffer_.size();
  used_ += size;
}

void Ring::append(RecordWriter& writer) {
  std::lock_guard lock(mutex_);
  if (writer.size() > buffer_.size()) {
    ++dropped_;
    return;
  }
  writer.stamp(nextSequence_++);
  while (buffer_.size() - used_ < writer.size()) dropOldest();
  if (used_ == 0) head_ = tail_ = 0;
  copyIn(writer.bytes(), writer.size());
}

std::vector<Record> Ring::records() const {
  std::lock_guard lock(mutex_);
  std::vector<Record> records;
  std::size_t offset = tail_;
  std::size_t remaining = used_;
  while (remaining > 0) {
    auto length = lengthAt(offset);
    if (length < kHeaderBytes || length > remaining) {
      throw Vorl::CorruptionDetectedException("Glimmet ring record length out of range");
    }
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t index = 0; index < length; ++index) {
      bytes[index] = buffer_[(offset + index) % buffer_.size()];
    }
    records.push_back(decode(bytes));
    offset = (offset + length) % buffer_.size();
    remaining -= length;
  }
  return records;
}

std::size_t Ring::droppedRecords() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::size_t Ring::usedBytes() const {
  std::lock_guard lock(mutex_);
  return used_;
}

void Ring::clear() {
  std::lock_guard lock(mutex_);
  head_ = tail_ = used_ = 0;
}

Ring& Ring::process() {
  static Ring* ring = new Ring();  // never destroyed: traces may run at exit
  return *ring;
}

}  // namespace Glimmet
