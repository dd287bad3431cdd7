// Table bases: what every hardware table object is, whatever its kind.
//
//   Vorl::Node
//     Pelcar::HwTableBase            a table the command library can address
//       HwCommonTableBase            name, table key, FAP revision, manager, statistics,
//                                    FAP mask of a shadow key (getFapmask)
//         HwCommonShadowTableBase    the shadow collection hwShadowColl and the
//                                    whole-table operations over it (download, clear,
//                                    delete a shadow)
//           HwDirectTableBase        direct tables (registers, memories): shadow kind,
//                                    group description, initialised flag, blocks
//
// A table is built by its factory with (name, table key, manager); the concrete
// accessor (Framework::RegisterTable, the memory accessor) adds the typed entry
// operations and creates shadows. The base's download(fapType, mask) asks every
// shadow, in key order, for its download commands and concatenates them; a shadow
// that serves none of the mask contributes nothing, and when no shadow contributes
// the result is null.
//
// Thread-safety: none; the agent's owning thread calls it. Ownership: the table owns
// its shadows and description and holds its manager (see TableManager on the cycle).
#pragma once

#include "platform/plugin/Export.h"

#include "platform/tyvo/TypeRuntime.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/hardware/FapRevision.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/GroupAddrInfo.h"
#include "platform/tessar/HwShadowBase.h"
#include "platform/tessar/HwTableStats.h"
#include "platform/tessar/Keys.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"
#include "platform/vorl/Types.h"

namespace Pelcar {

class HwTableBase : public Vorl::Node {};

}  // namespace Pelcar

namespace Tessar {

class HWTABLES_API HwCommonTableBase : public Pelcar::HwTableBase {
 public:
  HwCommonTableBase(Vorl::String name, HwTableKey hwTableKey,
                    Vorl::Ptr<TableManager> hwTableManager);

  Vorl::String const& name() const { return name_; }
  HwTableKey const& hwTableKey() const { return hwTableKey_; }
  Hardware::Sand::FapRevision const& fapRevision() const { return hwTableKey_.fapRevision; }
  Vorl::Ptr<TableManager> const& hwTableManager() const { return hwTableManager_; }
  HwTableStats const& stats() const { return stats_; }
  HwTableStats& stats() { return stats_; }

  // The mask that entry changes of that shadow are written to.
  Pelcar::Fapmask getFapmask(HwShadowKey hwShadowKey) const;

  // The table's full type name, e.g. "bcm88490_a0::EtppPhpMapFwdCodeHwReg".
  virtual Vorl::String typeName() const = 0;
  // The table's type as the type runtime knows it.
  virtual Vorl::TypeDescriptor typeData() const { return {}; }
  virtual std::size_t size() const = 0;
  virtual Vorl::Ptr<Pelcar::SchanCmds> download(Vorl::String const& fapType,
                                                Pelcar::Fapmask const& downloadFapmask) const = 0;
  virtual bool requiresEntryByEntryDeletion() const { return false; }
  virtual U32 entryDataMaxSize() const = 0;
  virtual U32 entryDataMaxSizeBits() const = 0;
  virtual bool hasParitySupport() const { return false; }
  virtual Vorl::Ptr<Pelcar::SchanCmds> clearShadow(HwShadowKey hwShadowKey) = 0;
  virtual void addShadow(HwShadowKey hwShadowKey) = 0;
  virtual void delShadow(HwShadowKey hwShadowKey) = 0;
  virtual void initShadow(HwShadowKey hwShadowKey) = 0;
  virtual Vorl::String shadowName(HwShadowKey hwShadowKey) const = 0;
  virtual Vorl::String chipName() const = 0;

 private:
  Vorl::String name_;
  HwTableKey hwTableKey_;
  Vorl::Ptr<TableManager> hwTableManager_;
  HwTableStats stats_;
};

class HWTABLES_API HwCommonShadowTableBase : public HwCommonTableBase {
 public:
  using HwCommonTableBase::HwCommonTableBase;
  ~HwCommonShadowTableBase() override;

