// The type descriptions of a table's objects: its shadow, its shadow's store (a
// memory's) and the table itself (modules/TypeDescriptions.h publishes them).
//
// They call the table's own templates (the shadow's entry operations, its store's).
// A memory's table unit instantiates those anyway, so a memory's descriptions are
// instantiated there (tables/generate/Table.cc.in) and its module's unit declares
// them extern (modules/generate/Module.cc.in) instead of compiling those templates a
// second time. A register's unit instantiates little of them: a register's are made
// in its module's unit, like the rest of its descriptions.
#pragma once

#include "tables/TypeAttributes.h"

namespace Modules::detail {

template <class Table>
std::string fullName(std::string_view suffix) {
  return std::string(Table::Model::Desc::info.fullName) + std::string(suffix);
}

// setEntry, getEntry, deleteEntry and schanCmds of a shadow (the common part of both families).
template <class Table, class Shadow>
std::vector<AttributeInfo> shadowEntryFunctions() {
  using Entry = typename Table::Entry;
  using Key = typename Table::EntryKey;
  auto setEntry = attribute("setEntry", AttributeKind::function, "",
                            {{"entry", std::string(Entry::typeName())}});
  setEntry.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
        objectAt<Shadow>(self)->setEntry(argument<Entry>(arguments, 0));
      });
  auto getEntry = attribute("getEntry", AttributeKind::function, std::string(Entry::typeName()),
                            {{"entryKey", Key::typeName()}});
  getEntry.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
        result = objectAt<Shadow>(self)->getEntry(argument<Key>(arguments, 0));
      });
  auto deleteEntry =
      attribute("deleteEntry", AttributeKind::function, "", {{"entryKey", Key::typeName()}});
  deleteEntry.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
        objectAt<Shadow>(self)->deleteEntry(argument<Key>(arguments, 0));
      });
  auto schanCmds = attribute("schanCmds", AttributeKind::function, "Pelcar::SchanCmds",
                             {{"fapmask", "Pelcar::Fapmask"},
                              {"fapRevision", "Hardware::Sand::FapRevision"},
                              {"entryKey", Key::typeName()},
                              {"isDelete", "bool"},
                              {"logEntryPtr", "Asic::LogEntryWrapperBase"}});
  // The commands for one entry to the FAPs of the mask the shadow serves (the mask
  // may be given as one FAP id); null when it serves none of them. The log entry may
  // be left out.
  schanCmds.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
        result = Vorl::Ptr<Vorl::Node>(objectAt<Shadow>(self)->schanCmds(
            argument<Pelcar::Fapmask>(arguments, 0),
            argument<Hardware::Sand::FapRevision>(arguments, 1), argument<Key>(arguments, 2),
            argument<bool>(arguments, 3),
            optionalArgument<Vorl::Ptr<Asic::LogEntryWrapperBase>>(arguments, 4)));
      });
  return {setEntry, getEntry, deleteEntry, schanCmds};
}

