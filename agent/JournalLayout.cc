#include "agent/JournalLayout.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "agent/Journal.h"
#include "agent/JournalFormat.h"

namespace HwAgent::JournalFormat {

namespace {

// The records are laid out in a buffer of this size: the rows and commands a later
// command may repeat or copy are looked for in what it holds of the open file. When it
// is full it starts again from its beginning, forgetting what it held.
constexpr std::size_t kBufferBytes = 1 << 20;
// The slots of each index, at first (a power of two; an index doubles when half full,
// up to one slot per record the buffer can hold).
constexpr std::size_t kFirstSlots = 4096;

// Where in a command's payload its fields lie (JournalFormat.h).
constexpr std::size_t kKindAt = 2;     // kind, array
constexpr std::size_t kTimeAt = 12;    // time u64
constexpr std::size_t kIdsAt = 24;     // table id, member id
constexpr std::size_t kMaskIdAt = 28;  // FAP mask id
constexpr std::size_t kPlaceAt = 32;   // block, address, first row, entry size, rows
constexpr std::size_t kPlaceBytes = 20;

std::string_view clipped(std::string_view name) {
  return name.substr(0, kLongestName);
}
std::size_t nameEntryBytes(std::string_view name) {
  return kRecordHeaderBytes + kNameFixedBytes + name.size();
}

// A record's header: its payload's length and checksum.
void seal(std::uint8_t* record, std::size_t length, std::uint32_t checksum) {
  put(put(record, length, 4), checksum, 4);
}

// The record at `record` ends at `end`.
void seal(std::uint8_t* record, std::uint8_t const* end) {
  auto length = static_cast<std::size_t>(end - record) - kRecordHeaderBytes;
  seal(record, length, crc32c(record + kRecordHeaderBytes, length));
}

std::uint64_t load(std::uint8_t const* bytes, std::size_t size) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, size);
  return value;
}

void putIds(std::uint8_t* head, std::int32_t table, std::int32_t member) {
  put(head + kIdsAt, static_cast<std::uint32_t>(table) | static_cast<std::uint32_t>(member) << 16,
      4);
}

// The FAP of a mask that holds exactly one; -1 for any other mask.
int onlyFapOf(std::span<std::uint64_t const> words) {
  int fap = -1;
  for (std::size_t word = 0; word < words.size(); ++word) {
    if (words[word] == 0) continue;
    if (fap >= 0 || (words[word] & (words[word] - 1)) != 0) return -1;
    fap = static_cast<int>(64 * word) + std::countr_zero(words[word]);
  }
  return fap;
}

}  // namespace

// One command on its way into the file: its fields as a command record's payload has
// them, and what it was found to be.
struct Layout::Command {
  Command(Pelcar::SchanCmd const& command, std::uint64_t number, JournalAnswer answered,
          std::uint32_t written)
      : cmd(command),
        member(clipped(command.memberName.view())),
        sequence(number),
        answer(answered),
        rowsWritten(written) {}

  Pelcar::SchanCmd const& cmd;
  std::string_view member;
  std::uint64_t sequence;
  JournalAnswer answer;
  std::uint32_t rowsWritten;
  std::uint8_t head[kCommandFixedBytes] = {};
  Id memberId = kNoId;
  Id maskId = kNoId;
  Form form = Form::command;
  std::uint64_t rowsKey = 0;
  std::uint64_t earlier = 0;            // the command a repeat or a copy refers to
  std::optional<std::uint32_t> rowsAt;  // of a repeat: where the buffer holds its rows

  std::size_t dataSize() const { return cmd.data.size(); }
  std::uint8_t const* data() const { return cmd.data.data(); }
  // What the command writes where, whatever its FAPs and answer: the key of its copies.
  std::uint64_t commandKey() const {
    std::uint64_t hash = (load(head + kIdsAt, 4) | load(head + kKindAt, 2) << 32) ^ dataSize()
                                                                                        << 48;
    for (std::size_t at = kPlaceAt; at < kPlaceAt + kPlaceBytes; at += 4) {
      hash = (hash ^ load(head + at, 4)) * 0x9e3779b97f4a7c15ull;
      hash ^= hash >> 29;
    }
    return hash;
  }
};

