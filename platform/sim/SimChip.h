// The simulated chip: what the agent's command path would reach in hardware.
//
// Each FAP has its own address space of cells, keyed by block, address, array index
// and row; a register is the cell at array 0, row 0 of its block and address, a
// memory row the cell at its array and row. The chip executes write commands
// (register writes, memory writes and DMA bulk writes of consecutive rows) on every
// FAP of the command's mask, and logs each command it executed.
//
// Commands are checked before anything is written: a command list with one bad
// command (a read, an empty mask, data that does not match its size) is refused as a
// whole with Vorl::RangeException naming the command, and the chip is unchanged.
//
// Read commands are answered by answer(): a register read gets the register's bytes
// as its reply, a bulk read gets its entries copied into its DMA pool buffer (cells
// never written read as zeros), and each completed command is handed to its reader's
// processReadComplete. A list with one bad command is refused whole, unanswered.
// answerReads() is that completion, apart from where the bytes come from: the chip in
// this process (answer), or a chip process over its socket (ChipClient.h).
//
// The chip logs each command it executed (log()), or with a limit (a chip process
// serves for as long as it runs) only the latest ones; every command counts in
// commandsExecuted(). digest() sums up every cell in one number, the same
// for two chips exactly when they hold the same cells.
//
// flipBits() damages the chip on purpose: it flips random bits of written cells, the
// way a soft error would, so that a read-back audit can be shown to find them.
//
// faultPlanIs() makes the chip fail on purpose (FaultPlan.h): once every command of a
// list has passed the checks above, each is executed in turn and may be refused, time
// out or be written partly; the others are written whole, and execute() returns which
// failed and how. A command that fails does not stop the ones after it, as a driver
// sending commands one by one goes on after one is refused.
//
// verifyTable() compares the chip with a table's shadows after a download: every
// entry position of every member, on every FAP a shadow serves within the mask, must
// hold the shadow's data, and no other cell of the table's members may be written.
//
// Thread-safety: none; one thread drives a chip.
#pragma once

#include "platform/plugin/Export.h"

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/FaultPlan.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"
#include "platform/vorl/Types.h"

namespace Sim {

struct HWTABLES_API CellAddress {
  U32 fapId = 0;
  U32 block = 0;
  U32 address = 0;
  U8 arrayIndex = 0;
  U32 row = 0;

  auto operator<=>(CellAddress const&) const = default;
};

struct HWTABLES_API Cell {
  bool isRegister = false;
  std::vector<U8> data;
};

// One flipped bit: the cell and the bit number within its data (bit b of byte b / 8).
struct HWTABLES_API FlippedBit {
  CellAddress cell;
  U32 bit = 0;
};

// One read as the chip sees it: `count` rows of `entrySize` bytes from `row` on, of
// one array of one member on one FAP.
struct HWTABLES_API CellRead {
  U32 fapId = 0;
  U32 block = 0;
  U32 address = 0;
  U8 arrayIndex = 0;
  U32 row = 0;
  U32 count = 0;
  U32 entrySize = 0;

  std::uint64_t bytes() const { return std::uint64_t{count} * entrySize; }
};

// Where the bytes of reads come from: the bytes of every read of the list, back to
// back in the list's order.
using ReadFetch = std::function<std::vector<U8>(std::vector<CellRead> const& reads)>;

// Checks every command of the list (Chip::readRefusal; Vorl::RangeException naming
// the first bad one, before anything is read), fetches the bytes of all of them at
// once, puts each command's bytes in its reply or DMA buffer and hands the command to
// its reader's processReadComplete, in list order. A null list reads nothing.
HWTABLES_API void answerReads(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, ReadFetch const& fetch);

struct HWTABLES_API LoggedCmd {
  std::uint64_t sequence = 0;
  Vorl::Ptr<Pelcar::SchanCmd const> cmd;  // a copy of the command as executed
};

class HWTABLES_API Chip : public Vorl::Node {
 public:
  // Executes every command of the list in order; a null list executes nothing. Under
  // a fault plan some commands may fail: the outcome names them.
  WriteOutcome execute(Vorl::Ptr<Pelcar::SchanCmds> const& cmds);
  WriteOutcome execute(Pelcar::SchanCmd const& cmd);

  // Fails on purpose from now on, counting from the next command (none: never fails).
  void faultPlanIs(std::optional<FaultPlan> plan);
  FaultInjector const* faults() const { return faults_ ? &*faults_ : nullptr; }

  // The register's contents on that FAP, or nothing when it was never written.
  std::optional<std::vector<U8>> registerValue(Pelcar::FapId fapId, U32 block, U32 address) const;
  // The memory row's contents on that FAP, or nothing when it was never written.
  std::optional<std::vector<U8>> memoryRow(Pelcar::FapId fapId, U32 block, U32 address,
                                           U8 arrayIndex, U32 row) const;

  // Answers every read command of the list in order, each completed command handed
  // to its reader; a null list answers nothing. Throws Vorl::RangeException before
  // answering anything when a command is not a read this chip answers.
  void answer(Vorl::Ptr<Pelcar::SchanCmds> const& cmds);
  std::uint64_t readsAnswered() const { return readsAnswered_; }
  // The bytes of one read (cells never written read as zeros); the read is trusted:
  // check it first (answerReads does).
  std::vector<U8> read(CellRead const& cellRead) const;

  // Flips `count` bits chosen at random (from `seed`) among the bits of the written
  // cells; the same bit may be chosen twice. Returns the bits in the order flipped.
  std::vector<FlippedBit> flipBits(U32 count, std::uint64_t seed);

  std::map<CellAddress, Cell> const& cells() const { return cells_; }
  std::vector<LoggedCmd> const& log() const { return log_; }
  // Keeps the latest commands in the log: at least the last `limit` of them, never
  // more than twice as many (0: none); unlimited by default.
  void logLimitIs(std::optional<std::size_t> limit);
  std::uint64_t commandsExecuted() const { return nextSequence_ - 1; }
  // FNV-1a (64 bits) over every cell in address order: its address, kind and bytes.
  std::uint64_t digest() const;
  void clear();

  // Empty when `cmd` can be executed, otherwise why not.
  static Vorl::String refusal(Pelcar::SchanCmd const& cmd);
  // Empty when `cmd` can be answered, otherwise why not.
  static Vorl::String readRefusal(Pelcar::SchanCmd const& cmd);

 private:
  // Executes one checked command, as the fault plan (if any) decides; a fault is
  // returned, with `index` its place in the list.
  std::optional<CommandFault> run(Pelcar::SchanCmd const& cmd, std::uint32_t index);
  void apply(Pelcar::SchanCmd const& cmd, U32 rows, std::optional<std::uint64_t> flipDraw);

  std::map<CellAddress, Cell> cells_;
  std::vector<LoggedCmd> log_;
  std::optional<std::size_t> logLimit_;
  std::uint64_t nextSequence_ = 1;
  std::uint64_t readsAnswered_ = 0;
  std::optional<FaultInjector> faults_;
};

struct HWTABLES_API TableCheck {
  std::size_t cellsChecked = 0;
  std::vector<Vorl::String> mismatches;

  bool ok() const { return mismatches.empty(); }
};

// Compares the chip with every shadow of `table` for the FAPs of `downloadFapmask`.
HWTABLES_API TableCheck verifyTable(Chip const& chip, Tessar::HwCommonShadowTableBase const& table,
                       Pelcar::Fapmask const& downloadFapmask);

}  // namespace Sim
