#include "platform/tessar/TableManager.h"

#include "platform/tessar/HwTableBase.h"

namespace Tessar {
namespace {

Pelcar::Fapmask maskOfKey(HwShadowKey key) {
  Pelcar::Fapmask mask;
  mask.fapIdIs(Pelcar::FapId(key.fapId()), true);
  return mask;
}

}  // namespace

TableManager::TableManager()
    : sandStatus_(Vorl::makePtr<Hardware::Sand::Status>()),
      cmdletStatus_(Vorl::makePtr<Hardware::Sand::SandCmdletRequiredStatus>()),
      regStorage_(Vorl::makePtr<RegShadowEntryStorage>()) {}

TableManager::~TableManager() = default;

Vorl::Ptr<HwCommonTableBase> TableManager::tableColl(HwTableKey const& key) const {
  auto found = tables_.find(key);
  return found == tables_.end() ? nullptr : found->second;
}

void TableManager::tableCollIs(HwTableKey const& key, Vorl::Ptr<HwCommonTableBase> const& table) {
  tables_[key] = table;
}

void TableManager::tableCollDel(HwTableKey const& key) {
  // Move the table out first: its destructor may run and must not see a half-erased map.
  Vorl::Ptr<HwCommonTableBase> table;
  if (auto found = tables_.find(key); found != tables_.end()) {
    table = found->second;
    tables_.erase(found);
  }
}

void TableManager::tableCollDelAll() {
  auto tables = std::move(tables_);
  tables_.clear();
}

Vorl::Ptr<Ordex::EntityManager> TableManager::entityManager() const {
  if (!entityManager_) entityManager_ = Vorl::makePtr<Ordex::EntityManager>();
  return entityManager_;
}

Pelcar::Fapmask TableManager::fapmask(HwShadowKey key) const {
  auto found = fapmasks_.find(key);
  return found == fapmasks_.end() ? maskOfKey(key) : found->second;
}

HwTableShadowInfo const* TableManager::hwTableShadowInfo(HwTableKey const& key) const {
  auto found = shadowInfos_.find(key);
  return found == shadowInfos_.end() ? nullptr : &found->second;
}

void TableManager::hwTableShadowInfoDel(HwTableKey const& key, HwCommonTableBase const* table) {
  auto found = shadowInfos_.find(key);
  if (found != shadowInfos_.end() && found->second.table == table) shadowInfos_.erase(found);
}

Pelcar::Fapmask TableManager::servedFapmask(HwShadowKey key) const {
  auto found = served_.find(key);
  return found == served_.end() ? maskOfKey(key) : found->second;
}

}  // namespace Tessar
