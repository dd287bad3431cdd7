#include "agent/Reconcile.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "agent/Agent.h"
#include "platform/tessar/DmaCommands.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/vorl/Exceptions.h"

namespace HwAgent {
namespace {

using Clock = std::chrono::steady_clock;
using Member = Vorl::Ptr<Tessar::BcmRegMemInfo const>;

std::size_t rowsOf(Tessar::BcmRegMemInfo const& member) {
  return std::size_t{member.arrayCount} * member.entryCount;
}

// One member of one table on one FAP: what the shadow expects, what the chip holds.
struct MemberRows {
  Member member;
  std::vector<U8> expected;
  std::vector<U8> chip;
  std::vector<std::size_t> differing;  // row positions, ascending
};

// The chip's rows of `member` from the reader's result: a dense image, zeros where
// the reader returned nothing.
std::vector<U8> chipImage(Tessar::BcmRegMemInfo const& member,
                          Tessar::HwTableReadResultContainer const& container,
                          Tessar::HwShadowKey readKey) {
  std::vector<U8> image(rowsOf(member) * member.entrySize, 0);
  auto result = container.perInstanceReadResult(readKey);
  if (!result) return image;
  result->forEachEntryData([&](U8 arrayIndex, U32 entryIndex, U8 const* data, U32 size) {
    U32 array = arrayIndex;
    if (array < member.firstArrayIndex || array - member.firstArrayIndex >= member.arrayCount ||
        entryIndex < member.firstEntryIndex ||
        entryIndex - member.firstEntryIndex >= member.entryCount) {
      return;
    }
    std::size_t position = std::size_t{array - member.firstArrayIndex} * member.entryCount +
                           (entryIndex - member.firstEntryIndex);
    std::memcpy(image.data() + position * member.entrySize, data, std::min(size, member.entrySize));
  });
  return image;
}

bool zeros(U8 const* data, std::size_t size) {
  for (std::size_t index = 0; index < size; ++index) {
    if (data[index] != 0) return false;
  }
  return true;
}

// Reads `members` of the table on the FAP of `readKey` in one list; the chip's image
// of each.
std::vector<std::vector<U8>> readMembers(Agent& agent, Tessar::HwTableReaderBase& reader,
                                         Tessar::HwShadowKey readKey, Member const& first,
                                         std::vector<Member> const& members,
                                         std::size_t& readCommands) {
  auto cmds = Pelcar::schanCmdsFactory();
  std::vector<Vorl::Ptr<Tessar::HwTableReadResultContainer>> containers;
  for (auto const& member : members) {
    containers.push_back(Vorl::makePtr<Tessar::HwTableReadResultContainer>());
    try {
      cmds->cmdsAppend(
          Framework::memberReadCmds(reader, readKey, member, member == first, containers.back()));
    } catch (Vorl::RangeException const& error) {  // e.g. DMA buffers smaller than one row
      throw Error(ErrorKind::badInput,
                  fmt::format("cannot read {} back: {}", member->name, error.what()));
    }
  }
  readCommands += cmds->size();
  agent.read(cmds);
  std::vector<std::vector<U8>> images;
  for (std::size_t index = 0; index < members.size(); ++index) {
    images.push_back(chipImage(*members[index], *containers[index], readKey));
  }
  return images;
}

std::vector<std::size_t> differingRows(MemberRows const& rows) {
  std::vector<std::size_t> differing;
  auto size = rows.member->entrySize;
  for (std::size_t row = 0; row < rowsOf(*rows.member); ++row) {
    if (std::memcmp(rows.expected.data() + row * size, rows.chip.data() + row * size, size) != 0) {
      differing.push_back(row);
    }
  }
  return differing;
}

// The writes of the differing rows of one member instance, to one FAP.
class RowWrites {
 public:
  RowWrites(Tessar::HwShadowBase const& shadow, Pelcar::Fapmask fap,
            Hardware::Sand::FapRevision const& revision,
            Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> const& pool)
      : shadow_(shadow),
        direct_(dynamic_cast<Tessar::DirectShadowBase const*>(&shadow)),
        fap_(fap),
        revision_(revision),
        pool_(pool) {}

