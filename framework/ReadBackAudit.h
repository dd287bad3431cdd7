// The read-back audit: reads tables back from the chip through their readers and
// compares what the chip holds with what the shadows say it should hold.
//
// For every table the table manager holds (or the one named), every shadow and
// every FAP it serves (or the one named), the audit asks the table's registered
// reader for a full read, has the agent's command path answer the commands
// (`SendReads`; on the simulated chip Sim::Chip::answer), and compares entry by
// entry. A reader reads one member of a table; a table written to more members (a
// register kept in two blocks) has its other members read with the same reader's
// command worker, so damage in any copy is found.
//
// A shadow entry whose data are all zero is expected to read back as absent:
// readers do not return all-zero entries. Each difference names the table, FAP,
// member, key, the expected and the read bytes (absent: none) and the fields whose
// bits differ.
//
// Bad input (an unknown table name, a table without a registered reader) throws
// Vorl::RangeException before anything is read.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/TableInfo.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "platform/tessar/ReadTableManager.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Types.h"

namespace Framework {

struct HWTABLES_API AuditDifference {
  std::string table;
  U32 fapId = 0;
  std::string member;  // the hardware register or memory read
  U32 block = 0;
  U32 address = 0;
  U8 arrayIndex = 0;
  U32 entryIndex = 0;
  std::string key;  // the entry key's text, e.g. "{arrayIndex=2 entryIndex=5}"
  std::optional<std::vector<U8>> expected;  // none: the shadow expects no entry
  std::optional<std::vector<U8>> read;      // none: nothing was read back
  std::vector<std::string> fields;          // fields whose bits differ

  // "FAP 0 IppaBsplProfileTblHwDirect {arrayIndex=2 entryIndex=5}: expected 21000000, read
  // 21010000 (ippaBsplProfileTable; fields: plusOneMplsSpecialLabelProfile)"
  std::string toString() const;
};

struct HWTABLES_API TableAudit {
  std::string table;
  std::size_t shadows = 0;
  std::size_t readCommands = 0;
  std::size_t entriesRead = 0;  // entries the reads returned, over every FAP and member
  std::vector<AuditDifference> differences;
};

// The agent's command path for read commands: sends them and has every completion
// handed to its reader before it returns.
using SendReads = std::function<void(Vorl::Ptr<Pelcar::SchanCmds> const&)>;

struct HWTABLES_API AuditScope {
  std::string table;         // empty or "all": every table the manager holds
  std::optional<U32> fapId;  // none: every FAP
};

// Whether every byte is zero: an entry the readers do not return, so the audit
// expects none (readers/TableAudit.h). Which fields differ: framework/FieldValues.h.
HWTABLES_API bool allZero(std::vector<U8> const& bytes);

// The read commands of one member of a table on the FAP and instance of `readKey`,
// completing into `container`: the reader's own full-table read for its first
// member, the reader family's command worker for another member (a register kept
// in two blocks).
HWTABLES_API Vorl::Ptr<Pelcar::SchanCmds> memberReadCmds(
    Tessar::HwTableReaderBase& reader, Tessar::HwShadowKey readKey,
    Vorl::Ptr<Tessar::BcmRegMemInfo const> const& member, bool isFirstMember,
    Vorl::Ptr<Tessar::HwTableReadResultContainer> const& container);

// One table's audit, as each table registers it: every shadow of `table` and every FAP
// it serves (or `fapId`), read back with `reader`.
using TableAuditor = void (*)(Tessar::HwCommonShadowTableBase const& table,
                              Vorl::Ptr<Tessar::HwTableReaderBase> const& reader,
                              SendReads const& sendReads, std::optional<U32> fapId,
                              TableAudit& audit);

// One TableAudit per table audited, in table-name order.
HWTABLES_API std::vector<TableAudit> auditReadBack(
    Tessar::TableManager const& tables, Vorl::Ptr<Tessar::ReadTableManager> const& readTableManager,
    SendReads const& sendReads, AuditScope const& scope = {});

}  // namespace Framework