std::size_t Layout::MaskHash::operator()(MaskBits const& bits) const {
  std::uint64_t hash = 0;
  for (auto word : bits) hash = (hash ^ word) * 0x9e3779b97f4a7c15ull;
  return static_cast<std::size_t>(hash ^ (hash >> 29));
}

Layout::Layout(std::uint64_t maxBytes)
    : maxBytes_(maxBytes),
      fileBytes_(kJournalHeaderBytes),
      // Made (and their pages touched) here, when the journal is opened, rather than
      // under the first lists.
      buffer_(std::make_unique<std::uint8_t[]>(kBufferBytes)),
      capacity_(kBufferBytes),
      rows_(kFirstSlots),
      commands_(kFirstSlots) {
  names_.reserve(256);
  masks_.reserve(256);
  fapIds_.fill(kNoId);
}

void Layout::list(Pelcar::SchanCmds const& cmds, std::string_view tableName,
                  Sim::WriteOutcome const* outcome, std::uint64_t timeNs,
                  std::uint64_t firstSequence, LayoutOutput& output) {
  auto table = clipped(tableName);
  auto tableId = nameId(table, lastTable_);  // one table per list
  seenCount_ = 0;
  listFirst_ = firstSequence;
  origins_.clear();
  places_.clear();
  listFloor_ = 0;
  auto sequence = firstSequence;
  std::uint32_t index = 0;
  auto const* fault = outcome ? outcome->faults.data() : nullptr;
  auto const* lastFault = outcome ? fault + outcome->faults.size() : nullptr;
  for (auto const& cmd : cmds) {
    auto answer = outcome ? JournalAnswer::done : JournalAnswer::notDelivered;
    std::uint32_t rowsWritten = 0;
    if (fault != lastFault && fault->index == index) {
      answer = static_cast<JournalAnswer>(fault->kind);
      rowsWritten = fault->rowsWritten;
      ++fault;
    }
    ++index;
    Command command(*cmd, sequence++, answer, rowsWritten);
    // Fields that are read back together (to compare commands, to checksum a record)
    // are written together, in one word: a word read from several smaller writes just
    // made waits until they have reached the cache.
    auto* to = put(command.head,
                   static_cast<std::uint32_t>(answer) << 8 |
                       static_cast<std::uint32_t>(static_cast<std::uint8_t>(cmd->kind)) << 16 |
                       std::uint32_t{cmd->arrayIndex} << 24,
                   4);
    to = put(to, command.sequence, 8);
    to = put(to, timeNs, 8);
    to = put(to, rowsWritten, 4);
    to += 8;  // the ids, once the dictionary has them
    to = put(to, cmd->block | std::uint64_t{cmd->address} << 32, 8);
    to = put(to, cmd->row | std::uint64_t{cmd->entrySize} << 32, 8);
    put(to, cmd->rowCount, 4);
    layOut(command, table, tableId, output);
  }
  handOver(output);
}

