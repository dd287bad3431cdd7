// The command factory of DMA bulk memory writes.
//
// A bulk write carries rowCount consecutive rows of one array of a memory, starting
// at firstRow, packed back to back in a DMA pool buffer. The command copies the used
// part of the buffer, so the buffer may go back to its pool once the command is
// built.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/dma/DmaMemPool.h"
#include "platform/hardware/FapRevision.h"
#include "platform/hardware/Status.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/GroupAddrInfo.h"

namespace Tessar {

// Throws Vorl::RangeException (and builds nothing) when the rows do not fit the
// buffer or lie outside the memory's ranges.
HWTABLES_API Vorl::Ptr<Pelcar::SchanCmds> memoryWriteDmamemPoolBulkCmdFactory(
    Pelcar::Fapmask const& fapmask, Hardware::Sand::FapRevision const& fapRevision,
    Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const& requiredStatus,
    BcmInstanceInfo const& instance, U32 entrySize, BcmRegMemInfo const& memInfo, U8 arrayIndex,
    U32 firstRow, U32 rowCount, DmaMemPoolManager::DmaMemPoolBuffer const& buffer);

// The same command appended to `into` (no list of its own is made); throws as above
// and then appends nothing.
HWTABLES_API void memoryWriteDmamemPoolBulkCmdAppend(
    Pelcar::Fapmask const& fapmask, Hardware::Sand::FapRevision const& fapRevision,
    BcmInstanceInfo const& instance, U32 entrySize, BcmRegMemInfo const& memInfo, U8 arrayIndex,
    U32 firstRow, U32 rowCount, DmaMemPoolManager::DmaMemPoolBuffer const& buffer,
    Pelcar::SchanCmds& into);

}  // namespace Tessar
