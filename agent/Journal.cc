#include "agent/Journal.h"

#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

#include "agent/JournalFormat.h"
#include "platform/sim/ChipWire.h"

namespace HwAgent {

namespace JournalFormat {

// Version 1's checksum: 8-byte little-endian words (the tail zero-padded) folded into 64
// bits, each step a bijection of the state, so that any one damaged word changes the
// result; the upper half of a final mix.
std::uint32_t foldChecksumOf(std::uint8_t const* bytes, std::size_t size) {
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

namespace {

// CRC-32C's reflected polynomial: a CRC finds every burst of damage up to 32 bits
// long and any odd number of flipped bits in a record.
constexpr std::uint32_t kCastagnoli = 0x82f63b78u;

constexpr std::array<std::uint32_t, 256> crcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    auto crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? kCastagnoli : 0u);
    table[byte] = crc;
  }
  return table;
}
constexpr auto kCrcTable = crcTable();

#if defined(__x86_64__)
// SSE4.2's CRC32 instruction computes exactly this CRC, 8 bytes a step: a record's
// checksum costs a fraction of copying it. Compiled for that instruction set alone
// and called only where the processor says it has it.
__attribute__((target("sse4.2"))) std::uint32_t crc32cSse42(std::uint8_t const* bytes, std::size_t size) {
  std::uint64_t crc = 0xffffffffu;
  for (; size >= 8; size -= 8, bytes += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    crc = _mm_crc32_u64(crc, word);
  }
  auto crc32 = static_cast<std::uint32_t>(crc);
  for (; size != 0; --size) crc32 = _mm_crc32_u8(crc32, *bytes++);
  return ~crc32;
}

__attribute__((target("sse4.2"))) std::uint32_t crc32cOfWordsSse42(std::uint64_t first,
                                                                   std::uint64_t second) {
  return ~static_cast<std::uint32_t>(_mm_crc32_u64(_mm_crc32_u64(0xffffffffu, first), second));
}

bool const kHasSse42 = __builtin_cpu_supports("sse4.2");
#endif

}  // namespace

std::uint32_t crc32cPortable(std::uint8_t const* bytes, std::size_t size) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t index = 0; index < size; ++index) crc = kCrcTable[(crc ^ bytes[index]) & 0xffu] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t crc32cOfWords(std::uint64_t first, std::uint64_t second) {
#if defined(__x86_64__)
  if (kHasSse42) return crc32cOfWordsSse42(first, second);
#endif
  std::uint8_t bytes[16];
  put(put(bytes, first, 8), second, 8);
  return crc32cPortable(bytes, sizeof bytes);
}