template <class Table>
Vorl::TypeInfo shadowType() {
  using Shadow = typename Table::Shadow;
  constexpr bool isRegister = Table::Model::Desc::info.isRegister();
  Vorl::TypeInfo type;
  type.name = fullName<Table>("::Shadow");
  type.kind = Vorl::TypeKind::object;
  type.attributes = shadowEntryFunctions<Table, Shadow>();
  // onDelete deletes the shadow: its entries are removed (a memory's store emptied and
  // unmounted) and later entry operations on it are refused.
  auto onDelete = objectFunction<Shadow>("onDelete", [](Shadow& shadow) { shadow.onDelete(); });
  if constexpr (isRegister) {
    type.attributes.push_back(onDelete);
  } else {
    auto hwTableName = attribute("hwTableName", AttributeKind::readOnlyAttribute, "Vorl::String");
    hwTableName.access = only(AttributeOp::read, [](std::any&, Arguments const&, std::any& result) {
      result = std::string(Table::tableTypeName());  // every shadow of a memory has its table's
    });
    type.attributes.push_back(hwTableName);
    type.attributes.push_back(onDelete);
    type.attributes.push_back(
        objectFunction<Shadow>("collCleanup", [](Shadow& shadow) { shadow.collCleanup(); }));
    type.attributes.push_back(
        attribute("mountBrell", AttributeKind::internalFunction, "", {{"path", "Vorl::String"}}));
    type.attributes.push_back(attribute("unmountBrell", AttributeKind::internalFunction, ""));
    auto entryStorage = attribute("entryStorage", AttributeKind::pointer,
                                  fullName<Table>("::Shadow::EntryStorage"));
    entryStorage.access =
        only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
          result = Vorl::Ptr<Vorl::Node>(objectAt<Shadow>(self)->entryStorage());
        });
    type.attributes.push_back(entryStorage);
    // Mounts the store again, empty (a deleted shadow comes back).
    type.attributes.push_back(objectFunction<Shadow>(
        "handleInitialized", [](Shadow& shadow) { shadow.handleInitialized(); }));
  }
  numberFrom(kShadowAttributeBase, type.attributes);
  return type;
}

template <class Table>
Vorl::TypeInfo entryStorageType() {
  using Storage = typename Table::Shadow::EntryStorage;
  using Entry = typename Table::Entry;
  using Key = typename Table::EntryKey;
  Vorl::TypeInfo type;
  type.name = fullName<Table>("::Shadow::EntryStorage");
  type.kind = Vorl::TypeKind::object;
  auto entryColl =
      attribute("entryColl", AttributeKind::collection, std::string(Entry::typeName()));
  entryColl.keyType = Key::typeName();
  entryColl.iterate = handler([](std::any& self) -> std::unique_ptr<Vorl::CollectionIterator> {
    auto storage = objectAt<Storage>(self);
    std::vector<std::pair<Key, Entry>> entries;
    for (auto const& entry : storage->entries()) entries.emplace_back(entry.entryKey(), entry);
    return snapshotIterator(std::move(entries),
                            [storage](Key const& key) { storage->entryCollDel(key); });
  });
  auto control =
      attribute("entryCollControl", AttributeKind::pointer, "TyvoBrell::CollectionControl");
  control.access = only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
    result = Vorl::Ptr<Vorl::Node>(objectAt<Storage>(self)->map().controlObject());
  });
  type.attributes = {entryColl, control};
  numberFrom(kObjectAttributeBase, type.attributes);
  return type;
}

