// Shadow bases: the software copy of one table's contents for one shadow key.
//
// HwShadowBase keeps what every shadow has: its name, key, FAP revision, the table's
// group description, the chips' status objects, and the set of FAPs it serves.
// applicableFapmask() is the gating question of every write path: which part of a
// requested mask does this shadow serve (the intersection; empty = not applicable).
//
// DirectShadowBase adds the default entry (the data an absent entry stands for) and
// schanCmdsWorker(), the one command builder of direct tables: one write command per
// member of the group description and per instance the shadow covers, each to the
// given mask. The memory shadows build on it as the register shadows do.
//
// RegisterKeyBasedShadowBase keeps a register shadow's entries as records in the
// table manager's RegShadowEntryStorage: record keys, store, lookup, removal and
// cleanup. The write paths (single-entry build, download, clear) are the register
// accessor's (framework/RegisterShadow.h), which gate every one of them.
//
// How a shadow began (ShadowStart): from the table's start-up contents, or, in a
// warm start, with the entries a predecessor left in its store. A shadow whose store
// outlives the agent can detachStore(): the store keeps its entries for a successor,
// and the shadow's deletion no longer empties it. Shadows that keep their entries in
// the agent's memory (registers) have nothing to take over or leave behind.
//
// Trace handles of a register shadow: "const <table type>::Shadow" for reading,
// command building and downloads, "<table type>::Shadow" for changes.
//
// Thread-safety: none; the agent's owning thread calls it. Ownership: the table owns
// its shadows; a shadow holds its description, status objects and storage.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/tyvo/TypeRuntime.h"

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hardware/FapRevision.h"
#include "platform/hardware/Status.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/GroupAddrInfo.h"
#include "platform/tessar/Keys.h"
#include "platform/tessar/RegShadowEntryStorage.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"
#include "platform/vorl/Trace.h"
#include "platform/vorl/Types.h"

namespace Tessar {

// What a shadow's entries were when it was made.
struct HWTABLES_API ShadowStart {
  enum class Kind : std::uint8_t {
    startupContents,  // the table's start-up contents (a new shadow)
    takenOver,        // the entries its store held (a warm start)
  };
  Kind kind = Kind::startupContents;
  // Why a warm start did not take the store over; empty otherwise.
  std::string reason;
  // The entries taken over.
  std::size_t entries = 0;
};

class HWTABLES_API HwShadowBase : public Vorl::Node {
 public:
  // One stored entry as tools see it.
  struct EntryView {
    U8 arrayIndex = 0;
    U32 entryIndex = 0;
    std::vector<U8> data;
  };

  HwShadowBase(Vorl::String name, HwShadowKey hwShadowKey,
               Hardware::Sand::FapRevision const& fapRevision,
               Vorl::Ptr<BcmGroupAddrInfo const> bcmGroupAddrInfo,
               Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
               Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus);

  Vorl::String const& name() const { return name_; }
  HwShadowKey hwShadowKey() const { return hwShadowKey_; }
  Hardware::Sand::FapRevision const& fapRevision() const { return fapRevision_; }
  Vorl::Ptr<BcmGroupAddrInfo const> const& bcmGroupAddrInfo() const { return bcmGroupAddrInfo_; }
  Vorl::Ptr<Hardware::Sand::Status const> const& sandStatus() const { return sandStatus_; }
  Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> const& sandCmdletRequiredStatus()
      const {
    return sandCmdletRequiredStatus_;
  }

  // The FAPs this shadow serves; {FAP id of the key} until the table sets it.
  Pelcar::Fapmask const& servedFapmask() const { return servedFapmask_; }
  void servedFapmaskIs(Pelcar::Fapmask const& mask) { servedFapmask_ = mask; }
  // The part of `requested` this shadow serves; empty when it serves none of it.
  Pelcar::Fapmask applicableFapmask(Pelcar::Fapmask const& requested) const;

  // Commands that write default data to every entry, after which the shadow is empty.
  virtual Vorl::Ptr<Pelcar::SchanCmds> clearShadow(Hardware::Sand::FapRevision const& fapRevision,
                                                   Pelcar::Fapmask const& mask) = 0;
  // Commands that write every entry's data; null when no FAP of the mask is served.
  // Made by downloadInto, so the two cannot disagree.
  virtual Vorl::Ptr<Pelcar::SchanCmds> download(Vorl::String const& fapType,
                                                Hardware::Sand::FapRevision const& fapRevision,
                                                Pelcar::Fapmask const& downloadFapmask) const;
  // The same commands appended to `into`; false (and nothing appended) when no FAP of
  // the mask is served or the shadow writes nothing. A table's download collects its
  // shadows' commands this way, without a list per shadow. When it throws, `into` may
  // hold part of the shadow's commands: a caller drops it.
  virtual bool downloadInto(Vorl::String const& fapType,
                            Hardware::Sand::FapRevision const& fapRevision,
                            Pelcar::Fapmask const& downloadFapmask,
                            Pelcar::SchanCmds& into) const = 0;
  virtual U32 entrySize() const = 0;
  // The shadow's type as the type runtime knows it.
  virtual Vorl::TypeDescriptor typeData() const { return {}; }