  // Appends the writes of `rows.differing` to `cmds`; returns the rows written.
  std::size_t append(MemberRows const& rows, Tessar::BcmInstanceInfo const& instance,
                     Pelcar::SchanCmds& cmds) const {
    auto const& member = *rows.member;
    U32 capacity = 0;
    if (!member.isRegister() && pool_ && member.entrySize != 0)
      capacity = pool_->bufferBytes() / member.entrySize;
    std::size_t written = 0;
    auto const& differing = rows.differing;
    for (std::size_t begin = 0; begin < differing.size();) {
      // A run: adjacent rows of one array, at most one buffer's worth.
      std::size_t end = begin + 1;
      while (end < differing.size() && differing[end] == differing[end - 1] + 1 &&
             differing[end] / member.entryCount == differing[begin] / member.entryCount &&
             end - begin < capacity) {
        ++end;
      }
      auto array = static_cast<U8>(member.firstArrayIndex + differing[begin] / member.entryCount);
      U32 row = member.firstEntryIndex + static_cast<U32>(differing[begin] % member.entryCount);
      U8 const* data = rows.expected.data() + differing[begin] * member.entrySize;
      auto count = static_cast<U32>(end - begin);
      if (count >= 2) {
        auto buffer = pool_->buffer();
        std::memcpy(buffer->data(), data, std::size_t{count} * member.entrySize);
        cmds.cmdsAppend(Tessar::memoryWriteDmamemPoolBulkCmdFactory(
            fap_, revision_, shadow_.sandCmdletRequiredStatus(), instance, member.entrySize, member,
            array, row, count, buffer));
      } else {
        appendOne(member, instance, array, row, data, cmds);
      }
      written += count;
      begin = end;
    }
    return written;
  }

 private:
  // One row: the shadow's own one-row write, kept to the member and instance.
  void appendOne(Tessar::BcmRegMemInfo const& member, Tessar::BcmInstanceInfo const& instance,
                 U8 array, U32 row, U8 const* data, Pelcar::SchanCmds& cmds) const {
    if (!direct_) {
      throw Error(ErrorKind::checkFailed,
                  fmt::format("shadow {} builds no one-row writes", shadow_.name()));
    }
    auto all = direct_->schanCmdsWorker(fap_, revision_, array, row, data);
    for (auto const& cmd : *all) {
      if (cmd->memberName == member.name && cmd->block == instance.block &&
          cmd->address == instance.address) {
        cmds.cmdEnq(cmd);
      }
    }
  }

