// A store map that is also a collection of an entity: TyvoBrell::TyvoBrellMap.
//
// An entity (for example a memory shadow's entry storage) keeps its entries in one
// collection; the collection is a BrellMap named "<entity>/<collection>" that also
// carries the collection's change callbacks (Mem::Notify, built with makeNotify from
// the entity's own member functions) and its mount control (CollectionControl), the
// state through which the agent's entity manager reports mount status and
// quiescence. IteratorConst walks the collection in store order.
//
// Thread-safety: one owning thread, like BrellMap.
#pragma once

#include "platform/plugin/Export.h"

#include <optional>
#include <string>

#include <fmt/format.h>

#include "store/BrellMap.h"
#include "store/Notify.h"

namespace TyvoBrell {

// The mount control of one collection.
class HWTABLES_API CollectionControl {
 public:
  bool quiesced() const { return quiesced_; }
  void quiescedIs(bool quiesced) { quiesced_ = quiesced; }
  Brell::MountStatus mountStatus() const { return mountStatus_; }
  void mountStatusIs(Brell::MountStatus status) { mountStatus_ = status; }

 private:
  bool quiesced_ = true;
  Brell::MountStatus mountStatus_ = Brell::MountStatus::unmounted;
};

template <class Storage, class Value, class Key, Brell::StoreTraits Ops>
class TyvoBrellMap : public Brell::BrellMap<Ops> {
 public:
  TyvoBrellMap(std::string entityName, std::string collectionName, Mem::Notify<Key, Value> notify)
      : Brell::BrellMap<Ops>(fmt::format("{}/{}", entityName, collectionName)),
        entityName_(std::move(entityName)),
        collectionName_(std::move(collectionName)),
        notify_(std::move(notify)) {}

  std::string const& entityName() const { return entityName_; }
  std::string const& collectionName() const { return collectionName_; }
  Mem::Notify<Key, Value> const& notify() const { return notify_; }
  CollectionControl& control() { return control_; }
  CollectionControl const& control() const { return control_; }

  // The entity moved under another parent, or lost its parent (empty name): an
  // orphaned collection goes on in a new local temporary writer.
  void handleParent(std::string const& parentName) {
    if (parentName.empty()) {
      VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "{} is now an orphan", this->name());
      this->createDefaultLocalWriter();
      return;
    }
    if (this->initialized()) {
      VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "Entity {} already initialized",
                 entityName_);
      return;
    }
    VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "old:{} new:{}", entityName_, parentName);
  }

  // Walks the collection in store order; a change of the store during the walk is
  // seen as the store's iteration sees it (no entry twice, none that stayed missed).
  class IteratorConst {
   public:
    IteratorConst() = default;
    explicit IteratorConst(TyvoBrellMap* map) : map_(map) {
      Value value;
      if (map_->first(value, hint_)) current_ = value;
    }
    bool done() const { return !current_.has_value(); }
    Value const& operator*() const { return *current_; }
    Value const* operator->() const { return &*current_; }
    IteratorConst& operator++() {
      Value value;
      if (current_ && map_->next(Ops::key(*current_), value, hint_)) {
        current_ = value;
      } else {
        current_.reset();
      }
      return *this;
    }

   private:
    TyvoBrellMap* map_ = nullptr;
    Brell::IterHint hint_;
    std::optional<Value> current_;
  };

  IteratorConst iterator() { return IteratorConst(this); }

 private:
  std::string entityName_;
  std::string collectionName_;
  Mem::Notify<Key, Value> notify_;
  CollectionControl control_;
};

}  // namespace TyvoBrell
