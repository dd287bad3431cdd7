#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "agent/Agent.h"
#include "platform/sim/SimChip.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "readers/AllReaders.h"
#include "tables/AllTables.h"
#include "tables/Catalogue.h"
#include "tests/e2e/ToolRunner.h"

namespace ReaderTest {

template <class Reader>
Vorl::Ptr<Reader> makeReader(Pelcar::Fapmask faps = Pelcar::Fapmask::of({0, 1})) {
  auto factory = Tessar::HwTableHolderContext::singleton().hwReaderFactory(
      {Reader::tableName(), Hardware::Sand::bcm88490_a0Revision});
  EXPECT_TRUE(factory) << Reader::tableName();
  return Vorl::ptrCast<Reader>(factory(Hardware::Sand::bcm88490_a0Revision,
                                       Vorl::makePtr<Tessar::ReadTableManager>(faps)));
}

// A completed register read of `entryIndex` on FAP `fapId` carrying `reply`.
inline Vorl::Ptr<Tessar::GenericRegReadCmdlet> regReply(
    Vorl::Ptr<Tessar::HwTableReadResultContainer> const& container, U8 fapId, U32 entryIndex,
    std::vector<U8> reply) {
  auto info = Vorl::makePtr<Tessar::HwRegReadInfo>();
  info->fapId = fapId;
  info->fapRevision = Hardware::Sand::bcm88490_a0Revision;
  info->entryIndex = entryIndex;
  auto cmd = Vorl::makePtr<Tessar::GenericRegReadCmdlet>();
  cmd->kind = Pelcar::SchanCmdKind::registerRead;
  cmd->readInfo = info;
  cmd->resultContainer = container;
  cmd->replyData = std::move(reply);
  return cmd;
}

// A bulk read description of `rows` (each one entry's bytes) from `firstEntryIndex`.
inline Vorl::Ptr<Tessar::HwReadBulkCmdInfo> bulkOf(U8 arrayIndex, U32 firstEntryIndex,
                                                   std::vector<std::vector<U8>> const& rows,
                                                   U8 fapId = 0) {
  auto info = Vorl::makePtr<Tessar::HwReadBulkCmdInfo>();
  info->fapId = fapId;
  info->fapRevision = Hardware::Sand::bcm88490_a0Revision;
  info->arrayIndex = arrayIndex;
  info->firstEntryIndex = firstEntryIndex;
  info->numEntries = static_cast<U32>(rows.size());
  U32 bytes = 0;
  for (auto const& row : rows) bytes += static_cast<U32>(row.size());
  info->dmaMemPoolBuffer = Vorl::makePtr<DmaMemPoolManager::DmaMemPoolBuffer>(bytes == 0 ? 1 : bytes);
  U8* cursor = info->dmaMemPoolBuffer->vaCursor();
  for (auto const& row : rows) {
    std::memcpy(cursor, row.data(), row.size());
    cursor += row.size();
  }
  return info;
}

// An agent with every table, one shadow per FAP, downloaded to `chip`; memory stores
// live in a temporary root removed at the end.
class BroughtUpChip {
 public:
  explicit BroughtUpChip(std::vector<unsigned> faps);

  Vorl::Ptr<Tessar::TableManager> manager() const;
  Pelcar::Fapmask const& faps() const { return agent_->fapmask(); }

 private:
  E2e::TempDir root_;  // declared first: removed after the agent has let go of it
  Vorl::Ptr<Sim::Chip> chip_;
  std::unique_ptr<HwAgent::Agent> agent_;

 public:
  Sim::Chip& chip;
};

}  // namespace ReaderTest
