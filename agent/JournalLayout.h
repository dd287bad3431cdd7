// The journal's records laid out on the thread that records them: each list is laid
// out as it is recorded, while its commands are still in the cache of the core that
// just built and sent them, into a buffer whose bytes the journal's file thread (or a
// flush) only writes. Laid out on the file thread instead, every command and its rows
// would first have to travel to that thread's core, which cost more than the layout
// itself.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "agent/JournalRepeats.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/FaultPlan.h"

namespace HwAgent::JournalFormat {

// Where the laid-out bytes go, in order: the journal's file.
class LayoutOutput {
 public:
  virtual ~LayoutOutput() = default;
  // Bytes to append to the open file; they stay where they are until written.
  virtual void bytes(std::uint8_t const* bytes, std::size_t size) = 0;
  // The bytes after this start a new file, whose first command is `firstSequence`.
  virtual void newFile(std::uint64_t firstSequence) = 0;
  // Returns when every byte handed over is in its file: their buffer may be reused.
  virtual void written() = 0;
};

// The records of the open file: its dictionary of names and FAP masks, each written
// before the first command that refers to it; a command that writes what an earlier
// command of the same list wrote, to the same place on other FAPs, as a copy of it; a
// command whose rows the file holds already as a repeat of them. A command that would
// take the file past its cap, or need an id the file has no room for, starts a new file
// (with a dictionary of its own) unless the file holds no command yet: a file holds at
// least one, however large.
class Layout {
 public:
  explicit Layout(std::uint64_t maxBytes);

  // Lays out the records of a list (`outcome`: the chip's answer; none: the list never
  // reached the chip) and hands them to `output`.
  void list(Pelcar::SchanCmds const& cmds, std::string_view table, Sim::WriteOutcome const* outcome,
            std::uint64_t timeNs, std::uint64_t firstSequence, LayoutOutput& output);

 private:
  struct Command;
  // A dictionary id, or none: the file has not given one. A plain integer rather than an
  // optional, which the lookups for each command would return through memory.
  using Id = std::int32_t;
  static constexpr Id kNoId = -1;
  enum class Form : std::uint8_t { command, repeat, copy };

  void layOut(Command& command, std::string_view table, Id& tableId, LayoutOutput& output);
  Form formOf(Command& command, bool idsKnown) const;
  BufferIndex::Place const* foreseenCopy() const;
  void placed(Command const& command, std::uint32_t offset, std::uint32_t rowsOffset);
  static std::uint64_t rowsKeyOf(Command const& command);
  bool sameCommand(BufferIndex::Place const& place, Command const& command) const;
  void startFile(std::uint64_t firstSequence, LayoutOutput& output);
  void handOver(LayoutOutput& output);
  void wrap(std::size_t bytes, LayoutOutput& output);

  using NameEntry = std::pair<std::string const, std::uint16_t> const*;
  Id nameId(std::string_view name, NameEntry& last) const;
  Id memberId(std::string_view member);
  void memberSeen(std::string_view member, std::uint16_t id);
  Id fapmaskId(Pelcar::Fapmask const& mask);
  std::uint16_t addName(std::string_view name, NameEntry& last);
  std::uint16_t addFapmask(Pelcar::Fapmask const& mask);

  std::uint64_t const maxBytes_;
  std::uint64_t fileBytes_;  // of the open file, with what is laid out and not yet written
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;    // laid out
  std::size_t handed_ = 0;  // handed over
  // The open file's dictionary. A mask is looked up by its bits as they lie in memory
  // (a FAP mask is a plain bit set), not by a list of its FAPs built per command.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const {
      return std::hash<std::string_view>()(name);
    }
  };
  using MaskBits = std::array<std::uint64_t, sizeof(Pelcar::Fapmask) / 8>;
  static_assert(std::is_trivially_copyable_v<Pelcar::Fapmask> && sizeof(Pelcar::Fapmask) % 8 == 0);
  struct MaskHash {
    std::size_t operator()(MaskBits const& bits) const;
  };
  std::unordered_map<std::string, std::uint16_t, NameHash, std::equal_to<>> names_;
  NameEntry lastTable_ = nullptr;
  NameEntry lastMember_ = nullptr;
  std::unordered_map<MaskBits, std::uint16_t, MaskHash> masks_;
  MaskBits lastMask_{};
  Id lastMaskId_ = kNoId;
  // The ids of masks of one FAP, by the FAP (a download's commands go to one FAP each,
  // taking turns): found without hashing or comparing the mask.
  std::array<Id, sizeof(Pelcar::Fapmask) * 8> fapIds_;
  // The members met in the list being laid out, by the address of their name's text: a
  // list's commands share their member's text, which no one changes and which the list
  // keeps alive until it is laid out, so an address met before in it names the same
  // member. Not kept from list to list: a text freed since may be made again at the
  // same address for another name.
  struct SeenMember {
    char const* text;
    std::size_t size;
    std::uint16_t id;
  };
  std::array<SeenMember, 8> seenMembers_{};
  std::size_t seenCount_ = 0;
  // What the buffer holds of the open file: rows by their CRC-32C and length, and
  // whole commands by what they write where.
  BufferIndex rows_;
  BufferIndex commands_;
  // The list being laid out, a command at a time. A list sends its commands to each of
  // its FAPs in turn, so a command is most often a copy of the command after the one its
  // predecessor copied: that one is tried first, from the records just laid out, before
  // the index. For each command: which of the list's commands has its fields and rows in
  // a record (itself, or the one a copy copies; kNowhere: an earlier list's), and where
  // its own record lies. The commands before `listFloor_` lie in no buffer still held.
  static constexpr std::uint32_t kNowhere = ~std::uint32_t{0};
  std::uint64_t listFirst_ = 0;
  std::vector<std::uint32_t> origins_;
  std::vector<BufferIndex::Place> places_;
  std::uint32_t listFloor_ = 0;
};

}  // namespace HwAgent::JournalFormat
