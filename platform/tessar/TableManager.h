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
// What it tracks: the shadow information of its direct tables (HwTableShadowInfo),
// added by a table when it is initialised and withdrawn when it is deleted
// (HwDirectTableBase::addHwTableShadowInfo / delHwTableShadowInfo), one per table key.
//
// Ownership: the manager holds its tables (tableColl) and every table holds its
// manager, so the two keep each other alive until tableCollDelAll() breaks the
// cycle; the agent calls it when it lets the chips go.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <map>

#include "platform/dma/DmaMemPool.h"
#include "platform/hardware/Status.h"
#include "platform/ordex/EntityManager.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/tessar/Keys.h"
#include "platform/tessar/RegShadowEntryStorage.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"

namespace Tessar {

class HwCommonTableBase;

// The kind of shadow a direct table keeps; 2 is the key-based kind (entries stored
// one by one under their keys) that the register and memory accessors use.
enum class ShadowType : std::uint8_t { none = 0, indexBased = 1, keyBased = 2 };

// What a direct table tells its manager about its shadows.
struct HWTABLES_API HwTableShadowInfo {
  HwCommonTableBase const* table = nullptr;  // the table that added it (not owned)
  Vorl::String typeName;                     // e.g. "bcm88490_a0::IppaBsplProfileTblHwDirect"
  ShadowType shadowType = ShadowType::none;
  bool shadowed = false;          // the shadow is kept in software
  bool writesFromShadow = false;  // writes are built from the shadow
  std::uint32_t tableBlocks = 0;
  std::uint32_t entrySize = 0;    // bytes of one entry
};

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

  // The shadow information of the table of `key`, or null.
  HwTableShadowInfo const* hwTableShadowInfo(HwTableKey const& key) const;
  std::map<HwTableKey, HwTableShadowInfo> const& hwTableShadowInfos() const {
    return shadowInfos_;
  }
  // Records `info` under `key`, replacing what another table of that key added.
  void hwTableShadowInfoIs(HwTableKey const& key, HwTableShadowInfo const& info) {
    shadowInfos_[key] = info;
  }
  // Withdraws the information of `key` when `table` added it; otherwise nothing.
  void hwTableShadowInfoDel(HwTableKey const& key, HwCommonTableBase const* table);

 private:
  // Declared before the tables: a table withdraws its information as it goes.
  std::map<HwTableKey, HwTableShadowInfo> shadowInfos_;
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
