// The binary trace facility: compact trace records in an in-memory ring.
//
// A call site describes its message once (a MessageDescriptor: the {fmt} format, the
// source file and line, and a small id assigned at first use) and then writes only
// the descriptor id and the encoded arguments per call. Formatting happens when the
// records are read back, not when they are written.
//
// Record layout in the ring (little-endian, no alignment):
//
//   +--------+----------+--------------+----------+------------------------------+
//   | length | sequence | descriptorId | argCount | arguments ...                |
//   |  u32   |   u64    |     u16      |    u8    |                              |
//   +--------+----------+--------------+----------+------------------------------+
//
//   argument: tag u8, then  1 unsigned: u64 | 2 signed: i64 | 3 bool: u8 |
//                           4 string: u16 length + bytes (longer strings are cut)
//
// `length` covers the whole record. The ring is a fixed byte buffer: a new record
// that does not fit evicts the oldest records; a record larger than the whole ring
// is dropped and counted.
//
// Thread-safety: every operation may run on any thread (one lock per ring).
#pragma once

#include "platform/plugin/Export.h"

#include <concepts>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "platform/vorl/String.h"

namespace Glimmet {

class HWTABLES_API MessageDescriptor {
 public:
  MessageDescriptor(std::string_view format, char const* file, int line);
  MessageDescriptor(MessageDescriptor const&) = delete;
  MessageDescriptor& operator=(MessageDescriptor const&) = delete;

  std::uint16_t id() const { return id_; }
  std::string_view format() const { return format_; }
  char const* file() const { return file_; }
  int line() const { return line_; }

  // The descriptor with that id, or null.
  static MessageDescriptor const* byId(std::uint16_t id);

 private:
  std::string_view format_;
  char const* file_;
  int line_;
  std::uint16_t id_;
};

using Argument = std::variant<std::uint64_t, std::int64_t, bool, Vorl::String>;

struct HWTABLES_API Record {
  std::uint64_t sequence = 0;
  std::uint16_t descriptorId = 0;
  std::vector<Argument> arguments;

  // The format filled with the arguments; "<unknown descriptor N>" when the id is
  // not known, the format and the raw arguments when they do not fit it.
  Vorl::String text() const;
};

// Encodes a record's arguments. A record of a few short arguments (nearly all of
// them) is built on the stack and copied once, into the ring; a longer one moves to
// the heap.
class HWTABLES_API RecordWriter {
 public:
  explicit RecordWriter(MessageDescriptor const& descriptor);

  void add(std::uint64_t value);
  void add(std::int64_t value);
  void add(bool value);
  void add(std::string_view value);

  // The finished record with `sequence` filled in.
  std::vector<std::uint8_t> finish(std::uint64_t sequence);

 private:
  friend class Ring;
  static constexpr std::size_t kInlineBytes = 192;

  void putBytes(void const* bytes, std::size_t count);
  // Fills in the header; the record is then bytes()[0, size()).
  void stamp(std::uint64_t sequence);
  std::uint8_t* bytes() { return spill_.empty() ? inline_ : spill_.data(); }
  std::size_t size() const { return size_; }

  std::uint8_t inline_[kInlineBytes];
  std::vector<std::uint8_t> spill_;  // the record once it outgrows inline_
  std::size_t size_ = 0;
  std::uint8_t count_ = 0;
};

class HWTABLES_API Ring {
 public:
  static constexpr std::size_t kDefaultCapacity = 64 * 1024;

  explicit Ring(std::size_t capacityBytes = kDefaultCapacity);

  // Appends one encoded record (from RecordWriter) under the next sequence number.
  void append(RecordWriter& writer);

  // Every record still in the ring, oldest first.
  std::vector<Record> records() const;
  std::size_t droppedRecords() const;
  std::size_t usedBytes() const;
  std::size_t capacity() const { return buffer_.size(); }
  void clear();

  // The process's ring, which GLIMMET_TRACE writes to.
  static Ring& process();

 private:
  void copyIn(std::uint8_t const* record, std::size_t size);
  std::uint32_t lengthAt(std::size_t offset) const;
  void dropOldest();

  mutable std::mutex mutex_;
  std::vector<std::uint8_t> buffer_;
  std::size_t head_ = 0;  // where the next record starts
  std::size_t tail_ = 0;  // where the oldest record starts
  std::size_t used_ = 0;
  std::uint64_t nextSequence_ = 1;
  std::size_t dropped_ = 0;
};

namespace detail {

template <class T>
void addArgument(RecordWriter& writer, T const& value) {
  if constexpr (std::is_same_v<T, bool>) {
    writer.add(value);
  } else if constexpr (std::unsigned_integral<T>) {
    writer.add(static_cast<std::uint64_t>(value));
  } else if constexpr (std::signed_integral<T>) {
    writer.add(static_cast<std::int64_t>(value));
  } else if constexpr (std::is_convertible_v<T const&, std::string_view>) {
    writer.add(std::string_view(value));
  } else {
    writer.add(std::string_view(fmt::format("{}", value)));
  }
}

}  // namespace detail

template <class... Args>
void trace(Ring& ring, MessageDescriptor const& descriptor, Args const&... args) {
  RecordWriter writer(descriptor);
  (detail::addArgument(writer, args), ...);
  ring.append(writer);
}

}  // namespace Glimmet

// Writes one binary trace record to the process ring; the descriptor is built once
// per call site.
#define GLIMMET_TRACE(format, ...)                                                            \
  do {                                                                                        \
    static ::Glimmet::MessageDescriptor const glimmetDescriptor_(format, __FILE__, __LINE__); \
    ::Glimmet::trace(::Glimmet::Ring::process(), glimmetDescriptor_, __VA_ARGS__);            \
  } while (0)