void Layout::layOut(Command& command, std::string_view table, Id& tableId, LayoutOutput& output) {
  command.memberId = memberId(command.member);
  command.maskId = fapmaskId(command.cmd.fapmask);
  if (tableId != kNoId && command.memberId != kNoId)
    putIds(command.head, tableId, command.memberId);
  command.form =
      formOf(command, tableId != kNoId && command.memberId != kNoId && command.maskId != kNoId);
  auto recordBytes = command.form == Form::copy     ? kCopyBytes
                     : command.form == Form::repeat ? kRepeatBytes
                                                    : kCommandFixedBytes + command.dataSize();
  auto needed = (tableId != kNoId ? 0 : nameEntryBytes(table)) +
                (command.memberId != kNoId ? 0 : nameEntryBytes(command.member)) +
                (command.maskId != kNoId ? 0 : kRecordHeaderBytes + kFapmaskEntryBytes) +
                kRecordHeaderBytes + recordBytes;
  std::size_t newNames = (tableId == kNoId) + (command.memberId == kNoId);
  bool full = names_.size() + newNames > kMostIds ||
              (command.maskId == kNoId && masks_.size() + 1 > kMostIds);
  if ((fileBytes_ + needed > maxBytes_ || full) && fileBytes_ > kJournalHeaderBytes) {
    startFile(command.sequence, output);
    tableId = command.memberId = command.maskId = kNoId;
    command.form = Form::command;
  }
  // Room for the record and every entry it could need; a full buffer is written and
  // starts again (what a repeat or a copy refers to is in the file, not the buffer).
  auto most = nameEntryBytes(table) + nameEntryBytes(command.member) + kRecordHeaderBytes +
              kFapmaskEntryBytes + kRecordHeaderBytes + kCommandFixedBytes + command.dataSize();
  if (used_ + most > capacity_) {
    wrap(most, output);
    command.rowsAt.reset();
  }
  if (tableId == kNoId) tableId = addName(table, lastTable_);
  if (command.memberId == kNoId) {
    command.memberId = command.member == table ? tableId : addName(command.member, lastMember_);
    memberSeen(command.member, static_cast<std::uint16_t>(command.memberId));
  }
  if (command.maskId == kNoId) command.maskId = addFapmask(command.cmd.fapmask);
  putIds(command.head, tableId, command.memberId);
  put(command.head + kMaskIdAt, command.maskId, 2);
  auto* const record = buffer_.get() + used_;
  auto* const payload = record + kRecordHeaderBytes;
  std::uint8_t* to = nullptr;
  if (command.form == Form::copy) {
    // Two words, checksummed as they are made.
    static_assert(kCopyBytes == 16);
    auto first = static_cast<std::uint64_t>(Entry::copy) |
                 static_cast<std::uint64_t>(command.answer) << 8 |
                 static_cast<std::uint64_t>(command.maskId) << 16 | command.sequence << 32;
    auto second = command.sequence >> 32 | (command.sequence - command.earlier) << 32;
    to = put(put(payload, first, 8), second, 8);
    seal(record, kCopyBytes, crc32cOfWords(first, second));
    placed(command, 0, 0);
  } else {
    command.head[0] =
        static_cast<std::uint8_t>(command.form == Form::repeat ? Entry::repeat : Entry::command);
    to = std::copy_n(command.head, kCommandFixedBytes, payload);
    auto offset = static_cast<std::uint32_t>(payload - buffer_.get());
    auto size = static_cast<std::uint32_t>(command.dataSize());
    if (command.form == Form::repeat) {
      to = put(to, command.earlier, 8);
      if (command.rowsAt) {
        commands_.keep(command.commandKey(), {command.sequence, offset, *command.rowsAt, size},
                       true);
        placed(command, offset, *command.rowsAt);
      } else {
        // Its rows went with the buffer just written: nothing before it, nor it, is
        // held to be compared.
        placed(command, 0, 0);
        listFloor_ = static_cast<std::uint32_t>(places_.size());
      }
    } else {
      if (size != 0) to = std::copy_n(command.data(), size, to);
      auto rowsAt = offset + static_cast<std::uint32_t>(kCommandFixedBytes);
      if (size >= kSmallestRepeat) {
        if (command.rowsKey == 0) command.rowsKey = rowsKeyOf(command);
        rows_.keep(command.rowsKey, {command.sequence, rowsAt, rowsAt, size}, false);
      }
      commands_.keep(command.commandKey(), {command.sequence, offset, rowsAt, size}, true);
      placed(command, offset, rowsAt);
    }
  }
  if (command.form != Form::copy) seal(record, to);
  fileBytes_ += static_cast<std::size_t>(to - record);
  used_ = static_cast<std::size_t>(to - buffer_.get());
}

// Rows of 16 bytes or more: their CRC-32C and length (never 0).
std::uint64_t Layout::rowsKeyOf(Command const& command) {
  return std::uint64_t{crc32c(command.data(), command.dataSize())} << 32 | command.dataSize();
}