template <class Table>
Vorl::TypeInfo tableType() {
  using Entry = typename Table::Entry;
  using Key = typename Table::EntryKey;
  constexpr bool isRegister = Table::Model::Desc::info.isRegister();
  Vorl::TypeInfo type;
  type.name = std::string(Table::Model::Desc::info.fullName);
  type.kind = Vorl::TypeKind::object;
  auto chipName = attribute("chipName", AttributeKind::function, "Vorl::String");
  chipName.access = only(AttributeOp::call, [](std::any& self, Arguments const&, std::any& result) {
    result = std::string(objectAt<Table>(self)->chipName());
  });
  auto hardwareName = [&] {
    if constexpr (isRegister)
      return nameFunction("bcmRegName", &Table::bcmRegName);
    else
      return nameFunction("bcmMemName", &Table::bcmMemName);
  }();
  std::vector<Vorl::Parameter> byShadowKey{{"hwShadowKey", "Tessar::HwShadowKey"}};
  auto shadow =
      attribute("shadow", AttributeKind::function, fullName<Table>("::Shadow"), byShadowKey);
  shadow.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
        result = Vorl::Ptr<Vorl::Node>(
            objectAt<Table>(self)->shadow(argument<Tessar::HwShadowKey>(arguments, 0)));
      });
  auto shadowConst =
      attribute("shadowConst", AttributeKind::function, fullName<Table>("::Shadow"), byShadowKey);
  shadowConst.access = shadow.access;
  auto setEntry = attribute(
      "setEntry", AttributeKind::function, "",
      {{"hwShadowKey", "Tessar::HwShadowKey"}, {"entry", std::string(Entry::typeName())}});
  setEntry.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
        objectAt<Table>(self)->setEntry(argument<Tessar::HwShadowKey>(arguments, 0),
                                        argument<Entry>(arguments, 1));
      });
  auto getEntry =
      attribute("getEntry", AttributeKind::function, std::string(Entry::typeName()),
                {{"hwShadowKey", "Tessar::HwShadowKey"}, {"entryKey", Key::typeName()}});
  getEntry.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
        result = objectAt<Table>(self)->getEntry(argument<Tessar::HwShadowKey>(arguments, 0),
                                                 argument<Key>(arguments, 1));
      });
  auto deleteEntry =
      attribute("deleteEntry", AttributeKind::function, "",
                {{"hwShadowKey", "Tessar::HwShadowKey"}, {"entryKey", Key::typeName()}});
  deleteEntry.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
        objectAt<Table>(self)->deleteEntry(argument<Tessar::HwShadowKey>(arguments, 0),
                                           argument<Key>(arguments, 1));
      });
  auto schanCmds = attribute("schanCmds", AttributeKind::function, "Pelcar::SchanCmds",
                             {{"hwShadowKey", "Tessar::HwShadowKey"},
                              {"entryKey", Key::typeName()},
                              {"logEntryPtr", "Asic::LogEntryWrapperBase"}});
  schanCmds.access =
      only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
        result = Vorl::Ptr<Vorl::Node>(objectAt<Table>(self)->schanCmds(
            argument<Tessar::HwShadowKey>(arguments, 0), argument<Key>(arguments, 1),
            optionalArgument<Vorl::Ptr<Asic::LogEntryWrapperBase>>(arguments, 2)));
      });
  // The table the manager holds for (table, revision), or a new one it does not hold
  // yet; the MDB table manager may be left out.
  auto factory = attribute("factory", AttributeKind::classFunction, "Tessar::HwCommonTableBase",
                           {{"fapRevision", "Hardware::Sand::FapRevision"},
                            {"hwTableManager", "Tessar::TableManager"},
                            {"mdbTableManager", "Ombra::TableManager"}});
  factory.access =
      only(AttributeOp::call, [](std::any&, Arguments const& arguments, std::any& result) {
        result = Vorl::Ptr<Vorl::Node>(
            Table::factory(argument<Hardware::Sand::FapRevision>(arguments, 0),
                           argument<Vorl::Ptr<Tessar::TableManager>>(arguments, 1),
                           optionalArgument<Vorl::Ptr<Ombra::TableManager>>(arguments, 2)));
      });
  type.attributes = {
      chipName,
      nameFunction("tableTypeName", &Table::tableTypeName),
      hardwareName,
      nameFunction("tableName", &Table::tableName),
      nameFunction("tag", &Table::tag),
      shadow,
      shadowConst,
      setEntry,
      getEntry,
      deleteEntry,
      schanCmds,
      factory,
      objectFunction<Table>("onDelete", [](Table& table) { table.onDelete(); }),
      objectFunction<Table>("handleInitialized", [](Table& table) { table.handleInitialized(); })};
  numberFrom(kTableAttributeBase, type.attributes);
  return type;
}

}  // namespace Modules::detail

namespace Modules {

template <class Table>
struct ObjectTypes {
  static Vorl::TypeInfo shadow();
  static Vorl::TypeInfo entryStorage();  // a memory's only; empty for a register
  static Vorl::TypeInfo table();
};

template <class Table>
Vorl::TypeInfo ObjectTypes<Table>::shadow() {
  return detail::shadowType<Table>();
}

template <class Table>
Vorl::TypeInfo ObjectTypes<Table>::entryStorage() {
  if constexpr (Table::Model::Desc::info.isRegister()) {
    return {};
  } else {
    return detail::entryStorageType<Table>();
  }
}

template <class Table>
Vorl::TypeInfo ObjectTypes<Table>::table() {
  return detail::tableType<Table>();
}

}  // namespace Modules
