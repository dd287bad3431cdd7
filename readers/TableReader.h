// The reader of one table, as templates over the table's generated class.
//
// Every reader is the same code with the table's names, entry type and sizes
// substituted: RegisterReader for the four registers, MemoryReader for the nine
// memories. The generated class HwTable<Table>Reader (readers/generate/Reader.h.in)
// only adds the names. What both families share lives in ReaderCore:
//
//   construction        the reader's description (bcmGroupAddrInfo), a new instance
//                       of the table's descriptor, made by handleInitialized()
//   tableReadSchanCmds  dispatch on the request type: full table, one entry index
//                       (registers) or one array index (memories); any other request
//                       is traced at level 3 and answered with an empty command list
//   FAP selection       the reader's FAP mask, narrowed to the shadow key's FAP
//                       unless that is 128 (every FAP)
//   hand-off            every completion finds or creates the result of its shadow
//                       key in the command's container, then stores what it decoded
//
// A reader reads the first member of its description; a table written to two blocks
// is read back from one of them. Readers keep no state between requests.
//
// Traces go to the table module's handle ("<Table>").
//
// Thread-safety: none; the agent's owning thread uses a reader.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "framework/ModuleTypes.h"
#include "framework/TableInfo.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Trace.h"
#include "readers/InstanceReadResult.h"
#include "readers/ProcessReadDmaComplete.h"

namespace Readers {

template <class Table, class Family>
class ReaderCore : public Family {
 public:
  using Desc = typename Table::Model::Desc;
  using EntryKey = typename Table::EntryKey;
  using Entry = typename Table::Entry;
  using TableDescriptor = typename Table::TableDescriptor;
  using HwInstanceReadResult = InstanceReadResult<Table>;

  static constexpr bool kIsRegister = Desc::info.isRegister();

  ReaderCore(Tessar::HwTableKey const& hwTableKey,
             Vorl::Ptr<Tessar::ReadTableManager> const& readTableManager)
      : Family(hwTableKey, readTableManager) {
    if (!readTableManager) {
      throw Vorl::RangeException(
          fmt::format("a reader of {} needs a read-table manager", Desc::info.className));
    }
    handleInitialized();
  }

  // (Re)builds the reader's description.
  void handleInitialized() {
    VORL_TRACE(trace(), 8, " hwTableKey: {}", this->hwTableKey());
    bcmGroupAddrInfo = Vorl::makePtr<TableDescriptor>();
  }

  Vorl::TypeDescriptor typeData() const override {
    return {&Desc::tyvoModule(), Framework::ModuleTypes::reader(kIsRegister)};
  }

  Tessar::InstanceId minInstanceId() const override {
    auto const& instances = member()->instances;
    return instances.empty() ? 0 : instances.begin()->first;
  }
  Tessar::InstanceId maxInstanceId() const override {
    auto count = static_cast<Tessar::InstanceId>(member()->instances.size());
    return minInstanceId() + (count == 0 ? 0 : count - 1);
  }

  Vorl::Ptr<Pelcar::SchanCmds> tableReadSchanCmds(
      Vorl::Ptr<Tessar::HwReadRequestParameterBase const> const& request,
      Vorl::Ptr<Tessar::HwTableReadResultContainer> const& resultContainer) override {
    using Tessar::HwReadRequestType;
    if (!request) throw Vorl::RangeException("read request is null");
    if (!resultContainer) throw Vorl::RangeException("read request without a result container");
    auto key = request->inHwShadowKey;
    VORL_TRACE(trace(), 8, " fapId : {} instanceId {}", key.fapId(), key.instanceId());
    auto type = request->requestType;
    if (type == HwReadRequestType::fullTableRead) {
      if constexpr (kIsRegister) {
        VORL_TRACE(trace(), 3, " Processing Register Read Request");
        return this->regReadSchanCmds(key, true, 0, resultContainer);
      } else {
        VORL_TRACE(trace(), 3, " Processing Direct Table Read Request");
        return this->directReadSchanCmds(key, true, 0, resultContainer);
      }
    }
    if (type == HwReadRequestType::entryIndexRead) {
      if constexpr (kIsRegister) {
        auto const& entryRequest = requestAs<Tessar::HwEntryIndexReadRequest>(*request);
        VORL_TRACE(trace(), 3, " Processing Register Entry Read Request for index: {}",
                   entryRequest.entryIndex);
        return this->regReadSchanCmds(key, false, entryRequest.entryIndex, resultContainer);
      } else {
        VORL_TRACE(trace(), 3, " request: {} not implemented yet", type);
        return Pelcar::schanCmdsFactory();
      }
    }
    if constexpr (!kIsRegister) {
      if (type == HwReadRequestType::arrayIndexRead) {
        auto const& arrayRequest = requestAs<Tessar::HwTableArrayIndexRead>(*request);
        VORL_TRACE(trace(), 3, " Processing Direct Table Array Read Request arrayIndex: {}",
                   arrayRequest.arrayIndex);
        return this->directReadSchanCmds(key, false, arrayRequest.arrayIndex, resultContainer);
      }
    }
    VORL_TRACE(trace(), 3, "Invalid request type: {} not handled", type);
    return Pelcar::schanCmdsFactory();
  }

  // The reader's description; null only while it is being built.
  Vorl::Ptr<TableDescriptor> bcmGroupAddrInfo;

 protected:
  static Vorl::TraceHandle& trace() {
    static Vorl::TraceHandle& handle = Vorl::traceHandle(Desc::info.className);
    return handle;
  }

  // The member every read reads: the first of the description.
  Vorl::Ptr<Tessar::BcmRegMemInfo const> member() const {
    return bcmGroupAddrInfo ? bcmGroupAddrInfo->firstMember() : nullptr;
  }