// A copy of a command of the open file that wrote the same rows to the same place in
// the same list, if the buffer still holds it (the one the list's order points to, else
// the latest); else a repeat of rows the buffer holds (16 bytes or more: shorter rows
// cost less written than looked up); else the command with its rows. A match of a key
// is trusted only when the bytes are the same.
Layout::Form Layout::formOf(Command& command, bool idsKnown) const {
  if (idsKnown && command.answer != JournalAnswer::partial) {
    if (auto const* place = foreseenCopy(); place && sameCommand(*place, command)) {
      command.earlier = place->sequence;
      return Form::copy;
    }
    if (auto const* place = commands_.find(command.commandKey());
        place && command.sequence - place->sequence <= std::numeric_limits<std::uint32_t>::max() &&
        sameCommand(*place, command)) {
      command.earlier = place->sequence;
      return Form::copy;
    }
  }
  if (command.dataSize() < kSmallestRepeat) return Form::command;
  command.rowsKey = rowsKeyOf(command);
  auto const* place = rows_.find(command.rowsKey);
  if (!place ||
      std::memcmp(buffer_.get() + place->offset, command.data(), command.dataSize()) != 0) {
    return Form::command;
  }
  command.earlier = place->sequence;
  command.rowsAt = place->offset;
  return Form::repeat;
}

// Where the command after the one the list's previous command copied (or was) lies,
// when the buffer holds it: what the list's next command most likely copies.
BufferIndex::Place const* Layout::foreseenCopy() const {
  auto index = origins_.size();
  if (index == 0 || origins_.back() == kNowhere) return nullptr;
  auto next = origins_.back() + std::size_t{1};
  if (next >= index) return nullptr;
  auto origin = origins_[next];
  if (origin == kNowhere || origin < listFloor_) return nullptr;
  return &places_[origin];
}

// The command is laid out (`offset`, `rowsOffset`: where its record and rows lie, if
// not a copy).
void Layout::placed(Command const& command, std::uint32_t offset, std::uint32_t rowsOffset) {
  auto index = static_cast<std::uint32_t>(origins_.size());
  auto origin = index;
  if (command.form == Form::copy) {
    origin = command.earlier >= listFirst_
                 ? static_cast<std::uint32_t>(command.earlier - listFirst_)
                 : kNowhere;
  }
  origins_.push_back(origin);
  places_.push_back(
      {command.sequence, offset, rowsOffset, static_cast<std::uint32_t>(command.dataSize())});
}

// Whether the command (or repeat) the buffer holds at `place` is `command` but for its
// FAPs and answer: the same time (the same list), table, member, place and rows.
bool Layout::sameCommand(BufferIndex::Place const& place, Command const& command) const {
  auto const* earlier = buffer_.get() + place.offset;
  auto same = [&](std::size_t at, std::size_t size) {
    return load(earlier + at, size) == load(command.head + at, size);
  };
  static_assert(kPlaceBytes == 20);
  return place.rowsSize == command.dataSize() && same(kKindAt, 2) && same(kTimeAt, 8) &&
         same(kIdsAt, 4) && same(kPlaceAt, 8) && same(kPlaceAt + 8, 8) && same(kPlaceAt + 16, 4) &&
         (command.dataSize() == 0 ||
          std::memcmp(buffer_.get() + place.rowsOffset, command.data(), command.dataSize()) == 0);
}

void Layout::startFile(std::uint64_t firstSequence, LayoutOutput& output) {
  handOver(output);
  listFloor_ = static_cast<std::uint32_t>(places_.size());
  output.newFile(firstSequence);
  fileBytes_ = kJournalHeaderBytes;
  names_.clear();
  lastTable_ = lastMember_ = nullptr;
  seenCount_ = 0;
  masks_.clear();
  lastMaskId_ = kNoId;
  fapIds_.fill(kNoId);
  rows_.forget();
  commands_.forget();
}

void Layout::handOver(LayoutOutput& output) {
  if (used_ == handed_) return;
  output.bytes(buffer_.get() + handed_, used_ - handed_);
  handed_ = used_;
}

