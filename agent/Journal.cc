#include "agent/Journal.h"

#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include <fmt/format.h>

#include "platform/sim/ChipWire.h"

namespace HwAgent {
namespace {

constexpr std::string_view kMagic{"HWTJRNL\0", 8};
constexpr std::size_t kRecordHeaderBytes = 8;  // payload length, checksum
// Sequence, time, answer, 3 zero bytes, rows written, the two names' lengths.
constexpr std::size_t kRecordFixedBytes = 8 + 8 + 4 + 4 + 2 + 2;
// A record larger than this is damage, not a record (the largest command is one
// frame of the chip's wire).
constexpr std::uint32_t kLargestRecord = Sim::Wire::kMaxPayload + 2 * 65536 + 64;

// The record's checksum: 8-byte little-endian words (the tail zero-padded) folded
// into 64 bits, each step a bijection of the state, so that any one damaged word
// changes the result; the upper half of a final mix. A byte at a time would cost the
// journal a tenth of a download's time.
std::uint32_t checksumOf(std::uint8_t const* bytes, std::size_t size) {
  std::uint64_t hash = 0x9e3779b97f4a7c15ull ^ size;
  auto fold = [&hash](std::uint64_t word) {
    hash ^= word;
    hash = (hash << 29) | (hash >> 35);
    hash *= 0xbf58476d1ce4e5b9ull;
  };
  std::size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    fold(le64toh(word));
  }
  std::uint64_t tail = 0;
  for (std::size_t index = 0; at + index < size; ++index) tail |= std::uint64_t{bytes[at + index]} << (8 * index);
  fold(tail);
  hash ^= hash >> 31;
  hash *= 0x94d049bb133111ebull;
  hash ^= hash >> 29;
  return static_cast<std::uint32_t>(hash >> 32);
}

void put(std::vector<std::uint8_t>& out, std::uint64_t value, unsigned bytes) {
  for (unsigned index = 0; index < bytes; ++index) out.push_back(static_cast<std::uint8_t>(value >> (8 * index)));
}

std::uint64_t get(std::uint8_t const* bytes, unsigned count) {
  std::uint64_t value = 0;
  for (unsigned index = 0; index < count; ++index) value |= std::uint64_t{bytes[index]} << (8 * index);
  return value;
}

std::uint64_t nowNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

std::string errnoText() { return std::strerror(errno); }

bool exists(std::string const& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::string rotated(std::string const& path, unsigned number) { return fmt::format("{}.{}", path, number); }

// Whether the file at `path` starts as a journal does (any version).
bool looksLikeJournal(std::string const& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char magic[8] = {};
  auto got = ::read(fd, magic, sizeof magic);
  ::close(fd);
  return got == static_cast<ssize_t>(sizeof magic) && std::string_view(magic, 8) == kMagic;
}

std::string nameOf(std::uint8_t const*& at, std::uint16_t length) {
  std::string text(reinterpret_cast<char const*>(at), length);
  at += length;
  return text;
}

}  // namespace

char const* journalAnswerName(JournalAnswer answer) {
  switch (answer) {
    case JournalAnswer::done:
      return "done";
    case JournalAnswer::refused:
      return "refused";
    case JournalAnswer::timedOut:
      return "timed out";
    case JournalAnswer::partial:
      return "partly written";
    case JournalAnswer::notDelivered:
      return "not delivered";
  }
  return "unknown";
}

JournalWriter::JournalWriter(std::string path, std::uint64_t maxBytes, unsigned files)
    : path_(std::move(path)), maxBytes_(maxBytes), files_(files), run_(std::random_device()() * 0x100000001ull ^ nowNs()) {
  if (path_.empty()) throw JournalError("the journal needs a file name");
  if (maxBytes_ < kJournalMinBytes) {
    throw JournalError(fmt::format("a journal of at most {} bytes is too small; at least {}",
                                   maxBytes_, kJournalMinBytes));
  }
  if (files_ < 1) throw JournalError("a journal keeps at least its own file");
  if (exists(path_)) {
    if (!looksLikeJournal(path_)) {
      throw JournalError(fmt::format("{} exists and is not a journal; it is left as it is", path_));
    }
    rotate();  // an earlier run's journal: kept as FILE.1
  } else {
    open();
  }
}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void JournalWriter::open() {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd_ < 0) throw JournalError(fmt::format("cannot make the journal {}: {}", path_, errnoText()));
  std::vector<std::uint8_t> header(kMagic.begin(), kMagic.end());
  put(header, kJournalVersion, 2);
  put(header, 0, 2);
  put(header, run_, 8);
  put(header, nextSequence_, 8);
  put(header, nowNs(), 8);
  size_ = 0;
  append(header);
}

