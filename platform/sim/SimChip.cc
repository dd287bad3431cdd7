#include "platform/sim/SimChip.h"

#include <limits>
#include <set>

#include "platform/vorl/Exceptions.h"

namespace Sim {

Vorl::String Chip::refusal(Pelcar::SchanCmd const& cmd) {
  if (!cmd.isWrite()) return "the simulated chip executes write commands only";
  if (cmd.fapmask.empty()) return "the command's FAP mask is empty";
  if (cmd.entrySize == 0) return "the command's entry size is 0";
  if (cmd.rowCount == 0) return "the command writes no rows";
  if (cmd.kind != Pelcar::SchanCmdKind::memoryBulkWrite && cmd.rowCount != 1) {
    return fmt::format("a {} writes one row, not {}", Pelcar::kindName(cmd.kind), cmd.rowCount);
  }
  if (cmd.row > std::numeric_limits<U32>::max() - (cmd.rowCount - 1)) {
    return "the command's rows run past the end of the address space";
  }
  auto expected = static_cast<std::uint64_t>(cmd.entrySize) * cmd.rowCount;
  if (cmd.data.size() != expected) {
    return fmt::format("the command carries {} data bytes for {} rows of {}", cmd.data.size(),
                       cmd.rowCount, cmd.entrySize);
  }
  return {};
}

WriteOutcome Chip::execute(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) {
  WriteOutcome outcome;
  if (!cmds) return outcome;
  for (auto const& cmd : *cmds) {
    if (!cmd) throw Vorl::RangeException("command list holds a null command");
    if (auto why = refusal(*cmd); !why.empty()) {
      throw Vorl::RangeException(fmt::format("refused {}: {}", cmd->toString(), why));
    }
  }
  for (auto const& cmd : *cmds) {
    if (auto fault = run(*cmd, outcome.commands)) outcome.faults.push_back(std::move(*fault));
    ++outcome.commands;
  }
  return outcome;
}

WriteOutcome Chip::execute(Pelcar::SchanCmd const& cmd) {
  if (auto why = refusal(cmd); !why.empty()) {
    throw Vorl::RangeException(fmt::format("refused {}: {}", cmd.toString(), why));
  }
  WriteOutcome outcome;
  outcome.commands = 1;
  if (auto fault = run(cmd, 0)) outcome.faults.push_back(std::move(*fault));
  return outcome;
}

void Chip::faultPlanIs(std::optional<FaultPlan> plan) {
  faults_.reset();
  if (plan && !plan->empty()) faults_.emplace(*plan);
}

std::optional<CommandFault> Chip::run(Pelcar::SchanCmd const& cmd, std::uint32_t index) {
  if (!faults_) {
    apply(cmd, cmd.rowCount, std::nullopt);
    return std::nullopt;
  }
  auto decision = faults_->next(cmd);
  if (decision.rowsWritten != 0) apply(cmd, decision.rowsWritten, decision.flipDraw);
  if (!decision.fault) return std::nullopt;
  CommandFault fault{index, *decision.fault, decision.rowsWritten, {}};
  switch (fault.kind) {
    case FaultKind::refused:
      fault.message = "the chip answered with an error status";
      break;
    case FaultKind::timedOut:
      fault.message = "the DMA transfer timed out; nothing of it was written";
      break;
    case FaultKind::partial:
      fault.message = fmt::format("the DMA transfer completed {} of its {} rows",
                                  fault.rowsWritten, cmd.rowCount);
      break;
  }
  return fault;
}

void Chip::apply(Pelcar::SchanCmd const& cmd, U32 rows, std::optional<std::uint64_t> flipDraw) {
  bool isRegister = cmd.kind == Pelcar::SchanCmdKind::registerWrite;
  for (auto fapId : cmd.fapmask.fapIds()) {
    for (U32 index = 0; index < rows; ++index) {
      CellAddress address{fapId.value, cmd.block, cmd.address, cmd.arrayIndex, cmd.row + index};
      auto first = cmd.data.begin() + static_cast<std::ptrdiff_t>(index * cmd.entrySize);
      cells_[address] = Cell{isRegister, std::vector<U8>(first, first + cmd.entrySize)};
    }
  }
  if (flipDraw) {
    // One bit of one of the cells just written: a FAP of the mask, a row, a bit.
    auto faps = cmd.fapmask.fapIds();
    auto draw = *flipDraw;
    auto fapId = faps[draw % faps.size()];
    draw /= faps.size();
    U32 row = cmd.row + static_cast<U32>(draw % rows);
    draw /= rows;
    auto bit = static_cast<U32>(draw % (std::uint64_t{cmd.entrySize} * 8));
    auto& cell = cells_[CellAddress{fapId.value, cmd.block, cmd.address, cmd.arrayIndex, row}];
    cell.data[bit / 8] ^= static_cast<U8>(1u << (bit % 8));
  }
  auto sequence = nextSequence_++;
  if (logLimit_ && *logLimit_ == 0) return;
  log_.push_back({sequence, Vorl::makePtr<Pelcar::SchanCmd>(cmd)});
  if (logLimit_ && log_.size() > 2 * *logLimit_) {
    // Trimmed in halves, so that a long run costs one move per logLimit commands.
    log_.erase(log_.begin(), log_.end() - static_cast<std::ptrdiff_t>(*logLimit_));
  }
}

void Chip::logLimitIs(std::optional<std::size_t> limit) {
  logLimit_ = limit;
  if (limit && log_.size() > *limit) {
    log_.erase(log_.begin(), log_.end() - static_cast<std::ptrdiff_t>(*limit));
  }
}

std::uint64_t Chip::digest() const {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  auto feed = [&hash](std::uint64_t value, unsigned bytes) {
    for (unsigned index = 0; index < bytes; ++index) {
      hash ^= (value >> (8 * index)) & 0xffu;
      hash *= 0x100000001b3ull;
    }
  };
  for (auto const& [address, cell] : cells_) {
    feed(address.fapId, 4);
    feed(address.block, 4);
    feed(address.address, 4);
    feed(address.arrayIndex, 1);
    feed(address.row, 4);
    feed(cell.isRegister ? 1 : 0, 1);
    feed(cell.data.size(), 4);
    for (auto byte : cell.data) feed(byte, 1);
  }
  return hash;
}

std::optional<std::vector<U8>> Chip::registerValue(Pelcar::FapId fapId, U32 block,
                                                   U32 address) const {
  auto found = cells_.find(CellAddress{fapId.value, block, address, 0, 0});
  if (found == cells_.end() || !found->second.isRegister) return std::nullopt;
  return found->second.data;
}

std::optional<std::vector<U8>> Chip::memoryRow(Pelcar::FapId fapId, U32 block, U32 address,
                                               U8 arrayIndex, U32 row) const {
  auto found = cells_.find(CellAddress{fapId.value, block, address, arrayIndex, row});
  if (found == cells_.end() || found->second.isRegister) return std::nullopt;
  return found->second.data;
}

void Chip::clear() {
  cells_.clear();
  log_.clear();
}

TableCheck verifyTable(Chip const& chip, Tessar::HwCommonShadowTableBase const& table,
                       Pelcar::Fapmask const& downloadFapmask) {
  TableCheck check;
  std::set<CellAddress> expectedCells;
  std::set<std::pair<U32, U32>> tableLocations;  // block and address of every member instance
  for (auto const& [shadowKey, shadow] : table.hwShadowColl()) {
    auto const& description = shadow->bcmGroupAddrInfo();
    if (!description) continue;
    auto faps = shadow->applicableFapmask(downloadFapmask).fapIds();
    for (auto const& [memoryId, member] : description->members()) {
      for (auto const& [instanceId, instance] : member->instances) {
        tableLocations.insert({instance->block, instance->address});
        for (U32 array = 0; array < member->arrayCount; ++array) {
          auto arrayIndex = static_cast<U8>(member->firstArrayIndex + array);
          for (U32 entry = 0; entry < member->entryCount; ++entry) {
            U32 entryIndex = member->firstEntryIndex + entry;
            auto expected = shadow->expectedEntryData(arrayIndex, entryIndex);
            for (auto fapId : faps) {
              CellAddress address{fapId.value, instance->block, instance->address, arrayIndex,
                                  entryIndex};
              expectedCells.insert(address);
              ++check.cellsChecked;
              auto found = chip.cells().find(address);
              auto where = fmt::format("FAP {} {} (block {} address {:#x} array {} entry {})",
                                       fapId, member->name, instance->block, instance->address,
                                       arrayIndex, entryIndex);
              if (found == chip.cells().end()) {
                check.mismatches.push_back(where + ": never written");
              } else if (found->second.isRegister != member->isRegister()) {
                check.mismatches.push_back(where + ": written as the wrong kind");
              } else if (found->second.data != expected) {
                check.mismatches.push_back(fmt::format(
                    "{}: chip holds {}, shadow holds {}", where,
                    Pelcar::hexBytes(found->second.data.data(), found->second.data.size()),
                    Pelcar::hexBytes(expected.data(), expected.size())));
              }
            }
          }
        }
      }
    }
  }
  for (auto const& [address, cell] : chip.cells()) {
    if (!tableLocations.contains({address.block, address.address})) continue;
    if (expectedCells.contains(address)) continue;
    check.mismatches.push_back(fmt::format(
        "FAP {} block {} address {:#x} array {} entry {}: written, but no shadow holds it",
        address.fapId, address.block, address.address, address.arrayIndex, address.row));
  }
  return check;
}

}  // namespace Sim
