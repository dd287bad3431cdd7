#include "agent/ChipLink.h"

#include <fmt/format.h>

#include "agent/Error.h"
#include "platform/sim/ChipClient.h"
#include "platform/vorl/Exceptions.h"

namespace HwAgent {
namespace {

class InProcessChip final : public ChipLink {
 public:
  explicit InProcessChip(Vorl::Ptr<Sim::Chip> chip)
      : chip_(chip ? std::move(chip) : Vorl::makePtr<Sim::Chip>()) {}

  std::string description() const override { return "the simulated chip in this process"; }
  Sim::WriteOutcome write(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override {
    try {
      return chip_->execute(cmds);
    } catch (Vorl::RangeException const& error) {
      throw Error(ErrorKind::chipFailure,
                  fmt::format("the chip refused a write: {}", error.what()));
    }
  }
  void read(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override {
    try {
      chip_->answer(cmds);
    } catch (Vorl::RangeException const& error) {
      throw Error(ErrorKind::chipFailure, fmt::format("the chip refused a read: {}", error.what()));
    }
  }
  Sim::Chip* localChip() override { return chip_.get(); }
  Vorl::Ptr<Sim::Chip> contents() override { return chip_; }
  std::vector<Sim::FlippedBit> flipBits(U32 count, std::uint64_t seed) override {
    return chip_->flipBits(count, seed);
  }

 private:
  Vorl::Ptr<Sim::Chip> chip_;
};

class ChipProcess final : public ChipLink {
 public:
  ChipProcess(std::string const& socketPath, std::chrono::milliseconds timeout)
      : client_(guarded([&] { return std::make_unique<Sim::ChipClient>(socketPath, timeout); })) {}

  std::string description() const override {
    return fmt::format("the chip process at {}", client_->socketPath());
  }
  Sim::WriteOutcome write(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override {
    return guarded([&] { return client_->write(cmds); });
  }
  void read(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) override {
    guarded([&] {
      Sim::answerReads(
          cmds, [this](std::vector<Sim::CellRead> const& reads) { return client_->read(reads); });
      return true;
    });
  }
  Vorl::Ptr<Sim::Chip> contents() override {
    auto copy = Vorl::makePtr<Sim::Chip>();
    copy->logLimitIs(0);
    auto cells = guarded([&] { return client_->cells(); });
    // Each cell written back as the one-row write that would have left it so.
    for (auto const& [address, cell] : cells) {
      if (cell.data.empty()) continue;
      auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
      cmd->kind =
          cell.isRegister ? Pelcar::SchanCmdKind::registerWrite : Pelcar::SchanCmdKind::memoryWrite;
      cmd->fapmask.fapIdIs(Pelcar::FapId(address.fapId), true);
      cmd->block = address.block;
      cmd->address = address.address;
      cmd->arrayIndex = address.arrayIndex;
      cmd->row = address.row;
      cmd->entrySize = static_cast<U32>(cell.data.size());
      cmd->data = cell.data;
      copy->execute(*cmd);
    }
    return copy;
  }
  std::vector<Sim::FlippedBit> flipBits(U32 count, std::uint64_t seed) override {
    return guarded([&] { return client_->flipBits(count, seed); });
  }

 private:
  template <class Operation>
  static auto guarded(Operation&& operation) -> decltype(operation()) {
    try {
      return operation();
    } catch (Sim::ChipError const& error) {
      throw Error(ErrorKind::chipFailure, error.what());
    } catch (Vorl::RangeException const& error) {
      throw Error(ErrorKind::chipFailure,
                  fmt::format("a read the chip cannot answer: {}", error.what()));
    }
  }

  std::unique_ptr<Sim::ChipClient> client_;
};

}  // namespace

std::unique_ptr<ChipLink> inProcessChip(Vorl::Ptr<Sim::Chip> chip) {
  return std::make_unique<InProcessChip>(std::move(chip));
}

std::unique_ptr<ChipLink> chipProcess(std::string const& socketPath,
                                      std::chrono::milliseconds timeout) {
  return std::make_unique<ChipProcess>(socketPath, timeout);
}

}  // namespace HwAgent
