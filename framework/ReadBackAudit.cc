#include "framework/ReadBackAudit.h"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "framework/TableRegistry.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/vorl/Exceptions.h"

namespace Framework {
namespace {

std::string hexOrNone(std::optional<std::vector<U8>> const& bytes) {
  if (!bytes) return "nothing";
  return Pelcar::hexBytes(bytes->data(), bytes->size());
}

}  // namespace

bool allZero(std::vector<U8> const& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](U8 byte) { return byte == 0; });
}

std::string AuditDifference::toString() const {
  auto where = fields.empty() ? std::string("; no field covers the bits that differ")
                              : fmt::format("; fields: {}", fmt::join(fields, ", "));
  return fmt::format("FAP {} {} {}: expected {}, read {} ({}{})", fapId, table, key,
                     hexOrNone(expected), hexOrNone(read), member, where);
}

Vorl::Ptr<Pelcar::SchanCmds> memberReadCmds(
    Tessar::HwTableReaderBase& reader, Tessar::HwShadowKey readKey,
    Vorl::Ptr<Tessar::BcmRegMemInfo const> const& member, bool isFirstMember,
    Vorl::Ptr<Tessar::HwTableReadResultContainer> const& container) {
  if (isFirstMember) {
    return reader.tableReadSchanCmds(Vorl::makePtr<Tessar::HwReadRequestParameterBase>(
                                         readKey, Tessar::HwReadRequestType::fullTableRead),
                                     container);
  }
  Pelcar::Fapmask only;
  only.fapIdIs(Pelcar::FapId(readKey.fapId()), true);
  auto const& manager = reader.readTableManager();
  if (auto* registers = dynamic_cast<Tessar::RegisterReaderBase*>(&reader)) {
    return registers->regReadSchanCmdsWorker(only, readKey.instanceId(), true, 0, container, member,
                                             manager->sandCmdletRequiredStatus());
  }
  if (auto* memories = dynamic_cast<Tessar::DirectTableReaderBase*>(&reader)) {
    return memories->directReadSchanCmdsWorker(only, readKey.instanceId(), true, 0, container,
                                               manager->dmaMemPoolManager(), member,
                                               manager->sandCmdletRequiredStatus());
  }
  throw Vorl::RangeException(
      fmt::format("the reader of {} cannot read another member", reader.hwTableKey().tableName));
}

std::vector<TableAudit> auditReadBack(Tessar::TableManager const& tables,
                                      Vorl::Ptr<Tessar::ReadTableManager> const& readTableManager,
                                      SendReads const& sendReads, AuditScope const& scope) {
  bool everyTable = scope.table.empty() || scope.table == "all";
  auto const& registry = Framework::TableRegistry::singleton();
  if (!everyTable && !registry.table(scope.table)) {
    throw Vorl::RangeException(fmt::format("unknown table: {}", scope.table));
  }
  if (!readTableManager) throw Vorl::RangeException("an audit needs a read-table manager");
  if (!sendReads) throw Vorl::RangeException("an audit needs a command path to send reads");

  struct Planned {
    Vorl::Ptr<Tessar::HwCommonShadowTableBase> table;
    Vorl::Ptr<Tessar::HwTableReaderBase> reader;
    TableAuditor audit;
    std::string name;
  };
  std::vector<Planned> plan;
  auto const& context = Tessar::HwTableHolderContext::singleton();
  for (auto const& [key, held] : tables.tables()) {
    if (!everyTable && key.tableName != scope.table) continue;
    auto table = Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(held);
    if (!table) continue;
    auto record = registry.table(key.tableName);
    auto audit = record ? record->audit : nullptr;
    auto factory = context.hwReaderFactory(key);
    if (!audit || !factory) {
      throw Vorl::RangeException(fmt::format("no reader registered for {} on revision {}",
                                             key.tableName, key.fapRevision.revString()));
    }
    plan.push_back({table, factory(key.fapRevision, readTableManager), audit, key.tableName});
  }
  if (!everyTable && plan.empty()) {
    throw Vorl::RangeException(fmt::format("the agent holds no table {}", scope.table));
  }

  std::vector<TableAudit> audits;
  for (auto const& planned : plan) {
    TableAudit audit;
    audit.table = planned.name;
    planned.audit(*planned.table, planned.reader, sendReads, scope.fapId, audit);
    audits.push_back(std::move(audit));
  }
  return audits;
}

}  // namespace Framework
