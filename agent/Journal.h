// The command journal: every list of write commands an agent sends to its chip, with
// when, for which table, and what the chip answered, so that a person can see what the
// agent told the chip and in what order, and a replay can rebuild the chip's cells
// (docs/journal.md).
//
// A journal is a file and the files rotated out of it, FILE.1 (the newer) .. FILE.N:
//
//   header   magic "HWTJRNL\0" (8), version u16, zero u16, run u64 (drawn when the
//            journal is opened: the files of one run share it), first sequence u64,
//            opened at u64 (ns since the epoch)                              36 bytes
//   record   payload length u32, CRC-32C of the payload u32, then the payload, one of:
//     name     1 u8, zero u8, id u16, the name (a table's, or a hardware register's
//              or memory's)
//     FAP mask 2 u8, zero u8, id u16, the mask's 256 bits (32 bytes, FAP 0 first)
//     command  0 u8, answer u8 (0 done, 1 refused, 2 timed out, 3 partly written,
//              4 not delivered), kind u8, array u8, sequence u64, time u64 (ns since
//              the epoch), rows written u32, table id u16, member id u16, FAP mask id
//              u16, zero u16, block u32, address u32, first row u32, entry size u32,
//              rows u32, then the command's data
//     repeat   3 u8, then a command's fields as above, then the sequence u64 of an
//              earlier command in the same file whose rows (byte for byte) these are
//     copy     4 u8, answer u8, FAP mask id u16, sequence u64, then how many commands
//              before it (u32) the command is that this one is, but for its FAPs and
//              answer (the same list, table, member, place and rows; no row written)
//            Names and masks are numbered from 0 in each file, in the order written,
//            each written once before the first command that refers to it, and a
//            repeat or a copy refers only to a command of its own file: every file
//            reads on its own. A download that brings many FAPs up with the same rows
//            writes each command whole once per file and a 24-byte copy for each other
//            FAP.
//
// All integers are little-endian. The recording thread lays each list's records out
// as it records it, while its commands are still in that core's cache; the journal's
// file thread writes what waits in one write(2) when 32 KiB wait, so a large download
// does not wait for the file, and a flush writes the rest itself.
// The agent flushes before each of its operations returns, so a killed agent loses at
// most the lists of the operation it was in; a file cut short (by a kill, a full
// disk) is read up to its last whole record. A file never grows past the
// cap (or one record, when a record alone is larger): the next list starts a new file,
// and the oldest beyond the kept count is removed. Opening a journal where one exists
// rotates the old one out, so each run starts a file of its own; a file there that is
// not a journal is refused, never touched.
//
// The version rule: the version changes whenever a reader of the old version could
// misread the new files. This reader reads version 4, version 3 (the same without
// copies), version 2 (without repeats either) and version 1 (each record with both
// names and the command as the chip's wire carries it, and a word-folding checksum:
// JournalFormat.h), and names them when refusing another.
//
// Thread-safety: one agent thread at a time records into a journal (the file thread
// is the writer's own).
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/FaultPlan.h"
#include "platform/vorl/Ptr.h"

namespace HwAgent {

namespace JournalFormat {
class Layout;
}

inline constexpr std::uint16_t kJournalVersion = 4;  // what the writer writes
inline constexpr std::uint16_t kJournalOldestVersion = 1;  // the oldest the reader reads
inline constexpr std::size_t kJournalHeaderBytes = 36;
inline constexpr std::uint64_t kJournalMinBytes = 4096;
inline constexpr std::uint64_t kJournalDefaultBytes = 64ull << 20;
inline constexpr unsigned kJournalDefaultFiles = 4;  // the file and three rotated out

// A journal that cannot be opened, written or read, in words for people.
struct HWTABLES_API JournalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class JournalAnswer : std::uint8_t { done = 0, refused = 1, timedOut = 2, partial = 3, notDelivered = 4 };
HWTABLES_API char const* journalAnswerName(JournalAnswer answer);

struct HWTABLES_API JournalRecord {
  std::uint64_t sequence = 0;
  std::uint64_t timeNs = 0;
  JournalAnswer answer = JournalAnswer::done;
  std::uint32_t rowsWritten = 0;  // of a command the chip did not complete
  std::string table;
  Vorl::Ptr<Pelcar::SchanCmd> cmd;
};

class HWTABLES_API JournalWriter {
 public:
  // Opens the journal at `path`, rotating an earlier journal there out. Throws
  // JournalError (a bad cap, a file there that is not a journal, one that cannot be
  // made).
  JournalWriter(std::string path, std::uint64_t maxBytes = kJournalDefaultBytes,
                unsigned files = kJournalDefaultFiles);
  // Waits until every list handed over is in the file.
  ~JournalWriter();
  JournalWriter(JournalWriter const&) = delete;
  JournalWriter& operator=(JournalWriter const&) = delete;

  // Records a list as the chip answered it (`outcome`; none: the list never reached
  // the chip): its records are laid out before this returns, and written by the
  // journal's file thread or the next flush. Throws JournalError when an earlier list
  // could not be written (every record after it is lost: a journal with a gap could not
  // be replayed).
  void record(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table,
              Sim::WriteOutcome const* outcome);
  // Returns when every list recorded so far is in the file, and lets go of them: writes
  // what waits itself when the file thread is idle, else waits for it. Throws
  // JournalError when one could not be written.
  void flush();

  std::string const& path() const { return path_; }
  std::uint64_t recorded() const { return nextSequence_ - 1; }
  std::uint64_t rotations() const;
  // How many times flush() has been called.
  std::uint64_t flushes() const { return flushes_; }

 private:
  class FileThread;

  std::string path_;
  std::uint64_t nextSequence_ = 1;
  std::uint64_t flushes_ = 0;
  std::unique_ptr<FileThread> file_;
  std::unique_ptr<JournalFormat::Layout> layout_;  // the recording thread's
};

struct HWTABLES_API JournalFile {
  std::string path;
  std::uint16_t version = 0;
  std::uint64_t run = 0;
  std::uint64_t firstSequence = 0;
  std::uint64_t openedNs = 0;
  std::vector<JournalRecord> records;
  // Empty when the file ends with a whole record; otherwise where and why reading
  // stopped ("cut short at byte 4130: a record of 96 bytes, 12 there").
  std::string cutShort;
  // The reading stopped at damage (a checksum, sequence or command that does not
  // hold), not at a file's end cut short by a kill.
  bool damaged = false;
};

// Reads one journal file. Throws JournalError for a file that is not a journal, or of
// another version (naming both versions).
HWTABLES_API JournalFile readJournalFile(std::string const& path);
// The files of the run whose newest file is `path`: the rotated ones of the same run
// first, oldest first, then `path` itself.
HWTABLES_API std::vector<JournalFile> readJournal(std::string const& path);

}  // namespace HwAgent
