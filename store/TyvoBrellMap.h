// A store map that is also a collection of an entity: TyvoBrell::TyvoBrellMap.
//
// An entity (for example a memory shadow's entry storage) keeps its entries in one
// collection; the collection is a BrellMap named "<entity>/<collection>" that also
// carries the collection's change callbacks (Mem::Notify, built with makeNotify from
// the entity's own member functions) and its mount control (CollectionControl), the
// state through which the agent's entity manager reports mount status and
// quiescence. IteratorConst walks the collection in store order.
//
// The callbacks are the map's from construction on: when the collection is mounted
// as a shadow reader, the shadow reports every change it learns of through them
// (keys added, changed and removed, its mount status, quiescence). A writer's owner
// publishes its own changes; the store does not call back into a writer.
//
// Thread-safety: one owning thread, like BrellMap.
#pragma once

#include "platform/plugin/Export.h"

#include <optional>
#include <string>

#include <fmt/format.h>

#include "platform/vorl/Ptr.h"
#include "store/BrellMap.h"
#include "store/Notify.h"

namespace TyvoBrell {

// The mount control of one collection. Reference counted, so the type runtime can
// hand it out as the collection's `entryCollControl` object.
class HWTABLES_API CollectionControl : public Vorl::Node {
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
      : Brell::BrellMap<Ops>(fullName(entityName, collectionName)),
        entityName_(std::move(entityName)),
        collectionName_(std::move(collectionName)),
        notify_(std::move(notify)) {
    this->notifyIs(notify_);
  }

  std::string const& entityName() const { return entityName_; }
  std::string const& collectionName() const { return collectionName_; }
  Mem::Notify<Key, Value> const& notify() const { return notify_; }
  CollectionControl& control() { return *control_; }
  CollectionControl const& control() const { return *control_; }
  Vorl::Ptr<CollectionControl> const& controlObject() const { return control_; }

  // The entity moved under another name (`entityName`, its new full name), or lost
  // its parent (empty): an orphaned collection goes on in a new local temporary
  // writer; a mounted one keeps its name (its store stays where it is); otherwise
  // the collection takes the name "<entityName>/<collection>".
  void handleParent(std::string const& entityName) {
    if (entityName.empty()) {
      VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "{} is now an orphan", this->name());
      this->createDefaultLocalWriter();
      return;
    }
    if (this->initialized()) {
      VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "Entity {} already initialized",
                 entityName_);
      return;
    }
    auto renamed = fullName(entityName, collectionName_);
    if (renamed == this->name()) return;
    VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "old:{} new:{}", this->name(), renamed);
    entityName_ = entityName;
    this->nameIs(renamed);
  }

  // Whether the store in `path` is valid under restart identity `pyrelId`.
  bool validateFiles(std::string const& path, SharedMem::PyrelId pyrelId) {
    VORL_TRACE(Brell::Debug::map(), Brell::kDebugLevel, "delegating to BrellMap::validateFiles");
    return Brell::BrellMap<Ops>::validateFiles(path, pyrelId);
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
  static std::string fullName(std::string const& entityName, std::string const& collectionName) {
    return fmt::format("{}/{}", entityName, collectionName);
  }

  std::string entityName_;
  std::string collectionName_;
  Mem::Notify<Key, Value> notify_;
  Vorl::Ptr<CollectionControl> control_ = Vorl::makePtr<CollectionControl>();
};

}  // namespace TyvoBrell
