#include "agent/Journal.h"

#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "agent/JournalFormat.h"
#include "platform/sim/ChipWire.h"

namespace HwAgent {

namespace JournalFormat {

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

std::string errnoText() { return std::strerror(errno); }

bool exists(std::string const& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::string rotated(std::string const& path, unsigned number) { return fmt::format("{}.{}", path, number); }

bool looksLikeJournal(std::string const& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char magic[8] = {};
  auto got = ::read(fd, magic, sizeof magic);
  ::close(fd);
  return got == static_cast<ssize_t>(sizeof magic) && std::string_view(magic, 8) == kMagic;
}

}  // namespace JournalFormat

using namespace JournalFormat;

namespace {

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
