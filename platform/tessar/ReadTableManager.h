// What the agent gives its table readers: the FAPs they may read, the command-path
// status their commands carry, and the DMA memory pool that bulk reads land in.
//
// Readers keep no state between requests; everything a read needs beyond the
// reader's own description comes from here. `bulkReadEntries` bounds how many
// entries one bulk read command carries (0: as many as one pool buffer holds), so
// the agent can trade commands for buffer space.
//
// Thread-safety: none; the agent's owning thread uses it.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/dma/DmaMemPool.h"
#include "platform/hardware/Status.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/vorl/Ptr.h"

namespace Tessar {

class HWTABLES_API ReadTableManager : public Vorl::Node {
 public:
  // Buffers of the pool made when the agent gives none.
  static constexpr U32 kDefaultDmaBufferBytes = 1024;

  explicit ReadTableManager(Pelcar::Fapmask readerFapmask)
      : readerFapmask_(readerFapmask),
        cmdletStatus_(Vorl::makePtr<Hardware::Sand::SandCmdletRequiredStatus>()),
        dmaPool_(Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(kDefaultDmaBufferBytes)) {}

  // The FAPs a reader of this manager may read.
  Pelcar::Fapmask const& readerFapmask() const { return readerFapmask_; }
  void readerFapmaskIs(Pelcar::Fapmask const& mask) { readerFapmask_ = mask; }

  Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus() const {
    return cmdletStatus_;
  }

  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager() const { return dmaPool_; }
  void dmaMemPoolManagerIs(Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> const& pool) {
    dmaPool_ = pool;
  }

  U32 bulkReadEntries() const { return bulkReadEntries_; }
  void bulkReadEntriesIs(U32 entries) { bulkReadEntries_ = entries; }

 private:
  Pelcar::Fapmask readerFapmask_;
  Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus> cmdletStatus_;
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaPool_;
  U32 bulkReadEntries_ = 0;
};

}  // namespace Tessar