  // The entries stored (not default), in key order.
  virtual std::vector<EntryView> storedEntries() const = 0;
  // The data the chip holds at that position once this shadow is downloaded.
  virtual std::vector<U8> expectedEntryData(U8 arrayIndex, U32 entryIndex) const = 0;
  // The same for every position of `member`, back to back (arrays, then rows, each
  // entrySize() bytes). A shadow whose entries live in a store makes it in one pass.
  virtual std::vector<U8> expectedRows(BcmRegMemInfo const& member) const;

  virtual ShadowStart start() const { return {}; }
  // Leaves the shadow's entries where they live for a successor, and stops using
  // them; nothing by default (entries in the agent's memory end with it).
  virtual void detachStore() {}

 private:
  Vorl::String name_;
  HwShadowKey hwShadowKey_;
  Hardware::Sand::FapRevision fapRevision_;
  Vorl::Ptr<BcmGroupAddrInfo const> bcmGroupAddrInfo_;
  Vorl::Ptr<Hardware::Sand::Status const> sandStatus_;
  Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus_;
  Pelcar::Fapmask servedFapmask_;
};

class HWTABLES_API DirectShadowBase : public HwShadowBase {
 public:
  using HwShadowBase::HwShadowBase;

  // The entry size of the description's first member.
  U32 entrySize() const override;

  // The default entry: entrySize() zero bytes, made by initDefaultEntry().
  void initDefaultEntry();
  void cleanupDefaultEntry() { defaultEntry_.clear(); }
  bool hasDefaultEntry() const { return !defaultEntry_.empty(); }
  U8 const* defaultEntry() const { return defaultEntry_.data(); }

  // A shadow is deleted once onDelete() released its default entry (and its
  // entries): it then builds no commands, and entry operations on it are refused.
  bool deleted() const { return defaultEntry_.empty(); }
  // The graceful assertion "shadow NAME has been deleted" when it is.
  void requireLive() const;

  // One write command per member of the description and per covered instance, to
  // `applicable`, putting `data` (entrySize() bytes) at that position. A position
  // outside a member's ranges throws Vorl::RangeException and builds nothing.
  Vorl::Ptr<Pelcar::SchanCmds> schanCmdsWorker(Pelcar::Fapmask const& applicable,
                                               Hardware::Sand::FapRevision const& fapRevision,
                                               U8 arrayIndex, U32 entryIndex, U8 const* data) const;
  // The same commands appended to `into`; throws as above and then appends nothing.
  void schanCmdsWorkerInto(Pelcar::Fapmask const& applicable,
                           Hardware::Sand::FapRevision const& fapRevision, U8 arrayIndex,
                           U32 entryIndex, U8 const* data, Pelcar::SchanCmds& into) const;

 protected:
  // Whether writes of this shadow go to that instance of a member; every instance
  // unless a shadow kind narrows it.
  virtual bool coversInstance(InstanceId) const { return true; }

 private:
  std::vector<U8> defaultEntry_;
};

class HWTABLES_API RegisterKeyBasedShadowBase : public DirectShadowBase {
 public:
  // Throws Vorl::RangeException when `name` is longer than a record can hold, and
  // Vorl::InvalidInitializeException for a description without members or with an
  // entry larger than a record; nothing is created then.
  RegisterKeyBasedShadowBase(
      Vorl::String name, HwShadowKey hwShadowKey, Hardware::Sand::FapRevision const& fapRevision,
      Vorl::Ptr<BcmGroupAddrInfo const> bcmGroupAddrInfo,
      Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
      Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus,
      Vorl::Ptr<RegShadowEntryStorage> entryStorage, Vorl::String hwTableName);
  ~RegisterKeyBasedShadowBase() override;

  Vorl::Ptr<RegShadowEntryStorage> const& entryStorage() const { return entryStorage_; }
  Vorl::String const& hwTableName() const { return hwTableName_; }
  bool isDeleting() const { return deleting_; }

  RegisterShadowBrellEntryKey recordKey(U8 arrayIndex, U32 entryIndex) const;

  // Removes every record of this shadow from the storage.
  void collCleanup();

  std::vector<EntryView> storedEntries() const override;
  std::vector<U8> expectedEntryData(U8 arrayIndex, U32 entryIndex) const override;

  // Releases the default entry and removes every record of this shadow; the shadow
  // is deleted afterwards (see deleted()). Run by the destructor; a second call does
  // nothing.
  virtual void onDelete();

 protected:
  // Stores `size` data bytes as the record of that entry (insert or replace).
  void recordIs(U32 entryIndex, U8 const* data, U32 size);
  // The record of that key, or null; damage reported by the storage goes to its
  // corruption handling and reads as "no record".
  RegisterShadowBrellEntry const* record(RegisterShadowBrellEntryKey const& key) const;
  // Removes the record of that key, if any.
  void recordDel(RegisterShadowBrellEntryKey const& key);

  Vorl::TraceHandle& constTrace() const { return constTrace_; }
  Vorl::TraceHandle& trace() const { return trace_; }

 private:
  ShadowName recordName_;
  Vorl::Ptr<RegShadowEntryStorage> entryStorage_;
  Vorl::String hwTableName_;
  Vorl::TraceHandle& constTrace_;
  Vorl::TraceHandle& trace_;
  bool deleting_ = false;
};

}  // namespace Tessar
