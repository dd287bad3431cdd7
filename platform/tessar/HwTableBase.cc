#include "platform/tessar/HwTableBase.h"

#include "platform/asic/Assert.h"

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

bool HwCommonShadowTableBase::hwShadowCollHas(HwShadowKey hwShadowKey) const {
  return shadows_.contains(hwShadowKey);
}

Vorl::Ptr<HwShadowBase> HwCommonShadowTableBase::hwShadowColl(HwShadowKey hwShadowKey) const {
  auto found = shadows_.find(hwShadowKey);
  return found == shadows_.end() ? nullptr : found->second;
}

void HwCommonShadowTableBase::hwShadowCollIs(HwShadowKey hwShadowKey,
                                             Vorl::Ptr<HwShadowBase> const& shadow) {
  shadows_[hwShadowKey] = shadow;
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
  if (auto found = shadows_.find(hwShadowKey); found != shadows_.end()) {
    shadow = found->second;
    shadows_.erase(found);
  }
}

Vorl::String HwCommonShadowTableBase::shadowName(HwShadowKey hwShadowKey) const {
  auto found = shadows_.find(hwShadowKey);
  if (found != shadows_.end()) return found->second->name();
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
