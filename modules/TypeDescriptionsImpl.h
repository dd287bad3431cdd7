// The type descriptions of a table's description and its reader with the reader's
// result, and describeModule, which publishes them with the value types and the
// table's objects (tables/ObjectTypes.h) in the module's fixed order
// (modules/TypeDescriptions.h).
#pragma once

#include "modules/ValueTypes.h"
#include "tables/ObjectTypes.h"

namespace Modules::detail {

template <class Table>
Vorl::TypeInfo tableDescriptorType() {
  using Descriptor = typename Table::TableDescriptor;
  Vorl::TypeInfo type;
  type.name = fullName<Table>("::TableDescriptor");
  type.kind = Vorl::TypeKind::object;
  auto handleInitialized = attribute("handleInitialized", AttributeKind::function, "");
  handleInitialized.access =
      only(AttributeOp::call, [](std::any& self, Arguments const&, std::any&) {
        if (auto descriptor = objectOf<Descriptor>(self)) descriptor->handleInitialized();
      });
  type.attributes = {handleInitialized};
  numberFrom(kObjectAttributeBase, type.attributes);
  type.construct = handler([](Arguments const&) {
    return std::any(Vorl::Ptr<Vorl::Node>(Descriptor::TableDescriptorIs()));
  });
  type.toText = handler([](std::any const& value) {
    auto descriptor = objectOf<Descriptor>(value);
    return descriptor
               ? fmt::format("{} ({} members)", descriptor->name(), descriptor->members().size())
               : std::string("null");
  });
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
  entry.iterate = handler([](std::any& self) -> std::unique_ptr<Vorl::CollectionIterator> {
    auto result = objectAt<Result>(self);
    std::vector<std::pair<Key, Entry>> entries(result->entries().begin(), result->entries().end());
    return snapshotIterator(std::move(entries),
                            [result](Key const& key) { result->entryDel(key); });
  });
  // Element access: read looks a key up (an empty result when absent), write stores
  // an entry under its own key, call with a key deletes it and returns what it held.
  entry.access =
      handler([](std::any& self, AttributeOp op, Arguments const& arguments, std::any& value) {
        auto result = objectAt<Result>(self);
        switch (op) {
          case AttributeOp::read:
            if (auto found = result->entry(argument<Key>(arguments, 0)))
              value = *found;
            else
              value.reset();
            return AttributeAnswer::done;
          case AttributeOp::write:
            result->entryIs(argument<Entry>(arguments, 0));
            return AttributeAnswer::done;
          case AttributeOp::call:
            value = result->entryDel(argument<Key>(arguments, 0));
            return AttributeAnswer::done;
        }
        return AttributeAnswer::notSupported;
      });
  type.attributes = {entry};
  numberFrom(kObjectAttributeBase, type.attributes);
  type.construct = handler([](Arguments const& arguments) {
    return std::any(Vorl::Ptr<Vorl::Node>(
        Result::HwInstanceReadResultIs(argument<Tessar::HwShadowKey>(arguments, 0),
                                       argument<Hardware::Sand::FapRevision>(arguments, 1))));
  });
  return type;
}

template <class Table, class Reader>
Vorl::TypeInfo readerType() {
  Vorl::TypeInfo type;
  type.name = "bcm88490_a0::HwTable" + std::string(Table::Model::Desc::info.className) + "Reader";
  type.kind = Vorl::TypeKind::object;
  auto description =
      attribute("bcmGroupAddrInfo", AttributeKind::pointer, "Tessar::BcmGroupAddrInfo");
  description.access =
      only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
        result = Vorl::Ptr<Vorl::Node>(objectAt<Reader>(self)->bcmGroupAddrInfo);
      });
  auto factory = attribute("factory", AttributeKind::classFunction, "Tessar::HwTableReaderBase",
                           {{"fapRevision", "Hardware::Sand::FapRevision"},
                            {"readTableManager", "Tessar::ReadTableManager"}});
  factory.access =
      only(AttributeOp::call, [](std::any&, Arguments const& arguments, std::any& result) {
        result = Vorl::Ptr<Vorl::Node>(
            Reader::factory(argument<Hardware::Sand::FapRevision>(arguments, 0),
                            argument<Vorl::Ptr<Tessar::ReadTableManager>>(arguments, 1)));
      });
  auto builder =
      Reader::kIsRegister
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
  handleInitialized.access =
      only(AttributeOp::call, [](std::any& self, Arguments const&, std::any&) {
        objectAt<Reader>(self)->handleInitialized();
      });
  type.attributes = {nameFunction("pluginName", &Reader::pluginName),
                     nameFunction("tableName", &Reader::tableName),
                     description,
                     factory,
                     builder,
                     handleInitialized};
  numberFrom(kReaderAttributeBase, type.attributes);
  // Generic construction: a reader of a table key, like the reader's ...ReaderIs.
  type.construct = handler([](Arguments const& arguments) {
    return std::any(Vorl::Ptr<Vorl::Node>(
        Vorl::makePtr<Reader>(argument<Tessar::HwTableKey>(arguments, 0),
                              argument<Vorl::Ptr<Tessar::ReadTableManager>>(arguments, 1))));
  });
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
  if constexpr (!isRegister) module.typeIs(ObjectTypes<Table>::entryStorage());
  module.typeIs(ObjectTypes<Table>::shadow());
  module.typeIs(ObjectTypes<Table>::table());
  module.typeIs(detail::readResultType<Table, Reader>());
  module.typeIs(detail::readerType<Table, Reader>());
}

}  // namespace Modules