  // The reader's FAP mask, narrowed to the key's FAP unless that is 128 (every FAP).
  Pelcar::Fapmask selectedFaps(Tessar::HwShadowKey key) const {
    auto mask = this->fapmask();
    if (key.fapId() != Tessar::HwShadowKey::kAllFaps) {
      Pelcar::Fapmask only;
      only.fapIdIs(Pelcar::FapId(key.fapId()), true);
      mask &= only;
    }
    return mask;
  }

  // Whether a completion is one of this family's commands; traces when it is not.
  template <class Cmdlet>
  static Cmdlet const* completionAs(Vorl::Ptr<Pelcar::SchanCmd const> const& cmd) {
    VORL_TRACE(trace(), 8, "");
    auto const* cmdlet = dynamic_cast<Cmdlet const*>(cmd.get());
    if (!cmdlet) VORL_TRACE(trace(), 8, " Ignoring cmd post processing");
    return cmdlet;
  }

 private:
  template <class Request>
  static Request const& requestAs(Tessar::HwReadRequestParameterBase const& request) {
    auto const* typed = dynamic_cast<Request const*>(&request);
    if (!typed) {
      throw Vorl::RangeException(fmt::format("a {} request of the wrong class", request.requestType));
    }
    return *typed;
  }
};

template <class Table>
class RegisterReader : public ReaderCore<Table, Tessar::RegisterReaderBase> {
  using Core = ReaderCore<Table, Tessar::RegisterReaderBase>;

 public:
  using typename Core::Entry;
  using typename Core::EntryKey;
  using typename Core::HwInstanceReadResult;
  using Core::Core;

  Vorl::Ptr<Pelcar::SchanCmds> regReadSchanCmds(
      Tessar::HwShadowKey inHwShadowKey, bool fullTable, U32 entryIndex,
      Vorl::Ptr<Tessar::HwTableReadResultContainer> const& resultContainer) override {
    VORL_TRACE(Core::trace(), 8, " inHwShadowKey {} fullTable {} entryIndex {}", inHwShadowKey,
               fullTable, entryIndex);
    auto mask = this->selectedFaps(inHwShadowKey);
    return this->regReadSchanCmdsWorker(mask, inHwShadowKey.instanceId(), fullTable, entryIndex,
                                        resultContainer, this->member(),
                                        this->readTableManager()->sandCmdletRequiredStatus());
  }

  // Stores the register's reply under its entry index, unless it is all zero.
  void processReadComplete(Vorl::Ptr<Pelcar::SchanCmd const> const& cmd) override {
    auto const* read = Core::template completionAs<Tessar::GenericRegReadCmdlet>(cmd);
    if (!read) return;
    if (!read->readInfo || !read->resultContainer) {
      throw Vorl::RangeException("register read completion without its description or result container");
    }
    auto const& info = *read->readInfo;
    auto result = handOffResult<HwInstanceReadResult>(
        *read->resultContainer, Tessar::HwShadowKey::of(info.fapId, info.instanceId),
        info.fapRevision);
    Entry entry{EntryKey(info.entryIndex)};
    constexpr U32 n = Entry::entrySize();
    if (read->replyData.size() < n) {
      throw Vorl::RangeException(fmt::format("register read reply of {} bytes for a {}-byte register",
                                             read->replyData.size(), n));
    }
    std::memcpy(entry.dataBytes(), read->replyData.data(), n);
    if (std::all_of(entry.dataBytes(), entry.dataBytes() + n, [](U8 byte) { return byte == 0; })) {
      VORL_TRACE(Core::trace(), 3, "Empty entry in register");
      return;
    }
    result->entryIs(entry);
  }
};

template <class Table>
class MemoryReader : public ReaderCore<Table, Tessar::DirectTableReaderBase> {
  using Core = ReaderCore<Table, Tessar::DirectTableReaderBase>;

 public:
  using typename Core::Entry;
  using typename Core::EntryKey;
  using typename Core::HwInstanceReadResult;
  using Core::Core;

  static constexpr bool kIsArray = Core::Desc::info.key.form == Framework::KeyForm::arrayAndIndex;

  Vorl::Ptr<Pelcar::SchanCmds> directReadSchanCmds(
      Tessar::HwShadowKey inHwShadowKey, bool allArrayIndices, U8 arrayIndex,
      Vorl::Ptr<Tessar::HwTableReadResultContainer> const& resultContainer) override {
    VORL_TRACE(Core::trace(), 8, " inHwShadowKey : {} allArrayIndices {} arrayIndex: {}",
               inHwShadowKey, allArrayIndices, arrayIndex);
    auto mask = this->selectedFaps(inHwShadowKey);
    auto const& manager = this->readTableManager();
    return this->directReadSchanCmdsWorker(mask, inHwShadowKey.instanceId(), allArrayIndices,
                                           arrayIndex, resultContainer,
                                           manager->dmaMemPoolManager(), this->member(),
                                           manager->sandCmdletRequiredStatus());
  }

  void processReadComplete(Vorl::Ptr<Pelcar::SchanCmd const> const& cmd) override {
    auto const* read = Core::template completionAs<Tessar::GenericBulkReadCmdlet>(cmd);
    if (!read) return;
    auto numFilled =
        Tessar::processReadDmaComplete<HwInstanceReadResult, EntryKey, Entry, kIsArray>(
            read->readInfo, read->resultContainer);
    VORL_TRACE(Core::trace(), 3, " numFilled = {}", numFilled);
  }
};

template <class Table>
using TableReaderFor = std::conditional_t<Table::Model::Desc::info.isRegister(),
                                          RegisterReader<Table>, MemoryReader<Table>>;

}  // namespace Readers
