#include "readers/ReadBackAudit.h"

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "framework/BitCopy.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/vorl/Exceptions.h"
#include "readers/AllReaders.h"
#include "tables/AllTables.h"
#include "tables/Catalogue.h"

namespace Readers {
namespace {

bool allZero(std::vector<U8> const& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](U8 byte) { return byte == 0; });
}

std::vector<U8> bitsAt(Framework::TableInfo const& info, std::vector<U8> const& bytes, U32 offset,
                       U32 width) {
  std::vector<U8> bits((width + 7) / 8, 0);
  Framework::copyBits(bits.data(), bits.size(), bytes.data(), info.entryBytes, width, 0, offset);
  return bits;
}

// The fields whose bits differ between two entries' data, in description order. A
// bitmap that spans other fields repeats what they say and is left out.
std::vector<std::string> differingFields(Framework::TableInfo const& info,
                                         std::vector<U8> const& left,
                                         std::vector<U8> const& right) {
  auto spansOthers = [&](Framework::FieldInfo const& field) {
    return std::any_of(info.fields.begin(), info.fields.end(), [&](auto const& other) {
      return &other != &field && other.offset >= field.offset &&
             other.offset + other.width * other.count <= field.offset + field.width;
    });
  };
  auto differ = [&](U32 offset, U32 width) {
    return bitsAt(info, left, offset, width) != bitsAt(info, right, offset, width);
  };
  std::vector<std::string> names;
  for (auto const& field : info.fields) {
    switch (field.kind) {
      case Framework::FieldKind::scalar:
        if (differ(field.offset, field.width)) names.emplace_back(field.name);
        break;
      case Framework::FieldKind::indexed:
        for (U32 index = 0; index < field.count; ++index) {
          if (differ(field.offset + index * field.stride, field.width)) {
            names.push_back(fmt::format("{}({})", field.name, index));
          }
        }
        break;
      case Framework::FieldKind::bitmap:
        if (!spansOthers(field) && differ(field.offset, field.width)) {
          names.emplace_back(field.name);
        }
        break;
    }
  }
  return names;
}

// Reads one member of one table on one FAP and compares it with the shadow.
template <class Table, class Reader>
void auditMember(Reader& reader, Tessar::HwShadowBase const& shadow, Tessar::HwShadowKey readKey,
                 Vorl::Ptr<Tessar::BcmRegMemInfo const> const& memberPtr, bool isFirstMember,
                 SendReads const& sendReads, TableAudit& audit) {
  using EntryKey = typename Table::EntryKey;
  auto const& info = Table::Model::Desc::info;
  auto const& member = *memberPtr;
  auto container = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  Vorl::Ptr<Pelcar::SchanCmds> cmds;
  if (isFirstMember) {
    cmds = reader.tableReadSchanCmds(
        Vorl::makePtr<Tessar::HwReadRequestParameterBase>(
            readKey, Tessar::HwReadRequestType::fullTableRead),
        container);
  } else {
    Pelcar::Fapmask only;
    only.fapIdIs(Pelcar::FapId(readKey.fapId()), true);
    auto const& manager = reader.readTableManager();
    if constexpr (Reader::kIsRegister) {
      cmds = reader.regReadSchanCmdsWorker(only, readKey.instanceId(), true, 0, container, memberPtr,
                                           manager->sandCmdletRequiredStatus());
    } else {
      cmds = reader.directReadSchanCmdsWorker(only, readKey.instanceId(), true, 0, container,
                                              manager->dmaMemPoolManager(), memberPtr,
                                              manager->sandCmdletRequiredStatus());
    }
  }
  audit.readCommands += cmds ? cmds->size() : 0;
  sendReads(cmds);

  std::map<EntryKey, std::vector<U8>> read;
  if (auto result = Vorl::ptrCast<typename Reader::HwInstanceReadResult>(
          container->perInstanceReadResult(readKey))) {
    for (auto const& [key, entry] : result->entries()) {
      read[key].assign(entry.dataBytes(), entry.dataBytes() + Table::Entry::entrySize());
    }
  }
  audit.entriesRead += read.size();

  std::map<EntryKey, std::vector<U8>> expected;
  for (U32 array = 0; array < member.arrayCount; ++array) {
    auto arrayIndex = static_cast<U8>(member.firstArrayIndex + array);
    for (U32 row = 0; row < member.entryCount; ++row) {
      U32 entryIndex = member.firstEntryIndex + row;
      auto bytes = shadow.expectedEntryData(arrayIndex, entryIndex);
      if (allZero(bytes)) continue;
      if constexpr (info.key.form == Framework::KeyForm::arrayAndIndex) {
        expected[EntryKey(arrayIndex, entryIndex)] = std::move(bytes);
      } else {
        expected[EntryKey(entryIndex)] = std::move(bytes);
      }
    }
  }

  std::set<EntryKey> keys;
  for (auto const& [key, bytes] : expected) keys.insert(key);
  for (auto const& [key, bytes] : read) keys.insert(key);
  auto const& instance = *member.instances.at(readKey.instanceId());
  for (auto const& key : keys) {
    auto wanted = expected.find(key);
    auto got = read.find(key);
    bool hasWanted = wanted != expected.end();
    bool hasGot = got != read.end();
    if (hasWanted && hasGot && wanted->second == got->second) continue;
    AuditDifference difference;
    difference.table = std::string(info.className);
    difference.fapId = readKey.fapId();
    difference.member = member.name;
    difference.block = instance.block;
    difference.address = instance.address;
    difference.arrayIndex = key.arrayIndex();
    difference.entryIndex = key.entryIndex();
    difference.key = fmt::format("{}", key);
    if (hasWanted) difference.expected = wanted->second;
    if (hasGot) difference.read = got->second;
    std::vector<U8> zeros(info.entryBytes, 0);
    difference.fields = differingFields(info, hasWanted ? wanted->second : zeros,
                                        hasGot ? got->second : zeros);
    audit.differences.push_back(std::move(difference));
  }
}