void JournalWriter::rotate() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  // FILE.(files-1) is the oldest kept: anything that would go past it goes.
  if (files_ == 1) {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
      throw JournalError(fmt::format("cannot remove the full journal {}: {}", path_, errnoText()));
    }
  } else {
    for (unsigned number = files_ - 1; number >= 1; --number) {
      auto from = number == 1 ? path_ : rotated(path_, number - 1);
      if (!exists(from)) continue;
      if (::rename(from.c_str(), rotated(path_, number).c_str()) != 0) {
        throw JournalError(fmt::format("cannot rotate the journal {}: {}", from, errnoText()));
      }
    }
  }
  ++rotations_;
  open();
}

void JournalWriter::append(std::vector<std::uint8_t> const& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    auto wrote = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) throw JournalError(fmt::format("cannot write the journal {}: {}", path_, errnoText()));
    done += static_cast<std::size_t>(wrote);
  }
  size_ += bytes.size();
}

void JournalWriter::record(Pelcar::SchanCmds const& cmds, std::string_view table,
                           Sim::WriteOutcome const* outcome) {
  auto time = nowNs();
  batch_.clear();
  std::size_t bytes = 0;
  for (auto const& cmd : cmds) bytes += kRecordHeaderBytes + kRecordFixedBytes + 128 + Sim::Wire::encodedWriteBytes(*cmd);
  batch_.reserve(bytes);
  std::uint32_t index = 0;
  auto fault = outcome ? outcome->faults.begin() : std::vector<Sim::CommandFault>::const_iterator();
  for (auto const& cmd : cmds) {
    auto answer = outcome ? JournalAnswer::done : JournalAnswer::notDelivered;
    std::uint32_t rowsWritten = 0;
    if (outcome && fault != outcome->faults.end() && fault->index == index) {
      answer = static_cast<JournalAnswer>(fault->kind);
      rowsWritten = fault->rowsWritten;
      ++fault;
    }
    ++index;
    std::string_view member = cmd->memberName;
    auto tableLength = static_cast<std::uint16_t>(std::min<std::size_t>(table.size(), 65535));
    auto memberLength = static_cast<std::uint16_t>(std::min<std::size_t>(member.size(), 65535));
    std::size_t payload = kRecordFixedBytes + tableLength + memberLength + 4 +
                          Sim::Wire::encodedWriteBytes(*cmd);
    // A new file before a record that would take this one past its cap (a file holds
    // at least one record, however large).
    if (size_ + batch_.size() + kRecordHeaderBytes + payload > maxBytes_ &&
        size_ + batch_.size() > kJournalHeaderBytes) {
      append(batch_);
      batch_.clear();
      rotate();
    }
    auto start = batch_.size();
    put(batch_, payload, 4);
    put(batch_, 0, 4);  // the checksum, below
    put(batch_, nextSequence_++, 8);
    put(batch_, time, 8);
    put(batch_, static_cast<std::uint8_t>(answer), 1);
    put(batch_, 0, 3);
    put(batch_, rowsWritten, 4);
    put(batch_, tableLength, 2);
    put(batch_, memberLength, 2);
    batch_.insert(batch_.end(), table.begin(), table.begin() + tableLength);
    batch_.insert(batch_.end(), member.begin(), member.begin() + memberLength);
    put(batch_, 1, 4);  // the command as a write request of one command
    Sim::Wire::appendWrite(batch_, *cmd);
    auto checksum = checksumOf(batch_.data() + start + kRecordHeaderBytes, payload);
    for (unsigned byte = 0; byte < 4; ++byte) batch_[start + 4 + byte] = static_cast<std::uint8_t>(checksum >> (8 * byte));
  }
  append(batch_);
}

