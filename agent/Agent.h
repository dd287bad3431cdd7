// One agent running one chip: HwAgent::Agent owns everything an agent needs to keep
// a chip's tables, from bring-up to teardown.
//
// It owns the table manager (with the register record store, the DMA pool and the
// entity manager of the store root), the read-table manager (the same DMA pool), the
// command path to the chip (ChipLink.h), and every table the loaded plug-ins
// registered, each with one shadow per FAP:
//
//   bring-up (constructor)  every table through its registered factory, one shadow
//                           per FAP. Cold: every memory shadow starts empty and gets
//                           its start-up rows. Warm (Options::warm): a memory shadow
//                           whose store a writer now gone left valid takes it over,
//                           entries and all (its desired state); any other store is
//                           emptied and starts from the start-up rows, and the
//                           bring-up report says which and why. Registers, whose
//                           shadows live in this process, always start from their
//                           start-up contents. Nothing is sent to the chip yet.
//   download                whole tables to the chip (DMA bulk writes for memories)
//   audit                   read tables back through their readers and compare
//   reconcile               read back, compare by key with the shadows, write only the
//                           rows that differ, read those back again (Reconcile.h)
//   send                    any write commands (one entry's, a clear's)
//   teardown (destructor)   every memory shadow detaches from its store, which keeps
//                           its entries for a successor (after an upgrade as after a
//                           crash); then the tables are let go, breaking the cycle
//                           between the table manager and its tables. Nothing empties
//                           a store here: deleting a shadow or table on purpose does.
//
// A bring-up that fails releases what it made the same way: a store taken over is
// never emptied because the agent could not start.
//
// Errors are HwAgent::Error, of the kind a front-end maps (Error.h).
//
// Thread-safety: none; one thread drives an agent.
#pragma once

#include "platform/plugin/Export.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/ChipFault.h"
#include "agent/ChipLink.h"
#include "agent/Error.h"
#include "agent/Options.h"
#include "agent/Reports.h"
#include "framework/ReadBackAudit.h"
#include "platform/dma/DmaMemPool.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/ReadTableManager.h"
#include "platform/tessar/TableManager.h"

namespace HwAgent {

class HWTABLES_API Agent {
 public:
  // Brings the tables up on the chip the options name. Throws Error.
  explicit Agent(Options options);
  // The same on the given command path (a test's or a benchmark's shared chip).
  Agent(Options options, std::unique_ptr<ChipLink> chip);
  ~Agent();
  Agent(Agent const&) = delete;
  Agent& operator=(Agent const&) = delete;

  Options const& options() const { return options_; }
  std::string const& storeRoot() const { return storeRoot_; }
  Pelcar::Fapmask const& fapmask() const { return fapmask_; }
  BringUpReport const& bringUp() const { return bringUp_; }

  // Every table, in the order the plug-ins registered them.
  std::vector<Vorl::Ptr<Tessar::HwCommonShadowTableBase>> const& tables() const { return tables_; }
  // The table of that class name; null when the agent holds none.
  Vorl::Ptr<Tessar::HwCommonShadowTableBase> table(std::string_view name) const;
  // The tables a request names: one by name, or every table for "all" (or empty).
  // Throws Error (badInput) for a table the agent does not hold.
  std::vector<Vorl::Ptr<Tessar::HwCommonShadowTableBase>> tablesNamed(std::string_view name) const;

  Tessar::TableManager& tableManager() { return *manager_; }
  Tessar::TableManager const& tableManager() const { return *manager_; }
  Vorl::Ptr<Tessar::ReadTableManager> const& readTableManager() const { return readers_; }
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> const& dmaPool() const { return pool_; }
  // New DMA buffers for downloads and reads, for every shadow and reader. Throws
  // Error (badInput) for a size outside 1 byte .. 64 MiB.
  void dmaBufferIs(U32 bytes);
  ChipLink& chip() { return *chip_; }
  // The FAP type text downloads are traced with.
  std::string const& fapType() const { return fapType_; }

  // Sends write commands to the chip (for `table`, to name it in failures; without
  // it, the table is found by the commands' member names); returns
  // how many were sent (the journal, when there is one, holds the list by then).
  // Throws ChipFault (ChipFault.h) naming every command the chip
  // did not complete; the others were written.
  std::size_t send(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table = {});
  // send() whose list may not be in the journal's file yet: for an operation that
  // sends many lists and flushes the journal once before it returns (a download, a
  // reconcile).
  std::size_t sendBeforeRecorded(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table);
  // Reads: completed commands go to their readers before this returns.
  void read(Vorl::Ptr<Pelcar::SchanCmds> const& cmds);
  // Write commands the chip completed and read commands sent over the agent's life.
  std::uint64_t commandsSent() const { return commandsSent_; }
  std::uint64_t readCommandsSent() const { return readCommandsSent_; }

  // Downloads one table or all ("all" or empty), each table's commands sent as one list.
  // Commands the chip did not complete are in the report (DownloadReport::failures),
  // and the other tables are still downloaded.
  DownloadReport download(std::string_view table = {});
  // Reads the tables back and compares them with the shadows (one FAP, or all).
  std::vector<Framework::TableAudit> audit(Framework::AuditScope const& scope = {});
  // Brings the chip in line with the shadows, writing only what differs (Reconcile.h).
  ReconcileReport reconcile(Framework::AuditScope const& scope = {});

 private:
  void bringUpTables();
  // Records a list as the chip answered it, when the options name a journal.
  void journal(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table,
               Sim::WriteOutcome const* outcome);
  // Waits until the journal holds every list sent; Error (checkFailed) when it cannot.
  void flushJournal();
  void flushJournalQuietly() noexcept;
  static Error journalFailed(JournalError const& error);
  // The table that has a hardware member of that name; empty when none has.
  std::string tableOfMember(std::string_view member) const;
  void release() noexcept;

  Options options_;
  std::string storeRoot_;
  Pelcar::Fapmask fapmask_;
  std::string fapType_;
  Vorl::Ptr<Tessar::TableManager> manager_;
  Vorl::Ptr<Ombra::TableManager> mdbManager_;
  Vorl::Ptr<Tessar::ReadTableManager> readers_;
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> pool_;
  std::unique_ptr<ChipLink> chip_;
  std::vector<Vorl::Ptr<Tessar::HwCommonShadowTableBase>> tables_;
  BringUpReport bringUp_;
  std::uint64_t commandsSent_ = 0;
  std::uint64_t readCommandsSent_ = 0;
};

}  // namespace HwAgent
