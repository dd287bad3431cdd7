#include "platform/tessar/HwTableBase.h"

#include "platform/asic/Assert.h"

#include <algorithm>
#include <utility>

namespace Tessar {

HwCommonTableBase::HwCommonTableBase(Vorl::String name, HwTableKey hwTableKey,
                                     Vorl::Ptr<TableManager> hwTableManager)
    : name_(std::move(name)),
      hwTableKey_(std::move(hwTableKey)),
      hwTableManager_(std::move(hwTableManager)) {
  if (!hwTableManager_) {
    throw Vorl::InvalidInitializeException("table " + name_ + " needs a table manager");
  }
}

Pelcar::Fapmask HwCommonTableBase::getFapmask(HwShadowKey hwShadowKey) const {
  return hwTableManager_->fapmask(hwShadowKey);
}

HwCommonShadowTableBase::~HwCommonShadowTableBase() {
  // Shadows go before the rest of the table; a shadow's cleanup never throws out.
  auto shadows = std::move(shadows_);
  shadows_.clear();
}

HwCommonShadowTableBase::ShadowColl::const_iterator HwCommonShadowTableBase::position(
    HwShadowKey hwShadowKey) const {
  return std::lower_bound(shadows_.begin(), shadows_.end(), hwShadowKey,
                          [](auto const& entry, HwShadowKey key) { return entry.first < key; });
}

HwCommonShadowTableBase::ShadowColl::const_iterator HwCommonShadowTableBase::found(
    HwShadowKey hwShadowKey) const {
  auto at = position(hwShadowKey);
  return at != shadows_.end() && at->first == hwShadowKey ? at : shadows_.end();
}

bool HwCommonShadowTableBase::hwShadowCollHas(HwShadowKey hwShadowKey) const {
  return found(hwShadowKey) != shadows_.end();
}

Vorl::Ptr<HwShadowBase> HwCommonShadowTableBase::hwShadowColl(HwShadowKey hwShadowKey) const {
  auto at = found(hwShadowKey);
  return at == shadows_.end() ? nullptr : at->second;
}

void HwCommonShadowTableBase::hwShadowCollIs(HwShadowKey hwShadowKey,
                                             Vorl::Ptr<HwShadowBase> const& shadow) {
  auto at = shadows_.begin() + (position(hwShadowKey) - shadows_.begin());
  if (at != shadows_.end() && at->first == hwShadowKey) {
    // The one it replaces goes once the collection no longer holds it.
    auto replaced = std::exchange(at->second, shadow);
    return;
  }
  shadows_.insert(at, {hwShadowKey, shadow});
}

Vorl::Ptr<Pelcar::SchanCmds> HwCommonShadowTableBase::download(
    Vorl::String const& fapType, Pelcar::Fapmask const& downloadFapmask) const {
  // One list for the table: every shadow appends to it.
  auto all = Pelcar::schanCmdsFactory();
  bool any = false;
  for (auto const& [key, shadow] : shadows_) {
    any = shadow->downloadInto(fapType, fapRevision(), downloadFapmask, *all) || any;
  }
  return any ? all : nullptr;
}

Vorl::Ptr<Pelcar::SchanCmds> HwCommonShadowTableBase::clearShadow(HwShadowKey hwShadowKey) {
  auto shadow = hwShadowColl(hwShadowKey);
  ASIC_GRACEFUL_ASSERT(shadow, "hwShadowCollHas( hwShadowKey )", "hwShadowKey {}{}", hwShadowKey,
                       " does not exist in the shadow collection");
  return shadow->clearShadow(fapRevision(), getFapmask(hwShadowKey));
}

void HwCommonShadowTableBase::delShadow(HwShadowKey hwShadowKey) {
  Vorl::Ptr<HwShadowBase> shadow;
  if (auto at = found(hwShadowKey); at != shadows_.end()) {
    shadow = at->second;
    shadows_.erase(at);
  }
}

Vorl::String HwCommonShadowTableBase::shadowName(HwShadowKey hwShadowKey) const {
  if (auto at = found(hwShadowKey); at != shadows_.end()) return at->second->name();
  return fmt::format("{}:{}", name(), hwShadowKey);
}

}  // namespace Tessar

namespace Tessar {

void HwDirectTableBase::addHwTableShadowInfo() {
  HwTableShadowInfo info;
  info.table = this;
  info.typeName = typeName();
  info.shadowType = shadowType_;
  info.shadowed = shadowed_;
  info.writesFromShadow = writesFromShadow_;
  info.tableBlocks = tableBlocks_;
  info.entrySize = entryDataMaxSize();
  hwTableManager()->hwTableShadowInfoIs(hwTableKey(), info);
}

void HwDirectTableBase::delHwTableShadowInfo() {
  hwTableManager()->hwTableShadowInfoDel(hwTableKey(), this);
}

}  // namespace Tessar
