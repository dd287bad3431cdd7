// One table's part of the read-back audit (framework/ReadBackAudit.h): reads the
// table back through its reader, member by member, and compares entry by entry with
// what its shadows expect. Each table module registers auditTable<Table, Reader> with
// the table registry; the audit's driver, on the agent's side, calls it by name.
#pragma once

#include <map>
#include <set>

#include <fmt/format.h>

#include "framework/FieldValues.h"
#include "framework/ReadBackAudit.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/vorl/Exceptions.h"

namespace Readers {

// Reads one member of one table on one FAP and compares it with the shadow.
template <class Table, class Reader>
void auditMember(Reader& reader, Tessar::HwShadowBase const& shadow, Tessar::HwShadowKey readKey,
                 Vorl::Ptr<Tessar::BcmRegMemInfo const> const& memberPtr, bool isFirstMember,
                 Framework::SendReads const& sendReads, Framework::TableAudit& audit) {
  using EntryKey = typename Table::EntryKey;
  auto const& info = Table::Model::Desc::info;
  auto const& member = *memberPtr;
  auto container = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  auto cmds = Framework::memberReadCmds(reader, readKey, memberPtr, isFirstMember, container);
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
      if (Framework::allZero(bytes)) continue;
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
    Framework::AuditDifference difference;
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
    difference.fields = Framework::differingFields(info, hasWanted ? wanted->second : zeros,
                                                   hasGot ? got->second : zeros);
    audit.differences.push_back(std::move(difference));
  }
}

template <class Table, class Reader>
void auditTable(Tessar::HwCommonShadowTableBase const& table,
                Vorl::Ptr<Tessar::HwTableReaderBase> const& readerBase,
                Framework::SendReads const& sendReads, std::optional<U32> fapId,
                Framework::TableAudit& audit) {
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
        auditMember<Table>(*reader, *shadow, readKey, member, member == description.firstMember(),
                           sendReads, audit);
      }
    }
  }
}

}  // namespace Readers