// The buffer from its beginning, with room for `bytes`, once what it held is written:
// what it held is forgotten.
void Layout::wrap(std::size_t bytes, LayoutOutput& output) {
  handOver(output);
  output.written();
  listFloor_ = static_cast<std::uint32_t>(places_.size());
  rows_.forget();
  commands_.forget();
  used_ = handed_ = 0;
  if (bytes > capacity_) {
    capacity_ = std::max(bytes, 2 * capacity_);
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
  }
}

// The ids this file gave a name or a mask, if it has. `last` is the name found last
// for the same use (a list's commands mostly share their member with the one before),
// looked at before the dictionary.
Layout::Id Layout::nameId(std::string_view name, NameEntry& last) const {
  if (last && last->first == name) return last->second;
  auto found = names_.find(name);
  if (found == names_.end()) return kNoId;
  last = &*found;
  return found->second;
}

// The member's id, looked for first among the members met in this list.
Layout::Id Layout::memberId(std::string_view member) {
  for (std::size_t at = 0; at < seenCount_; ++at) {
    auto const& seen = seenMembers_[at];
    if (seen.text == member.data() && seen.size == member.size()) return seen.id;
  }
  auto id = nameId(member, lastMember_);
  if (id != kNoId) memberSeen(member, static_cast<std::uint16_t>(id));
  return id;
}

void Layout::memberSeen(std::string_view member, std::uint16_t id) {
  if (seenCount_ < seenMembers_.size())
    seenMembers_[seenCount_++] = {member.data(), member.size(), id};
}

Layout::Id Layout::fapmaskId(Pelcar::Fapmask const& mask) {
  MaskBits bits;
  std::memcpy(bits.data(), &mask, sizeof mask);
  if (auto fap = onlyFapOf(bits); fap >= 0) return fapIds_[fap];
  if (lastMaskId_ != kNoId && bits == lastMask_) return lastMaskId_;
  auto found = masks_.find(bits);
  if (found == masks_.end()) return kNoId;
  lastMask_ = bits;
  lastMaskId_ = found->second;
  return found->second;
}

// A new dictionary entry at the end of the buffer; returns its id.
std::uint16_t Layout::addName(std::string_view name, NameEntry& last) {
  auto id = static_cast<std::uint16_t>(names_.size());
  last = &*names_.emplace(std::string(name), id).first;
  auto* record = buffer_.get() + used_;
  auto* to = put(record + kRecordHeaderBytes, static_cast<std::uint8_t>(Entry::name), 1);
  to = put(to, 0, 1);
  to = put(to, id, 2);
  if (!name.empty()) to = std::copy_n(name.data(), name.size(), to);
  seal(record, to);
  fileBytes_ += static_cast<std::size_t>(to - record);
  used_ = static_cast<std::size_t>(to - buffer_.get());
  return id;
}

std::uint16_t Layout::addFapmask(Pelcar::Fapmask const& mask) {
  auto id = static_cast<std::uint16_t>(masks_.size());
  MaskBits bits;
  std::memcpy(bits.data(), &mask, sizeof mask);
  masks_.emplace(bits, id);
  if (auto fap = onlyFapOf(bits); fap >= 0) {
    fapIds_[fap] = id;
  } else {
    lastMask_ = bits;
    lastMaskId_ = id;
  }
  auto* record = buffer_.get() + used_;
  auto* to = put(record + kRecordHeaderBytes, static_cast<std::uint8_t>(Entry::fapmask), 1);
  to = put(to, 0, 1);
  to = put(to, id, 2);
  // The bit set keeps FAP n in bit n % 64 of its word n / 64: its words, little-endian,
  // are the entry's bytes.
  for (auto word : bits) to = put(to, word, 8);
  seal(record, to);
  fileBytes_ += static_cast<std::size_t>(to - record);
  used_ = static_cast<std::size_t>(to - buffer_.get());
  return id;
}

}  // namespace HwAgent::JournalFormat