template <class Table, class Reader>
void auditTable(Tessar::HwCommonShadowTableBase const& table,
                Vorl::Ptr<Tessar::HwTableReaderBase> const& readerBase, SendReads const& sendReads,
                std::optional<U32> fapId, TableAudit& audit) {
  auto reader = Vorl::ptrCast<Reader>(readerBase);
  if (!reader) {
    throw Vorl::RangeException(
        fmt::format("the reader registered for {} reads another table", Reader::tableName()));
  }
  auto const& description = *reader->bcmGroupAddrInfo;
  for (auto const& [shadowKey, shadow] : table.hwShadowColl()) {
    ++audit.shadows;
    for (auto fap : shadow->servedFapmask().fapIds()) {
      if (fapId && *fapId != fap.value) continue;
      auto readKey = Tessar::HwShadowKey::of(static_cast<U8>(fap.value), shadowKey.instanceId());
      for (auto const& [memoryId, member] : description.members()) {
        auditMember<Table>(*reader, *shadow, readKey, member,
                           member == description.firstMember(), sendReads, audit);
      }
    }
  }
}

using TableAuditor = void (*)(Tessar::HwCommonShadowTableBase const&,
                              Vorl::Ptr<Tessar::HwTableReaderBase> const&, SendReads const&,
                              std::optional<U32>, TableAudit&);

struct NamedAuditor {
  std::string_view className;
  TableAuditor audit;
};

#define HW_AUDITOR(Class) \
  NamedAuditor{#Class, &auditTable<bcm88490_a0::Class, bcm88490_a0::HwTable##Class##Reader>},
constexpr NamedAuditor kAuditors[] = {HW_FOR_EACH_TABLE(HW_AUDITOR)};
#undef HW_AUDITOR

TableAuditor auditorOf(std::string_view className) {
  for (auto const& auditor : kAuditors) {
    if (auditor.className == className) return auditor.audit;
  }
  return nullptr;
}

std::string hexOrNone(std::optional<std::vector<U8>> const& bytes) {
  if (!bytes) return "nothing";
  return Pelcar::hexBytes(bytes->data(), bytes->size());
}

}  // namespace

std::string AuditDifference::toString() const {
  auto where = fields.empty() ? std::string("; no field covers the bits that differ")
                              : fmt::format("; fields: {}", fmt::join(fields, ", "));
  return fmt::format("FAP {} {} {}: expected {}, read {} ({}{})", fapId, table, key,
                     hexOrNone(expected), hexOrNone(read), member, where);
}

std::vector<TableAudit> auditReadBack(Tessar::TableManager const& tables,
                                      Vorl::Ptr<Tessar::ReadTableManager> const& readTableManager,
                                      SendReads const& sendReads, AuditScope const& scope) {
  bool everyTable = scope.table.empty() || scope.table == "all";
  if (!everyTable && !bcm88490_a0::tableInfo(scope.table)) {
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
    auto audit = auditorOf(key.tableName);
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

}  // namespace Readers
