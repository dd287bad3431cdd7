// The command factory of DMA bulk memory writes.
//
// A bulk write carries rowCount consecutive rows of one array of a memory, starting
// at firstRow, packed back to back in a DMA pool buffer. The command keeps the
// buffer (its data are the buffer's first bytes, not a copy of them): the buffer goes
// back to its pool when the last command written from it is dropped, and whoever
// packed it writes no more to it once a command is built.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/dma/DmaMemPool.h"
#include "platform/hardware/FapRevision.h"
#include "platform/hardware/Status.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/GroupAddrInfo.h"

namespace Tessar {

// Throws Vorl::RangeException (and builds nothing) when there is no buffer, or the
// rows do not fit it or lie outside the memory's ranges.
HWTABLES_API Vorl::Ptr<Pelcar::SchanCmds> memoryWriteDmamemPoolBulkCmdFactory(
    Pelcar::Fapmask const& fapmask, Hardware::Sand::FapRevision const& fapRevision,
    Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const& requiredStatus,
    BcmInstanceInfo const& instance, U32 entrySize, BcmRegMemInfo const& memInfo, U8 arrayIndex,
    U32 firstRow, U32 rowCount, Vorl::Ptr<DmaMemPoolManager::DmaMemPoolBuffer const> const& buffer);

// The same command appended to `into` (no list of its own is made); throws as above
// and then appends nothing.
HWTABLES_API void memoryWriteDmamemPoolBulkCmdAppend(
    Pelcar::Fapmask const& fapmask, Hardware::Sand::FapRevision const& fapRevision,
    BcmInstanceInfo const& instance, U32 entrySize, BcmRegMemInfo const& memInfo, U8 arrayIndex,
    U32 firstRow, U32 rowCount, Vorl::Ptr<DmaMemPoolManager::DmaMemPoolBuffer const> const& buffer,
    Pelcar::SchanCmds& into);

}  // namespace Tessar
