// A simulated chip that fails on purpose: the faults a real chip shows an agent, on a
// plan, so that the agent's answer to them can be tested and shown.
//
//   refused      the chip answers a write command with an error status; nothing of it
//                is written
//   timedOut     a DMA bulk write does not complete in time; nothing of it is written
//   partial      a DMA bulk write completes with only its first k rows written
//   bit flips    every Nth write command, one bit of one cell it wrote flips after it
//                is written, silently, as a soft error does: only a read-back finds it
//
// A plan names each fault by number ("the 5th write command", "the 2nd bulk write")
// or by a rate ("10 % of the commands"). Rates are drawn from the plan's seed, a fixed
// number of draws per command whatever happens to it, so the same commands under the
// same plan fail the same way: a run repeats.
//
// The text form (`hwtables chip serve --faults SPEC`) is a comma-separated list of
// name=value: refuse=N, refuse-rate=F, timeout=N, timeout-rate=F, partial=N,
// partial-rate=F, partial-rows=K, flip-every=N, seed=S (FaultPlan::parse).
//
// Thread-safety: none; the chip that owns an injector drives it.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pelcar/SchanCmd.h"
#include "platform/vorl/Types.h"

namespace Sim {

enum class FaultKind : std::uint8_t { refused = 1, timedOut = 2, partial = 3 };

// "refused", "timed out", "partly written".
HWTABLES_API char const* faultKindName(FaultKind kind);
// The kind of a wire or journal byte; nothing for a byte that names none.
HWTABLES_API std::optional<FaultKind> faultKindOf(std::uint8_t value);

// One command of a list that the chip did not complete.
struct HWTABLES_API CommandFault {
  std::uint32_t index = 0;  // the command's place in the list
  FaultKind kind = FaultKind::refused;
  std::uint32_t rowsWritten = 0;  // partial: its first rows that were written
  std::string message;

  bool operator==(CommandFault const&) const = default;
};

// What the chip made of a list of write commands: every command not named in
// `faults` was written whole.
struct HWTABLES_API WriteOutcome {
  std::uint32_t commands = 0;
  std::vector<CommandFault> faults;

  bool ok() const { return faults.empty(); }
  std::uint32_t completed() const {
    return commands - static_cast<std::uint32_t>(faults.size());
  }
};

// A bad fault plan text, with what was wrong in it.
struct HWTABLES_API FaultPlanError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct HWTABLES_API FaultPlan {
  std::uint64_t seed = 1;
  // Counted from 1 over the write commands since the plan was set.
  std::optional<std::uint64_t> refuseNth;
  double refuseRate = 0;
  // Counted from 1 over the DMA bulk writes since the plan was set.
  std::optional<std::uint64_t> timeoutNth;
  double timeoutRate = 0;
  std::optional<std::uint64_t> partialNth;
  double partialRate = 0;
  // The rows a partial bulk write lands (at most all but one of its rows); drawn from
  // the seed when not given.
  std::optional<std::uint32_t> partialRows;
  // One bit of the cells of every Nth write command flips (0: none).
  std::uint64_t flipEvery = 0;

  bool empty() const;
  // Throws FaultPlanError naming the bad part.
  static FaultPlan parse(std::string_view text);
  // The text parse() reads back to this plan.
  std::string text() const;
};

// What happens to one command under a plan.
struct HWTABLES_API FaultDecision {
  std::optional<FaultKind> fault;
  std::uint32_t rowsWritten = 0;  // the rows to write: all, unless the command faults
  // Flip one bit among the cells written: which one, from this draw.
  std::optional<std::uint64_t> flipDraw;
};

// A plan being carried out: counts the commands and draws from the seed.
class HWTABLES_API FaultInjector {
 public:
  explicit FaultInjector(FaultPlan plan);
  FaultPlan const& plan() const { return plan_; }
  // The fate of the next write command (a checked, executable one).
  FaultDecision next(Pelcar::SchanCmd const& cmd);
  std::uint64_t faultsInjected() const { return faults_; }
  std::uint64_t bitsFlipped() const { return flips_; }

 private:
  std::uint64_t draw();  // splitmix64: the same numbers on every platform
  double unit() { return static_cast<double>(draw() >> 11) * 0x1.0p-53; }

  FaultPlan plan_;
  std::uint64_t state_;
  std::uint64_t writes_ = 0;
  std::uint64_t bulkWrites_ = 0;
  std::uint64_t faults_ = 0;
  std::uint64_t flips_ = 0;
};

}  // namespace Sim
