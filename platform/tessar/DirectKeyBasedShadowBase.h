// The base of key-based memory shadows: a direct shadow whose entries live in a
// shared-memory store, written to the chip row by row or in DMA bulk writes.
//
// Beyond DirectShadowBase it keeps what a memory shadow takes from its table
// manager: the DMA memory pool (null when the agent gives none: whole-memory writes
// then go row by row), the entity manager that mounts its store, and the full type
// name of its table, which names its trace handles ("const <table type>::Shadow"
// for reading and command building, "<table type>::Shadow" for changes) and its
// store path.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/dma/DmaMemPool.h"
#include "platform/ordex/EntityManager.h"
#include "platform/tessar/HwShadowBase.h"

namespace Tessar {

class HWTABLES_API DirectKeyBasedShadowBase : public DirectShadowBase {
 public:
  DirectKeyBasedShadowBase(
      Vorl::String name, HwShadowKey hwShadowKey, Hardware::Sand::FapRevision const& fapRevision,
      Vorl::Ptr<BcmGroupAddrInfo const> bcmGroupAddrInfo,
      Vorl::Ptr<Hardware::Sand::Status const> sandStatus,
      Vorl::Ptr<Hardware::Sand::SandCmdletRequiredStatus const> sandCmdletRequiredStatus,
      Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager,
      Vorl::Ptr<Ordex::EntityManager> entityManager, Vorl::String tableTypeName)
      : DirectShadowBase(std::move(name), hwShadowKey, fapRevision, std::move(bcmGroupAddrInfo),
                         std::move(sandStatus), std::move(sandCmdletRequiredStatus)),
        dmaMemPoolManager_(std::move(dmaMemPoolManager)),
        entityManager_(std::move(entityManager)),
        tableTypeName_(std::move(tableTypeName)),
        constTrace_(Vorl::traceHandle("const " + tableTypeName_ + "::Shadow")),
        trace_(Vorl::traceHandle(tableTypeName_ + "::Shadow")),
        tableTrace_(Vorl::traceHandle(tableTypeName_)) {}

  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> const& dmaMemPoolManager() const {
    return dmaMemPoolManager_;
  }
  // The pool of the agent's next whole-memory writes (it changed its buffer size).
  void dmaMemPoolManagerIs(Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> pool) {
    dmaMemPoolManager_ = std::move(pool);
  }
  Vorl::Ptr<Ordex::EntityManager> const& entityManager() const { return entityManager_; }
  Vorl::String const& tableTypeName() const { return tableTypeName_; }

 protected:
  Vorl::TraceHandle& constTrace() const { return constTrace_; }
  Vorl::TraceHandle& trace() const { return trace_; }
  // The handle named after the table type ("<table type>").
  Vorl::TraceHandle& tableTrace() const { return tableTrace_; }

 private:
  Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager_;
  Vorl::Ptr<Ordex::EntityManager> entityManager_;
  Vorl::String tableTypeName_;
  Vorl::TraceHandle& constTrace_;
  Vorl::TraceHandle& trace_;
  Vorl::TraceHandle& tableTrace_;
};

}  // namespace Tessar