JournalFile readJournalFile(std::string const& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw JournalError(fmt::format("cannot read the journal {}: {}", path, errnoText()));
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (;;) {
    auto got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      auto text = errnoText();
      ::close(fd);
      throw JournalError(fmt::format("cannot read the journal {}: {}", path, text));
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  ::close(fd);

  JournalFile file;
  file.path = path;
  if (bytes.size() < kJournalHeaderBytes || std::string_view(reinterpret_cast<char const*>(bytes.data()), 8) != kMagic) {
    throw JournalError(fmt::format("{} is not a journal (no journal header)", path));
  }
  file.version = static_cast<std::uint16_t>(get(bytes.data() + 8, 2));
  if (file.version != kJournalVersion) {
    throw JournalError(fmt::format(
        "{} is a journal of version {}; this hwtables reads version {} only", path, file.version,
        kJournalVersion));
  }
  file.run = get(bytes.data() + 12, 8);
  file.firstSequence = get(bytes.data() + 20, 8);
  file.openedNs = get(bytes.data() + 28, 8);
  std::size_t at = kJournalHeaderBytes;
  auto expected = file.firstSequence;
  while (at < bytes.size()) {
    auto left = bytes.size() - at;
    if (left < kRecordHeaderBytes) {
      file.cutShort = fmt::format("cut short at byte {}: {} bytes of a record's header", at, left);
      break;
    }
    auto length = static_cast<std::uint32_t>(get(bytes.data() + at, 4));
    auto checksum = static_cast<std::uint32_t>(get(bytes.data() + at + 4, 4));
    if (length < kRecordFixedBytes || length > kLargestRecord) {
      file.cutShort = fmt::format("damaged at byte {}: a record of {} bytes", at, length);
      file.damaged = true;
      break;
    }
    if (left - kRecordHeaderBytes < length) {
      file.cutShort = fmt::format("cut short at byte {}: a record of {} bytes, {} there", at,
                                  length, left - kRecordHeaderBytes);
      break;
    }
    auto const* payload = bytes.data() + at + kRecordHeaderBytes;
    if (checksumOf(payload, length) != checksum) {
      file.cutShort = fmt::format("damaged at byte {}: the record's checksum does not match", at);
      file.damaged = true;
      break;
    }
    JournalRecord record;
    record.sequence = get(payload, 8);
    record.timeNs = get(payload + 8, 8);
    auto answer = payload[16];
    record.rowsWritten = static_cast<std::uint32_t>(get(payload + 20, 4));
    auto tableLength = static_cast<std::uint16_t>(get(payload + 24, 2));
    auto memberLength = static_cast<std::uint16_t>(get(payload + 26, 2));
    std::string problem;
    if (answer > static_cast<std::uint8_t>(JournalAnswer::notDelivered)) {
      problem = fmt::format("an answer of kind {}", answer);
    } else if (record.sequence != expected) {
      problem = fmt::format("record {} where {} was next", record.sequence, expected);
    } else if (kRecordFixedBytes + tableLength + memberLength > length) {
      problem = "names longer than the record";
    }
    if (problem.empty()) {
      record.answer = static_cast<JournalAnswer>(answer);
      auto const* names = payload + kRecordFixedBytes;
      record.table = nameOf(names, tableLength);
      auto member = nameOf(names, memberLength);
      try {
        Sim::Wire::Decoder in(names, length - (kRecordFixedBytes + tableLength + memberLength));
        auto cmds = Sim::Wire::decodeWrites(in);
        if (cmds.size() != 1) throw Sim::Wire::WireError(fmt::format("{} commands", cmds.size()));
        record.cmd = cmds.front();
        record.cmd->memberName = member;
        if (record.rowsWritten > record.cmd->rowCount) throw Sim::Wire::WireError("more rows written than the command has");
      } catch (Sim::Wire::WireError const& error) {
        problem = fmt::format("its command: {}", error.what());
      }
    }
    if (!problem.empty()) {
      file.cutShort = fmt::format("damaged at byte {}: {}", at, problem);
      file.damaged = true;
      break;
    }
    file.records.push_back(std::move(record));
    ++expected;
    at += kRecordHeaderBytes + length;
  }
  return file;
}

std::vector<JournalFile> readJournal(std::string const& path) {
  std::vector<JournalFile> files;
  files.push_back(readJournalFile(path));
  // The rotated files of the same run, newest first, as long as each ends where the
  // next begins.
  for (unsigned number = 1;; ++number) {
    auto older = rotated(path, number);
    if (!exists(older) || !looksLikeJournal(older)) break;
    JournalFile file;
    try {
      file = readJournalFile(older);
    } catch (JournalError const&) {
      break;
    }
    auto const& newer = files.back();
    if (file.run != newer.run || !file.cutShort.empty() ||
        file.firstSequence + file.records.size() != newer.firstSequence) {
      break;
    }
    files.push_back(std::move(file));
  }
  std::reverse(files.begin(), files.end());
  return files;
}

}  // namespace HwAgent