std::uint32_t crc32c(std::uint8_t const* bytes, std::size_t size) {
#if defined(__x86_64__)
  if (kHasSse42) return crc32cSse42(bytes, size);
#endif
  return crc32cPortable(bytes, size);
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

namespace {

// A record's frame, as both versions have it: its payload, or why the reading stops
// before it.
struct Framed {
  std::uint8_t const* payload = nullptr;
  std::uint32_t length = 0;
};

std::optional<Framed> frameAt(std::vector<std::uint8_t> const& bytes, std::size_t at, std::uint32_t smallest,
                              std::uint32_t (*checksumOf)(std::uint8_t const*, std::size_t), JournalFile& file) {
  auto left = bytes.size() - at;
  if (left < kRecordHeaderBytes) {
    file.cutShort = fmt::format("cut short at byte {}: {} bytes of a record's header", at, left);
    return std::nullopt;
  }
  auto length = static_cast<std::uint32_t>(get(bytes.data() + at, 4));
  auto checksum = static_cast<std::uint32_t>(get(bytes.data() + at + 4, 4));
  if (length < smallest || length > kLargestRecord) {
    file.cutShort = fmt::format("damaged at byte {}: a record of {} bytes", at, length);
    file.damaged = true;
    return std::nullopt;
  }
  if (left - kRecordHeaderBytes < length) {
    file.cutShort = fmt::format("cut short at byte {}: a record of {} bytes, {} there", at, length,
                                left - kRecordHeaderBytes);
    return std::nullopt;
  }
  auto const* payload = bytes.data() + at + kRecordHeaderBytes;
  if (checksumOf(payload, length) != checksum) {
    file.cutShort = fmt::format("damaged at byte {}: the record's checksum does not match", at);
    file.damaged = true;
    return std::nullopt;
  }
  return Framed{payload, length};
}

void stopAtDamage(JournalFile& file, std::size_t at, std::string const& problem) {
  file.cutShort = fmt::format("damaged at byte {}: {}", at, problem);
  file.damaged = true;
}

// What every command record of either version must hold: an answer this journal
// knows, and the sequence number after the last record read.
std::string recordProblem(std::uint8_t answer, std::uint64_t sequence, std::uint64_t expected) {
  if (answer > static_cast<std::uint8_t>(JournalAnswer::notDelivered)) return fmt::format("an answer of kind {}", answer);
  if (sequence != expected) return fmt::format("record {} where {} was next", sequence, expected);
  return {};
}

// Version 1: each record names its table and member and carries its command as the
// chip's wire does.
void readRecordsV1(std::vector<std::uint8_t> const& bytes, JournalFile& file) {
  std::size_t at = kJournalHeaderBytes;
  auto expected = file.firstSequence;
  while (at < bytes.size()) {
    auto framed = frameAt(bytes, at, kV1FixedBytes, foldChecksumOf, file);
    if (!framed) return;
    auto const* payload = framed->payload;
    auto length = framed->length;
    JournalRecord record;
    record.sequence = get(payload, 8);
    record.timeNs = get(payload + 8, 8);
    auto answer = payload[16];
    record.rowsWritten = static_cast<std::uint32_t>(get(payload + 20, 4));
    auto tableLength = static_cast<std::uint16_t>(get(payload + 24, 2));
    auto memberLength = static_cast<std::uint16_t>(get(payload + 26, 2));
    auto problem = recordProblem(answer, record.sequence, expected);
    if (problem.empty() && kV1FixedBytes + tableLength + memberLength > length) {
      problem = "names longer than the record";
    }
    if (problem.empty()) {
      record.answer = static_cast<JournalAnswer>(answer);
      auto const* names = payload + kV1FixedBytes;
      record.table = nameOf(names, tableLength);
      auto member = nameOf(names, memberLength);
      try {
        Sim::Wire::Decoder in(names, length - (kV1FixedBytes + tableLength + memberLength));
        auto cmds = Sim::Wire::decodeWrites(in);
        if (cmds.size() != 1) throw Sim::Wire::WireError(fmt::format("{} commands", cmds.size()));
        record.cmd = cmds.front();
        record.cmd->memberName = member;
        if (record.rowsWritten > record.cmd->rowCount) throw Sim::Wire::WireError("more rows written than the command has");
      } catch (Sim::Wire::WireError const& error) {
        problem = fmt::format("its command: {}", error.what());
      }
    }
    if (!problem.empty()) return stopAtDamage(file, at, problem);
    file.records.push_back(std::move(record));
    ++expected;
    at += kRecordHeaderBytes + length;
  }
}

bool isWriteKind(std::uint8_t kind) {
  using Pelcar::SchanCmdKind;
  return kind == static_cast<std::uint8_t>(SchanCmdKind::registerWrite) ||
         kind == static_cast<std::uint8_t>(SchanCmdKind::memoryWrite) ||
         kind == static_cast<std::uint8_t>(SchanCmdKind::memoryBulkWrite);
}

// A copy (version 4): the command `distance` commands before it, sent to the FAPs of
// its own mask with its own answer. The command it copies is one read before it in this
// file.
std::string copyOf(std::uint8_t const* payload, std::uint32_t length, std::uint64_t expected,
                   std::vector<Pelcar::Fapmask> const& masks, JournalFile& file) {
  if (length != kCopyBytes) return fmt::format("a copy of {} bytes", length);
  auto answer = payload[1];
  auto mask = static_cast<std::size_t>(get(payload + 2, 2));
  auto sequence = get(payload + 4, 8);
  auto distance = get(payload + 12, 4);
  auto problem = recordProblem(answer, sequence, expected);
  if (!problem.empty()) return problem;
  if (mask >= masks.size()) return "a FAP mask not in the file before it";
  if (distance == 0 || distance > sequence - file.firstSequence) {
    return fmt::format("a copy of command {}, not in the file before it", sequence - distance);
  }
  auto const& earlier = file.records[sequence - distance - file.firstSequence];
  JournalRecord record;
  record.sequence = sequence;
  record.timeNs = earlier.timeNs;
  record.answer = static_cast<JournalAnswer>(answer);
  record.table = earlier.table;
  auto cmd = Vorl::makePtr<Pelcar::SchanCmd>(*earlier.cmd);
  cmd->fapmask = masks[mask];
  record.cmd = std::move(cmd);
  file.records.push_back(std::move(record));
  return {};
}

// Versions 2 to 4: the file's dictionary of names and FAP masks, entries numbered from 0
// in the order written, and the commands that refer to it; from version 3 also repeats,
// commands whose rows are an earlier command's of the same file, and from version 4
// copies, an earlier command of the file sent to other FAPs. An entry is read only if
// every one before it was, so a command never refers to a damaged name, and a repeat or
// a copy never to a command that was not read.
void readRecordsWithDictionary(std::vector<std::uint8_t> const& bytes, JournalFile& file) {
  bool const repeats = file.version >= 3;
  bool const copies = file.version >= 4;
  std::vector<std::string> names;
  std::vector<Pelcar::Fapmask> masks;
  std::size_t at = kJournalHeaderBytes;
  auto expected = file.firstSequence;
  while (at < bytes.size()) {
    auto framed = frameAt(bytes, at, kNameFixedBytes, crc32c, file);
    if (!framed) return;
    auto const* payload = framed->payload;
    auto length = framed->length;
    auto id = static_cast<std::size_t>(get(payload + 2, 2));
    std::string problem;
    switch (static_cast<Entry>(payload[0])) {
      case Entry::name:
        if (payload[1] != 0 || id != names.size()) {
          problem = fmt::format("name {} where {} was next", id, names.size());
        } else if (length - kNameFixedBytes > kLongestName) {
          problem = fmt::format("a name of {} bytes", length - kNameFixedBytes);
        } else {
          names.emplace_back(reinterpret_cast<char const*>(payload + kNameFixedBytes), length - kNameFixedBytes);
        }
        break;
      case Entry::fapmask:
        if (payload[1] != 0 || id != masks.size() || length != kFapmaskEntryBytes) {
          problem = fmt::format("FAP mask {} of {} bytes where {} was next", id, length, masks.size());
        } else {
          Pelcar::Fapmask mask;
          for (std::uint32_t fap = 0; fap < Pelcar::Fapmask::kMaxFaps; ++fap) {
            if ((payload[kNameFixedBytes + fap / 8] >> (fap % 8)) & 1u) mask.fapIdIs(Pelcar::FapId(fap), true);
          }
          masks.push_back(mask);
        }
        break;
      case Entry::copy:
        problem = copies ? copyOf(payload, length, expected, masks, file) : fmt::format("an entry of kind {}", payload[0]);
        if (problem.empty()) ++expected;
        break;
      case Entry::repeat:
        if (!repeats) {
          problem = fmt::format("an entry of kind {}", payload[0]);
          break;
        }
        [[fallthrough]];
      case Entry::command: {
        bool const repeat = payload[0] == static_cast<std::uint8_t>(Entry::repeat);
        if (repeat ? length != kRepeatBytes : length < kCommandFixedBytes) {
          problem = fmt::format("a command of {} bytes", length);
          break;
        }
        // The command whose rows a repeat has: one read before it in this file.
        std::uint64_t const earlier = repeat ? get(payload + kCommandFixedBytes, 8) : 0;
        JournalRecord record;
        auto answer = payload[1];
        auto kind = payload[2];
        record.sequence = get(payload + 4, 8);
        record.timeNs = get(payload + 12, 8);
        record.rowsWritten = static_cast<std::uint32_t>(get(payload + 20, 4));
        auto table = static_cast<std::size_t>(get(payload + 24, 2));
        auto member = static_cast<std::size_t>(get(payload + 26, 2));
        auto mask = static_cast<std::size_t>(get(payload + 28, 2));
        auto rows = static_cast<std::uint32_t>(get(payload + 48, 4));
        problem = recordProblem(answer, record.sequence, expected);
        if (!problem.empty()) break;
        if (!isWriteKind(kind)) {
          problem = fmt::format("its command: of kind {}, not a write", kind);
        } else if (table >= names.size() || member >= names.size() || mask >= masks.size()) {
          problem = "a name or FAP mask not in the file before it";
        } else if (get(payload + 30, 2) != 0) {
          problem = "its zero field is not zero";
        } else if (record.rowsWritten > rows) {
          problem = "its command: more rows written than the command has";
        } else if (repeat && (earlier < file.firstSequence || earlier >= record.sequence)) {
          problem = fmt::format("the rows of command {}, not in the file before it", earlier);
        }
        if (!problem.empty()) break;
        record.answer = static_cast<JournalAnswer>(answer);
        record.table = names[table];
        auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
        cmd->kind = static_cast<Pelcar::SchanCmdKind>(kind);
        cmd->arrayIndex = payload[3];
        cmd->fapmask = masks[mask];
        cmd->memberName = names[member];
        cmd->block = static_cast<std::uint32_t>(get(payload + 32, 4));
        cmd->address = static_cast<std::uint32_t>(get(payload + 36, 4));
        cmd->row = static_cast<std::uint32_t>(get(payload + 40, 4));
        cmd->entrySize = static_cast<std::uint32_t>(get(payload + 44, 4));
        cmd->rowCount = rows;
        if (repeat) {
          cmd->data = file.records[earlier - file.firstSequence].cmd->data;
        } else {
          cmd->data.assign(payload + kCommandFixedBytes, payload + length);
        }
        record.cmd = std::move(cmd);
        file.records.push_back(std::move(record));
        ++expected;
        break;
      }
      default:
        problem = fmt::format("an entry of kind {}", payload[0]);
    }
    if (!problem.empty()) return stopAtDamage(file, at, problem);
    at += kRecordHeaderBytes + length;
  }
}

// "1, 2, 3 and 4": the versions this reader reads.
std::string knownVersions() {
  std::string known;
  for (auto version = kJournalOldestVersion; version <= kJournalVersion; ++version) {
    known += fmt::format("{}{}", version == kJournalOldestVersion ? "" : version == kJournalVersion ? " and " : ", ",
                         version);
  }
  return known;
}

}  // namespace

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
  if (file.version < kJournalOldestVersion || file.version > kJournalVersion) {
    throw JournalError(fmt::format("{} is a journal of version {}; this hwtables reads versions {}", path,
                                   file.version, knownVersions()));
  }
  file.run = get(bytes.data() + 12, 8);
  file.firstSequence = get(bytes.data() + 20, 8);
  file.openedNs = get(bytes.data() + 28, 8);
  if (file.version == 1) {
    readRecordsV1(bytes, file);
  } else {
    readRecordsWithDictionary(bytes, file);
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