  Tessar::HwShadowBase const& shadow_;
  Tessar::DirectShadowBase const* direct_;
  Pelcar::Fapmask fap_;
  Hardware::Sand::FapRevision revision_;
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> pool_;
};

// A row that does not take in this many writes is left differing, and reported.
constexpr std::size_t kWriteRounds = 8;

TableReconcile reconcileShadowOnFap(Agent& agent, Tessar::HwCommonShadowTableBase const& table,
                                    Tessar::HwTableReaderBase& reader,
                                    Tessar::HwShadowBase const& shadow,
                                    Tessar::HwShadowKey readKey) {
  auto started = Clock::now();
  TableReconcile entry;
  entry.table = table.hwTableKey().tableName;
  entry.fapId = readKey.fapId();
  auto const& description = shadow.bcmGroupAddrInfo();
  if (!description || !description->firstMember()) {
    throw Error(ErrorKind::checkFailed, fmt::format("shadow {} has no description", shadow.name()));
  }
  std::vector<Member> members;
  for (auto const& [memoryId, member] : description->members()) members.push_back(member);
  auto first = description->firstMember();

  auto images = readMembers(agent, reader, readKey, first, members, entry.readCommands);
  std::vector<MemberRows> rows;
  for (std::size_t index = 0; index < members.size(); ++index) {
    MemberRows member{
        members[index], shadow.expectedRows(*members[index]), std::move(images[index]), {}};
    member.differing = differingRows(member);
    entry.rowsCompared += rowsOf(*member.member);
    for (auto position : member.differing) {
      auto size = member.member->entrySize;
      if (zeros(member.chip.data() + position * size, size)) ++entry.missingOnChip;
      if (zeros(member.expected.data() + position * size, size)) ++entry.extraOnChip;
    }
    entry.rowsDiffering += member.differing.size();
    rows.push_back(std::move(member));
  }

  if (entry.rowsDiffering != 0) {
    Pelcar::Fapmask fap;
    fap.fapIdIs(Pelcar::FapId(readKey.fapId()), true);
    RowWrites writes(shadow, fap, table.fapRevision(), agent.dmaPool());
    // Rounds of writes: a row the chip did not take (a write refused, timed out or
    // partly done, a bit that flipped as it was written) still reads back differently
    // and is written again, up to kWriteRounds in all.
    for (std::size_t round = 0; round < kWriteRounds; ++round) {
      auto cmds = Pelcar::schanCmdsFactory();
      std::vector<Member> written;
      for (auto const& member : rows) {
        if (member.differing.empty()) continue;
        auto instance = member.member->instances.find(readKey.instanceId());
        if (instance == member.member->instances.end()) {
          throw Error(ErrorKind::checkFailed,
                      fmt::format("{} has no instance {}", member.member->name,
                                  readKey.instanceId()));
        }
        entry.rowsWritten += writes.append(member, *instance->second, *cmds);
        written.push_back(member.member);
      }
      if (written.empty()) break;
      if (round != 0) ++entry.retries;
      entry.commandsSent += cmds->size();
      try {
        agent.sendBeforeRecorded(cmds, entry.table);  // Agent::reconcile flushes the journal
      } catch (ChipFault const& fault) {
        entry.failures.insert(entry.failures.end(), fault.failures().begin(),
                              fault.failures().end());
      }
      // The audit of the writes: what was written must now read back as the shadow.
      auto again = readMembers(agent, reader, readKey, first, written, entry.readCommands);
      entry.rowsStillDiffering = 0;
      for (auto& member : rows) {
        auto at = std::find(written.begin(), written.end(), member.member);
        if (at == written.end()) continue;
        member.chip = std::move(again[static_cast<std::size_t>(at - written.begin())]);
        member.differing = differingRows(member);
        entry.rowsStillDiffering += member.differing.size();
      }
    }
  }
  entry.time = Clock::now() - started;
  return entry;
}

}  // namespace

ReconcileReport reconcileChip(Agent& agent, Framework::AuditScope const& scope) {
  if (scope.fapId && (*scope.fapId > 255 || !agent.fapmask().fapId(Pelcar::FapId(*scope.fapId)))) {
    throw Error(ErrorKind::badInput,
                fmt::format("the agent holds no shadow for FAP {}", *scope.fapId));
  }
  auto tables = agent.tablesNamed(scope.table);
  auto const& context = Tessar::HwTableHolderContext::singleton();
  ReconcileReport report;
  for (auto const& table : tables) {
    auto factory = context.hwReaderFactory(table->hwTableKey());
    if (!factory) {
      throw Error(ErrorKind::checkFailed,
                  fmt::format("no reader registered for {} on revision {}",
                              table->hwTableKey().tableName, table->fapRevision().revString()));
    }
    auto reader = factory(table->fapRevision(), agent.readTableManager());
    for (auto const& [shadowKey, shadow] : table->hwShadowColl()) {
      for (auto fap : shadow->servedFapmask().fapIds()) {
        if (scope.fapId && *scope.fapId != fap.value) continue;
        auto readKey = Tessar::HwShadowKey::of(static_cast<U8>(fap.value), shadowKey.instanceId());
        report.entries.push_back(reconcileShadowOnFap(agent, *table, *reader, *shadow, readKey));
      }
    }
  }
  return report;
}

}  // namespace HwAgent
