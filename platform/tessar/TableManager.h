// The agent's table manager for one set of chips: it holds the tables it has been
// given and supplies what tables need when they create shadows.
//
// What it supplies:
//   - the chips' status objects, passed to every shadow;
//   - the register record store (RegShadowEntryStorage) shared by all register shadows;
//   - for memory shadows, the DMA memory pool (none unless the agent gives one: whole
//     memory writes then go row by row) and the entity manager that mounts their
//     shared-memory stores (by default under $HWTABLES_ROOT or /dev/shm/hwtables);
//   - FAP masks: `fapmask(key)` is the mask that entry changes of a shadow are written
//     to (HwCommonTableBase::getFapmask), `servedFapmask(key)` the set of FAPs a new
//     shadow serves (HwShadowBase::applicableFapmask intersects with it). Both are
//     {FAP id of the key} unless configured otherwise.
//
// Ownership: the manager holds its tables (tableColl) and every table holds its
// manager, so the two keep each other alive until tableCollDelAll() breaks the
// cycle; the agent calls it when it lets the chips go.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include "platform/plugin/Export.h"

#include <map>

#include "platform/dma/DmaMemPool.h"
#include "platform/hardware/Status.h"
#include "platform/ordex/EntityManager.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/tessar/Keys.h"
#include "platform/tessar/RegShadowEntryStorage.h"
#include "platform/vorl/Ptr.h"

namespace Tessar {

class HwCommonTableBase;

class HWTABLES_API TableManager : public Vorl::Node {
 public:
  TableManager();
  ~TableManager() override;

  // The table held under `key`, or null.
  Vorl::Ptr<HwCommonTableBase> tableColl(HwTableKey const& key) const;
  void tableCollIs(HwTableKey const& key, Vorl::Ptr<HwCommonTableBase> const& table);
  void tableCollDel(HwTableKey const& key);
  // Drops every table (and with it the tables' references to this manager).
  void tableCollDelAll();
  std::map<HwTableKey, Vorl::Ptr<HwCommonTableBase>> const& tables() const { return tables_; }

  Vorl::Ptr<Hardware::Sand::Status const> sandStatus() const { return sandStatus_; }
  Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus() const {
    return cmdletStatus_;
  }
  Vorl::Ptr<RegShadowEntryStorage> regShadowEntryStorage() const { return regStorage_; }

  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager() const { return dmaPool_; }
  void dmaMemPoolManagerIs(Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> const& pool) {
    dmaPool_ = pool;
  }
  // Made on first use with the default store root unless the agent set one.
  Vorl::Ptr<Ordex::EntityManager> entityManager() const;
  void entityManagerIs(Vorl::Ptr<Ordex::EntityManager> const& manager) {
    entityManager_ = manager;
  }

  Pelcar::Fapmask fapmask(HwShadowKey key) const;
  void fapmaskIs(HwShadowKey key, Pelcar::Fapmask const& mask) { fapmasks_[key] = mask; }
  Pelcar::Fapmask servedFapmask(HwShadowKey key) const;
  void servedFapmaskIs(HwShadowKey key, Pelcar::Fapmask const& mask) { served_[key] = mask; }

 private:
  std::map<HwTableKey, Vorl::Ptr<HwCommonTableBase>> tables_;
  Vorl::Ptr<Hardware::Sand::Status> sandStatus_;
  Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus> cmdletStatus_;
  Vorl::Ptr<RegShadowEntryStorage> regStorage_;
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaPool_;
  mutable Vorl::Ptr<Ordex::EntityManager> entityManager_;
  std::map<HwShadowKey, Pelcar::Fapmask> fapmasks_;
  std::map<HwShadowKey, Pelcar::Fapmask> served_;
};

}  // namespace Tessar

namespace Ombra {

// The agent's manager of MDB tables; register tables are handed it by the factory
// signature but do not use it.
class TableManager : public Vorl::Node {};

}  // namespace Ombra
