// The journal's records laid out on the thread that records them: each list is laid
// out as it is recorded, while its commands are still in the cache of the core that
// just built and sent them, into a buffer whose bytes the journal's file thread only
// writes. Laid out on the file thread instead, every command and its rows would first
// have to travel to that thread's core, which cost more than the layout itself.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "agent/JournalRepeats.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/FaultPlan.h"

namespace HwAgent::JournalFormat {

// Where the laid-out bytes go, in order: the journal's file thread.
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
  enum class Form : std::uint8_t { command, repeat, copy };

  void layOut(Command& command, std::string_view table, std::optional<std::uint16_t>& tableId,
              LayoutOutput& output);
  Form formOf(Command& command, bool idsKnown) const;
  static std::uint64_t rowsKeyOf(Command const& command);
  bool sameCommand(BufferIndex::Place const& place, Command const& command) const;
  void startFile(std::uint64_t firstSequence, LayoutOutput& output);
  void handOver(LayoutOutput& output);
  void wrap(std::size_t bytes, LayoutOutput& output);

  using NameEntry = std::pair<std::string const, std::uint16_t> const*;
  std::optional<std::uint16_t> nameId(std::string_view name, NameEntry& last) const;
  std::optional<std::uint16_t> fapmaskId(Pelcar::Fapmask const& mask);
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
  std::optional<std::uint16_t> lastMaskId_;
  // What the buffer holds of the open file: rows by their CRC-32C and length, and
  // whole commands by what they write where.
  BufferIndex rows_;
  BufferIndex commands_;
};

}  // namespace HwAgent::JournalFormat
