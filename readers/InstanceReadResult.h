// What a reader read back for one shadow key: the table's entries by key.
//
// Only entries that were read and not all zero are held; an entry read twice keeps
// the later value. The agent owns results through its result container.
#pragma once

#include <map>
#include <optional>

#include <fmt/format.h>

#include "framework/ModuleTypes.h"
#include "platform/tessar/ReadResult.h"
#include "platform/vorl/Exceptions.h"

namespace Readers {

template <class Table>
class InstanceReadResult : public Tessar::HwInstanceReadResultBase {
 public:
  using EntryKey = typename Table::EntryKey;
  using Entry = typename Table::Entry;

  using HwInstanceReadResultBase::HwInstanceReadResultBase;

  Vorl::TypeDescriptor typeData() const override {
    constexpr bool isRegister = Table::Model::Desc::info.isRegister();
    return {&Table::Model::Desc::tyvoModule(), Framework::ModuleTypes::readResult(isRegister)};
  }

  static Vorl::Ptr<InstanceReadResult> HwInstanceReadResultIs(
      Tessar::HwShadowKey hwShadowKey, Hardware::Sand::FapRevision const& fapRevision) {
    return Vorl::makePtr<InstanceReadResult>(hwShadowKey, fapRevision);
  }

  // Stores the entry under its own key, replacing what was stored there.
  void entryIs(Entry const& entry) { entry_.insert_or_assign(entry.entryKey(), entry); }
  // Removes and returns the entry of that key; a default entry (the key type's
  // default key, all data zero) when none is stored.
  Entry entryDel(EntryKey const& key) {
    auto found = entry_.find(key);
    if (found == entry_.end()) return Entry{};
    Entry removed = found->second;
    entry_.erase(found);
    return removed;
  }
  void entryDelAll() { entry_.clear(); }

  // The entry stored under that key, or nothing.
  std::optional<Entry> entry(EntryKey const& key) const {
    auto found = entry_.find(key);
    if (found == entry_.end()) return std::nullopt;
    return found->second;
  }
  // Every stored entry, in key order.
  std::map<EntryKey, Entry> const& entries() const { return entry_; }

  void forEachEntryData(EntryVisitor const& visit) const override {
    for (auto const& [key, entry] : entry_) {
      visit(key.arrayIndex(), key.entryIndex(), entry.dataBytes(), Entry::entrySize());
    }
  }

 private:
  std::map<EntryKey, Entry> entry_;
};

// The result for `hwShadowKey` in `container`: the one it holds, or a new, empty
// one added to it. A result of another table under that key is refused.
template <class Result>
Vorl::Ptr<Result> handOffResult(Tessar::HwTableReadResultContainer& container,
                                Tessar::HwShadowKey hwShadowKey,
                                Hardware::Sand::FapRevision const& fapRevision) {
  if (!container.perInstanceReadResult(hwShadowKey)) {
    container.perInstanceReadResultIs(Result::HwInstanceReadResultIs(hwShadowKey, fapRevision));
  }
  auto result = Vorl::ptrCast<Result>(container.perInstanceReadResult(hwShadowKey));
  if (!result) {
    throw Vorl::RangeException(fmt::format(
        "the result container holds another table's result for shadow key {}", hwShadowKey));
  }
  return result;
}

}  // namespace Readers
