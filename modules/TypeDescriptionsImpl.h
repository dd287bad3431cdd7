// The type descriptions of a table's objects (its description, shadow, shadow store,
// table, and its reader with the reader's result) and describeModule, which publishes
// them with the value types in the module's fixed order (modules/TypeDescriptions.h).
#pragma once

#include "modules/TypeAttributes.h"
#include "modules/ValueTypes.h"

namespace Modules::detail {

template <class Table>
Vorl::TypeInfo tableDescriptorType() {
  using Descriptor = typename Table::TableDescriptor;
  Vorl::TypeInfo type;
  type.name = fullName<Table>("::TableDescriptor");
  type.kind = Vorl::TypeKind::object;
  auto handleInitialized = attribute("handleInitialized", AttributeKind::function, "");
  handleInitialized.access = only(AttributeOp::call, [](std::any& self, Arguments const&, std::any&) {
    if (auto descriptor = objectOf<Descriptor>(self)) descriptor->handleInitialized();
  });
  type.attributes = {handleInitialized};
  numberFrom(kObjectAttributeBase, type.attributes);
  type.construct = [](Arguments const&) {
    return std::any(Vorl::Ptr<Vorl::Node>(Descriptor::TableDescriptorIs()));
  };
  type.toText = [](std::any const& value) {
    auto descriptor = objectOf<Descriptor>(value);
    return descriptor ? fmt::format("{} ({} members)", descriptor->name(), descriptor->members().size())
                      : std::string("null");
  };
  return type;
}

// setEntry, getEntry, deleteEntry and schanCmds of a shadow (the common part of both families).
template <class Table, class Shadow>
std::vector<AttributeInfo> shadowEntryFunctions() {
  using Entry = typename Table::Entry;
  using Key = typename Table::EntryKey;
  auto setEntry = attribute("setEntry", AttributeKind::function, "", {{"entry", std::string(Entry::typeName())}});
  setEntry.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
    objectAt<Shadow>(self)->setEntry(argument<Entry>(arguments, 0));
  });
  auto getEntry = attribute("getEntry", AttributeKind::function, std::string(Entry::typeName()),
                            {{"entryKey", Key::typeName()}});
  getEntry.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
    result = objectAt<Shadow>(self)->getEntry(argument<Key>(arguments, 0));
  });
  auto deleteEntry = attribute("deleteEntry", AttributeKind::function, "", {{"entryKey", Key::typeName()}});
  deleteEntry.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
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
  schanCmds.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
    result = Vorl::Ptr<Vorl::Node>(objectAt<Shadow>(self)->schanCmds(
        argument<Pelcar::Fapmask>(arguments, 0), argument<Hardware::Sand::FapRevision>(arguments, 1),
        argument<Key>(arguments, 2), argument<bool>(arguments, 3),
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
    type.attributes.push_back(attribute("mountBrell", AttributeKind::internalFunction, "",
                                        {{"path", "Vorl::String"}}));
    type.attributes.push_back(attribute("unmountBrell", AttributeKind::internalFunction, ""));
    auto entryStorage = attribute("entryStorage", AttributeKind::pointer, fullName<Table>("::Shadow::EntryStorage"));
    entryStorage.access = only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
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
  auto entryColl = attribute("entryColl", AttributeKind::collection, std::string(Entry::typeName()));
  entryColl.keyType = Key::typeName();
  entryColl.iterate = [](std::any& self) -> std::unique_ptr<Vorl::CollectionIterator> {
    auto storage = objectAt<Storage>(self);
    std::vector<std::pair<Key, Entry>> entries;
    for (auto const& entry : storage->entries()) entries.emplace_back(entry.entryKey(), entry);
    return std::make_unique<SnapshotIterator<Key, Entry>>(
        std::move(entries), [storage](Key const& key) { storage->entryCollDel(key); });
  };
  auto control = attribute("entryCollControl", AttributeKind::pointer, "TyvoBrell::CollectionControl");
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
    if constexpr (isRegister) return nameFunction("bcmRegName", &Table::bcmRegName);
    else return nameFunction("bcmMemName", &Table::bcmMemName);
  }();
  std::vector<Vorl::Parameter> byShadowKey{{"hwShadowKey", "Tessar::HwShadowKey"}};
  auto shadow = attribute("shadow", AttributeKind::function, fullName<Table>("::Shadow"), byShadowKey);
  shadow.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
    result = Vorl::Ptr<Vorl::Node>(objectAt<Table>(self)->shadow(argument<Tessar::HwShadowKey>(arguments, 0)));
  });
  auto shadowConst = attribute("shadowConst", AttributeKind::function, fullName<Table>("::Shadow"), byShadowKey);
  shadowConst.access = shadow.access;
  auto setEntry = attribute("setEntry", AttributeKind::function, "",
                            {{"hwShadowKey", "Tessar::HwShadowKey"}, {"entry", std::string(Entry::typeName())}});
  setEntry.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
    objectAt<Table>(self)->setEntry(argument<Tessar::HwShadowKey>(arguments, 0), argument<Entry>(arguments, 1));
  });
  auto getEntry = attribute("getEntry", AttributeKind::function, std::string(Entry::typeName()),
                            {{"hwShadowKey", "Tessar::HwShadowKey"}, {"entryKey", Key::typeName()}});
  getEntry.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
    result = objectAt<Table>(self)->getEntry(argument<Tessar::HwShadowKey>(arguments, 0),
                                             argument<Key>(arguments, 1));
  });
  auto deleteEntry = attribute("deleteEntry", AttributeKind::function, "",
                               {{"hwShadowKey", "Tessar::HwShadowKey"}, {"entryKey", Key::typeName()}});
  deleteEntry.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any&) {
    objectAt<Table>(self)->deleteEntry(argument<Tessar::HwShadowKey>(arguments, 0), argument<Key>(arguments, 1));
  });
  auto schanCmds = attribute("schanCmds", AttributeKind::function, "Pelcar::SchanCmds",
                             {{"hwShadowKey", "Tessar::HwShadowKey"},
                              {"entryKey", Key::typeName()},
                              {"logEntryPtr", "Asic::LogEntryWrapperBase"}});
  schanCmds.access = only(AttributeOp::call, [](std::any& self, Arguments const& arguments, std::any& result) {
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
  factory.access = only(AttributeOp::call, [](std::any&, Arguments const& arguments, std::any& result) {
    result = Vorl::Ptr<Vorl::Node>(Table::factory(
        argument<Hardware::Sand::FapRevision>(arguments, 0),
        argument<Vorl::Ptr<Tessar::TableManager>>(arguments, 1),
        optionalArgument<Vorl::Ptr<Ombra::TableManager>>(arguments, 2)));
  });
  type.attributes = {chipName,
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
                     objectFunction<Table>("handleInitialized",
                                           [](Table& table) { table.handleInitialized(); })};
  numberFrom(kTableAttributeBase, type.attributes);
  return type;
}

template <class Table, class Reader>
Vorl::TypeInfo readResultType() {
  using Result = typename Reader::HwInstanceReadResult;
  using Entry = typename Table::Entry;
  using Key = typename Table::EntryKey;
  Vorl::TypeInfo type;
  type.name = "bcm88490_a0::HwTable" + std::string(Table::Model::Desc::info.className) +
              "Reader::HwInstanceReadResult";
  type.kind = Vorl::TypeKind::object;
  auto entry = attribute("entry", AttributeKind::collection, std::string(Entry::typeName()));
  entry.keyType = Key::typeName();
  entry.iterate = [](std::any& self) -> std::unique_ptr<Vorl::CollectionIterator> {
    auto result = objectAt<Result>(self);
    std::vector<std::pair<Key, Entry>> entries(result->entries().begin(), result->entries().end());
    return std::make_unique<SnapshotIterator<Key, Entry>>(
        std::move(entries), [result](Key const& key) { result->entryDel(key); });
  };
  // Element access: read looks a key up (an empty result when absent), write stores
  // an entry under its own key, call with a key deletes it and returns what it held.
  entry.access = [](std::any& self, AttributeOp op, Arguments const& arguments, std::any& value) {
    auto result = objectAt<Result>(self);
    switch (op) {
      case AttributeOp::read:
        if (auto found = result->entry(argument<Key>(arguments, 0))) value = *found;
        else value.reset();
        return AttributeAnswer::done;
      case AttributeOp::write:
        result->entryIs(argument<Entry>(arguments, 0));
        return AttributeAnswer::done;
      case AttributeOp::call:
        value = result->entryDel(argument<Key>(arguments, 0));
        return AttributeAnswer::done;
    }
    return AttributeAnswer::notSupported;
  };
  type.attributes = {entry};
  numberFrom(kObjectAttributeBase, type.attributes);
  type.construct = [](Arguments const& arguments) {
    return std::any(Vorl::Ptr<Vorl::Node>(Result::HwInstanceReadResultIs(
        argument<Tessar::HwShadowKey>(arguments, 0), argument<Hardware::Sand::FapRevision>(arguments, 1))));
  };
  return type;
}

template <class Table, class Reader>
Vorl::TypeInfo readerType() {
  Vorl::TypeInfo type;
  type.name = "bcm88490_a0::HwTable" + std::string(Table::Model::Desc::info.className) + "Reader";
  type.kind = Vorl::TypeKind::object;
  auto description = attribute("bcmGroupAddrInfo", AttributeKind::pointer, "Tessar::BcmGroupAddrInfo");
  description.access = only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
    result = Vorl::Ptr<Vorl::Node>(objectAt<Reader>(self)->bcmGroupAddrInfo);
  });
  auto factory = attribute("factory", AttributeKind::classFunction, "Tessar::HwTableReaderBase",
                           {{"fapRevision", "Hardware::Sand::FapRevision"},
                            {"readTableManager", "Tessar::ReadTableManager"}});
  factory.access = only(AttributeOp::call, [](std::any&, Arguments const& arguments, std::any& result) {
    result = Vorl::Ptr<Vorl::Node>(Reader::factory(argument<Hardware::Sand::FapRevision>(arguments, 0),
                                                   argument<Vorl::Ptr<Tessar::ReadTableManager>>(arguments, 1)));
  });
  auto builder = Reader::kIsRegister
                     ? attribute("regReadSchanCmds", AttributeKind::internalFunction, "Pelcar::SchanCmds",
                                 {{"inHwShadowKey", "Tessar::HwShadowKey"},
                                  {"fullTable", "bool"},
                                  {"entryIndex", "U32"},
                                  {"resultContainer", "Tessar::HwTableReadResultContainer"}})
                     : attribute("directReadSchanCmds", AttributeKind::internalFunction, "Pelcar::SchanCmds",
                                 {{"inHwShadowKey", "Tessar::HwShadowKey"},
                                  {"allArrayIndices", "bool"},
                                  {"arrayIndex", "U8"},
                                  {"resultContainer", "Tessar::HwTableReadResultContainer"}});
  auto handleInitialized = attribute("handleInitialized", AttributeKind::function, "");
  handleInitialized.access = only(AttributeOp::call, [](std::any& self, Arguments const&, std::any&) {
    objectAt<Reader>(self)->handleInitialized();
  });
  type.attributes = {nameFunction("pluginName", &Reader::pluginName), nameFunction("tableName", &Reader::tableName),
                     description, factory, builder, handleInitialized};
  numberFrom(kReaderAttributeBase, type.attributes);
  // Generic construction: a reader of a table key, like the reader's ...ReaderIs.
  type.construct = [](Arguments const& arguments) {
    return std::any(Vorl::Ptr<Vorl::Node>(
        Vorl::makePtr<Reader>(argument<Tessar::HwTableKey>(arguments, 0),
                              argument<Vorl::Ptr<Tessar::ReadTableManager>>(arguments, 1))));
  };
  return type;
}

}  // namespace Modules::detail

namespace Modules {

template <class Table, class Reader, class Fields>
void describeModule(Vorl::ModuleInspectData& module) {
  if (!module.types().empty()) return;
  constexpr bool isRegister = Table::Model::Desc::info.isRegister();
  module.typeIs(detail::tableDescriptorType<Table>());
  module.typeIs(detail::entryKeyType<Table>());
  module.typeIs(detail::dataByteIndexType<Table>());
  module.typeIs(detail::entryType<Table, Fields>());
  if constexpr (!isRegister) module.typeIs(detail::entryStorageType<Table>());
  module.typeIs(detail::shadowType<Table>());
  module.typeIs(detail::tableType<Table>());
  module.typeIs(detail::readResultType<Table, Reader>());
  module.typeIs(detail::readerType<Table, Reader>());
}

}  // namespace Modules
