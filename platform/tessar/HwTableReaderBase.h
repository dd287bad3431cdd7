// The reader side of a table: reads a table back from the chip.
//
// HwTableReaderBase is what the agent holds of every reader: the table key, the
// read-table manager and the FAPs the reader may read, and the operations every
// reader answers. RegisterReaderBase and DirectTableReaderBase add each family's
// command builder, and the platform's worker that turns a read into commands:
//
//   request -> tableReadSchanCmds -> regReadSchanCmds / directReadSchanCmds
//           -> worker: one GenericRegReadCmdlet per register read, or
//              GenericBulkReadCmdlets of consecutive entries into DMA pool buffers
//   chip answers each command -> the command's reader: processReadComplete
//           -> decoded entries in the command's result container
//
// Workers refuse (Vorl::RangeException, nothing built) an instance, array index or
// entry index the member does not have, and a pool whose buffers hold no entry.
//
// Thread-safety: none; the agent's owning thread uses readers.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/GroupAddrInfo.h"
#include "platform/tessar/Keys.h"
#include "platform/tessar/ReadRequest.h"
#include "platform/tessar/ReadResult.h"
#include "platform/tessar/ReadTableManager.h"
#include "platform/tyvo/TypeRuntime.h"

namespace Tessar {

class HWTABLES_API HwTableReaderBase : public Vorl::Node {
 public:
  HwTableReaderBase(HwTableKey hwTableKey, Vorl::Ptr<ReadTableManager> readTableManager)
      : hwTableKey_(std::move(hwTableKey)),
        readTableManager_(std::move(readTableManager)),
        fapmask_(readTableManager_ ? readTableManager_->readerFapmask() : Pelcar::Fapmask()) {}

  HwTableKey const& hwTableKey() const { return hwTableKey_; }
  Vorl::Ptr<ReadTableManager> const& readTableManager() const { return readTableManager_; }
  // The FAPs this reader may read.
  Pelcar::Fapmask const& fapmask() const { return fapmask_; }

  // The reader's type as the type runtime knows it.
  virtual Vorl::TypeDescriptor typeData() const { return {}; }
  virtual InstanceId minInstanceId() const = 0;
  virtual InstanceId maxInstanceId() const = 0;
  virtual Vorl::Ptr<Pelcar::SchanCmds> tableReadSchanCmds(
      Vorl::Ptr<HwReadRequestParameterBase const> const& request,
      Vorl::Ptr<HwTableReadResultContainer> const& resultContainer) = 0;
  virtual void processReadComplete(Vorl::Ptr<Pelcar::SchanCmd const> const& cmd) = 0;

 private:
  HwTableKey hwTableKey_;
  Vorl::Ptr<ReadTableManager> readTableManager_;
  Pelcar::Fapmask fapmask_;
};

// What every read command carries besides the command itself.
struct HWTABLES_API HwReadCmdTarget {
  Vorl::Ptr<HwTableReadResultContainer> resultContainer;
  // Whose processReadComplete the agent calls once the command has completed.
  Vorl::Ptr<HwTableReaderBase> reader;
};

// The description of one register read.
struct HWTABLES_API HwRegReadInfo : Vorl::Node {
  U8 fapId = 0;
  U8 instanceId = 0;
  Hardware::Sand::FapRevision fapRevision;
  U32 entryIndex = 0;
};

class HWTABLES_API GenericRegReadCmdlet : public Pelcar::SchanCmd, public HwReadCmdTarget {
 public:
  Vorl::Ptr<HwRegReadInfo const> readInfo;
  // The chip's answer, byte 0 first; empty until the command has completed.
  std::vector<U8> replyData;
};

// The description of one bulk read: numEntries entries from firstEntryIndex on, of
// one array index, back to back in the buffer from its vaCursor().
struct HWTABLES_API HwReadBulkCmdInfo : Vorl::Node {
  U8 fapId = 0;
  U8 instanceId = 0;
  Hardware::Sand::FapRevision fapRevision;
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolBuffer> dmaMemPoolBuffer;
  U8 arrayIndex = 0;
  U32 firstEntryIndex = 0;
  U32 numEntries = 0;
};

class HWTABLES_API GenericBulkReadCmdlet : public Pelcar::SchanCmd, public HwReadCmdTarget {
 public:
  Vorl::Ptr<HwReadBulkCmdInfo const> readInfo;
};

class HWTABLES_API RegisterReaderBase : public HwTableReaderBase {
 public:
  using HwTableReaderBase::HwTableReaderBase;

  virtual Vorl::Ptr<Pelcar::SchanCmds> regReadSchanCmds(
      HwShadowKey inHwShadowKey, bool fullTable, U32 entryIndex,
      Vorl::Ptr<HwTableReadResultContainer> const& resultContainer) = 0;

  // One GenericRegReadCmdlet per FAP of `fapmask` and entry index read (every entry
  // index of `member` when `fullTable`, else `entryIndex`), completing to this reader.
  Vorl::Ptr<Pelcar::SchanCmds> regReadSchanCmdsWorker(
      Pelcar::Fapmask const& fapmask, InstanceId instanceId, bool fullTable, U32 entryIndex,
      Vorl::Ptr<HwTableReadResultContainer> const& resultContainer,
      Vorl::Ptr<BcmRegMemInfo const> const& member,
      Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const& status);
};

class HWTABLES_API DirectTableReaderBase : public HwTableReaderBase {
 public:
  using HwTableReaderBase::HwTableReaderBase;

  virtual Vorl::Ptr<Pelcar::SchanCmds> directReadSchanCmds(
      HwShadowKey inHwShadowKey, bool allArrayIndices, U8 arrayIndex,
      Vorl::Ptr<HwTableReadResultContainer> const& resultContainer) = 0;

  // GenericBulkReadCmdlets per FAP of `fapmask` covering every entry of `member` in
  // each array index read (all of them, or `arrayIndex`), in runs of at most
  // bulkReadEntries() entries and at most one pool buffer each; completing to this reader.
  Vorl::Ptr<Pelcar::SchanCmds> directReadSchanCmdsWorker(
      Pelcar::Fapmask const& fapmask, InstanceId instanceId, bool allArrayIndices, U8 arrayIndex,
      Vorl::Ptr<HwTableReadResultContainer> const& resultContainer,
      Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> const& dmaMemPoolManager,
      Vorl::Ptr<BcmRegMemInfo const> const& member,
      Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const& status);
};

}  // namespace Tessar
