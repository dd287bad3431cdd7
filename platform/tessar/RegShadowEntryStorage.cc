#include "platform/tessar/RegShadowEntryStorage.h"

namespace Tessar {
namespace {

bool ofShadow(RegisterShadowBrellEntryKey const& key,
              Hardware::Sand::FapRevision const& fapRevision, std::string_view shadowName,
              HwShadowKey hwShadowKey) {
  return key.fapRevision == fapRevision && key.name.view() == shadowName &&
         key.hwShadowKey == hwShadowKey.value();
}

}  // namespace

void RegShadowEntryStorage::entryCollIs(RegisterShadowBrellEntry const& record) {
  records_.insert_or_assign(record.key, record);
}

bool RegShadowEntryStorage::entryCollDel(RegisterShadowBrellEntryKey const& key) {
  return records_.erase(key) != 0;
}

RegisterShadowBrellEntry const* RegShadowEntryStorage::entryColl(
    RegisterShadowBrellEntryKey const& key) const {
  auto found = records_.find(key);
  return found == records_.end() ? nullptr : &found->second;
}

std::size_t RegShadowEntryStorage::collCleanup(Hardware::Sand::FapRevision const& fapRevision,
                                               std::string_view shadowName,
                                               HwShadowKey hwShadowKey) {
  return std::erase_if(records_, [&](auto const& item) {
    return ofShadow(item.first, fapRevision, shadowName, hwShadowKey);
  });
}

std::vector<RegisterShadowBrellEntry> RegShadowEntryStorage::shadowEntries(
    Hardware::Sand::FapRevision const& fapRevision, std::string_view shadowName,
    HwShadowKey hwShadowKey) const {
  std::vector<RegisterShadowBrellEntry> entries;
  for (auto const& [key, record] : records_) {
    if (ofShadow(key, fapRevision, shadowName, hwShadowKey)) entries.push_back(record);
  }
  return entries;
}

void RegShadowEntryStorage::doCorruptionDetected(Vorl::String const& message) {
  corruptionMessages_.push_back(message);
}

}  // namespace Tessar