  bool hwShadowCollHas(HwShadowKey hwShadowKey) const;
  // The shadow of that key, or null.
  Vorl::Ptr<HwShadowBase> hwShadowColl(HwShadowKey hwShadowKey) const;
  // The shadows in key order.
  using ShadowColl = std::vector<std::pair<HwShadowKey, Vorl::Ptr<HwShadowBase>>>;
  ShadowColl const& hwShadowColl() const { return shadows_; }
  void hwShadowCollIs(HwShadowKey hwShadowKey, Vorl::Ptr<HwShadowBase> const& shadow);

  std::size_t size() const override { return shadows_.size(); }
  Vorl::Ptr<Pelcar::SchanCmds> download(Vorl::String const& fapType,
                                        Pelcar::Fapmask const& downloadFapmask) const override;
  // Clears the shadow of that key for the key's FAP mask; an unknown key is the
  // shadow-collection graceful assertion.
  Vorl::Ptr<Pelcar::SchanCmds> clearShadow(HwShadowKey hwShadowKey) override;
  // Removes the shadow of that key (its records go with it); unknown keys are ignored.
  void delShadow(HwShadowKey hwShadowKey) override;
  // The shadow's name, or "<table name>:<key>" when there is no shadow for the key.
  Vorl::String shadowName(HwShadowKey hwShadowKey) const override;

 private:
  ShadowColl::const_iterator position(HwShadowKey hwShadowKey) const;
  ShadowColl::const_iterator found(HwShadowKey hwShadowKey) const;

  // A sorted array rather than a tree: every download walks all the shadows of every
  // table, and the walk over a tree's scattered nodes was a visible part of a
  // download's time; shadows are added and removed only at bring-up and teardown.
  ShadowColl shadows_;
};

class HWTABLES_API HwDirectTableBase : public HwCommonShadowTableBase {
 public:
  using HwCommonShadowTableBase::HwCommonShadowTableBase;

  ShadowType shadowType() const { return shadowType_; }
  void shadowTypeIs(ShadowType type) { shadowType_ = type; }
  // The two shadow attributes a direct table turns on at initialisation: its shadow
  // is kept in software, and writes are built from the shadow.
  bool shadowed() const { return shadowed_; }
  bool writesFromShadow() const { return writesFromShadow_; }
  void shadowAttributesIs(bool shadowed, bool writesFromShadow) {
    shadowed_ = shadowed;
    writesFromShadow_ = writesFromShadow;
  }
  // Hook for a table kind that adjusts the attributes above; nothing by default.
  virtual void overrideShadowAttributes() {}

  bool initialized() const { return initialized_; }
  void initializedIs(bool initialized) { initialized_ = initialized; }

  Vorl::Ptr<BcmGroupAddrInfo const> const& bcmGroupAddrInfo() const { return bcmGroupAddrInfo_; }
  void bcmGroupAddrInfoIs(Vorl::Ptr<BcmGroupAddrInfo const> const& info) {
    bcmGroupAddrInfo_ = info;
  }

  std::uint32_t tableBlocks() const { return tableBlocks_; }
  void tableBlocksIs(std::uint32_t block) { tableBlocks_ = block; }

  // Tells the table manager this table's shadow information (kind, attributes,
  // blocks, entry size), for a platform that tracks it; delHwTableShadowInfo
  // withdraws it. Both may run again: the information is replaced, or already gone.
  void addHwTableShadowInfo();
  void delHwTableShadowInfo();

 private:
  ShadowType shadowType_ = ShadowType::none;
  bool shadowed_ = false;
  bool writesFromShadow_ = false;
  bool initialized_ = false;
  std::uint32_t tableBlocks_ = 0;
  Vorl::Ptr<BcmGroupAddrInfo const> bcmGroupAddrInfo_;
};

}  // namespace Tessar
