// The type descriptions of a table's values: its entry key, the index of an entry's
// data bytes and the entry with its fields (modules/TypeDescriptions.h).
#pragma once

#include <fmt/format.h>

#include "tables/ObjectTypes.h"

namespace Modules::detail {

template <class Table>
Vorl::TypeInfo entryKeyType() {
  using Key = typename Table::EntryKey;
  constexpr auto const& key = Table::Model::Desc::info.key;
  Vorl::TypeInfo type;
  type.name = Key::typeName();
  type.kind = Vorl::TypeKind::value;
  if constexpr (key.form == Framework::KeyForm::singleIndex) {
    auto value = attribute("value", AttributeKind::attribute, "U32");
    value.access =
        handler([](std::any& self, AttributeOp op, Arguments const& arguments, std::any& result) {
          auto& key = valueOf<Key>(self);
          if (op == AttributeOp::read)
            result = static_cast<U64>(key.value());
          else if (op == AttributeOp::write)
            key.valueIs(argument<U32>(arguments, 0));
          else
            return AttributeAnswer::notSupported;
          return AttributeAnswer::done;
        });
    auto entryIndex = attribute("entryIndex", AttributeKind::derivedValue, "U32");
    entryIndex.access =
        only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
          result = static_cast<U64>(valueOf<Key>(self).entryIndex());
        });
    type.attributes = {value,
                       constant("arrayIndex", "U8", Key::arrayIndexConstant),
                       entryIndex,
                       constant("min", "U32", Key::min),
                       constant("max", "U32", Key::max),
                       constant("null", "U32", Key::null)};
    type.construct = handler(
        [](Arguments const& arguments) { return std::any(Key(argument<U32>(arguments, 0))); });
  } else {
    auto arrayIndex = attribute("arrayIndex", AttributeKind::attribute, "U8");
    arrayIndex.access =
        handler([](std::any& self, AttributeOp op, Arguments const& arguments, std::any& result) {
          auto& key = valueOf<Key>(self);
          if (op == AttributeOp::read)
            result = static_cast<U64>(key.arrayIndex());
          else if (op == AttributeOp::write)
            key.arrayIndexIs(argument<U8>(arguments, 0));
          else
            return AttributeAnswer::notSupported;
          return AttributeAnswer::done;
        });
    auto entryIndex = attribute("entryIndex", AttributeKind::attribute, "U32");
    entryIndex.access =
        handler([](std::any& self, AttributeOp op, Arguments const& arguments, std::any& result) {
          auto& key = valueOf<Key>(self);
          if (op == AttributeOp::read)
            result = static_cast<U64>(key.entryIndex());
          else if (op == AttributeOp::write)
            key.entryIndexIs(argument<U32>(arguments, 0));
          else
            return AttributeAnswer::notSupported;
          return AttributeAnswer::done;
        });
    type.attributes = {constant("arrayIndexMin", "U8", Key::arrayIndexMin),
                       constant("arrayIndexMax", "U8", Key::arrayIndexMax),
                       arrayIndex,
                       constant("entryIndexMin", "U32", Key::entryIndexMin),
                       constant("entryIndexMax", "U32", Key::entryIndexMax),
                       entryIndex};
    type.construct = handler([](Arguments const& arguments) {
      return std::any(Key(argument<U8>(arguments, 0), argument<U32>(arguments, 1)));
    });
  }
  numberFrom(kValueAttributeBase, type.attributes);
  type.fromText = handler([](std::string const& text) {
    Key key;
    Tyvo::strepToValue(text, &key);
    return std::any(key);
  });
  type.toText =
      handler([](std::any const& value) { return fmt::format("{}", std::any_cast<Key>(value)); });
  type.hash = handler([](std::any const& value, std::uint32_t seed) {
    return std::any_cast<Key>(value).hash(seed);
  });
  return type;
}

template <class Table>
Vorl::TypeInfo dataByteIndexType() {
  using Index = typename Table::Entry::DataByte0Index;
  Vorl::TypeInfo type;
  type.name = Index::typeName();
  auto value = attribute("value", AttributeKind::readOnlyAttribute, "U32");
  value.access = only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
    result = static_cast<U64>(valueOf<Index>(self).value());
  });
  type.attributes = {value, constant("min", "U32", Index::min), constant("max", "U32", Index::max),
                     constant("size", "U32", Index::size)};
  numberFrom(kValueAttributeBase, type.attributes);
  type.construct = handler(
      [](Arguments const& arguments) { return std::any(Index(argument<U32>(arguments, 0))); });
  type.fromText = handler([](std::string const& text) {
    Index index(0);
    Tyvo::strepToValue(text, &index);
    return std::any(index);
  });
  type.toText = handler([](std::any const& value) {
    return fmt::format("{{value={}}}", std::any_cast<Index>(value).value());
  });
  return type;
}

// The field operations of Entry, by the field's position in its table's description
// (Fields::accessors() holds them in that order).
template <class Entry, class Fields>
struct FieldOperationsOf {
  static U64 get(std::any& self, std::size_t field, U32 index) {
    return Fields::accessors()[field].get(valueOf<Entry>(self), index);
  }
  static void set(std::any& self, std::size_t field, U32 index, U64 value) {
    Fields::accessors()[field].set(valueOf<Entry>(self), index, value);
  }
  static Lutz::PerUnitBitmap getBitmap(std::any& self, std::size_t field) {
    return Fields::accessors()[field].getBitmap(valueOf<Entry>(self));
  }
  static void setBitmap(std::any& self, std::size_t field, Lutz::PerUnitBitmap const& value) {
    Fields::accessors()[field].setBitmap(valueOf<Entry>(self), value);
  }
};

template <class Table, class Fields>
Vorl::TypeInfo entryType() {
  using Entry = typename Table::Entry;
  using Key = typename Table::EntryKey;
  using Index = typename Entry::DataByte0Index;
  Vorl::TypeInfo type;
  type.name = std::string(Entry::typeName());
  auto entryKey = attribute("entryKey", AttributeKind::readOnlyAttribute, Key::typeName());
  entryKey.access = only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
    result = valueOf<Entry>(self).entryKey();
  });
  auto dataByte0 = attribute("dataByte0", AttributeKind::collection, "U8");
  dataByte0.keyType = Index::typeName();
  dataByte0.iterate = handler([](std::any& self) -> std::unique_ptr<Vorl::CollectionIterator> {
    auto* entry = &valueOf<Entry>(self);
    std::vector<std::pair<Index, U64>> bytes;
    for (U32 index = 0; index < Entry::entrySize(); ++index) {
      bytes.emplace_back(Index(index), entry->dataByte0(index));
    }
    return snapshotIterator(std::move(bytes),
                            [entry](Index const& index) { entry->dataByte0Del(index); });
  });
  auto entrySize = attribute("entrySize", AttributeKind::classFunction, "U32");
  entrySize.access = only(AttributeOp::call, [](std::any&, Arguments const&, std::any& result) {
    result = static_cast<U64>(Entry::entrySize());
  });
  auto entrySizeBits = attribute("entrySizeBits", AttributeKind::classFunction, "U32");
  entrySizeBits.access = only(AttributeOp::call, [](std::any&, Arguments const&, std::any& result) {
    result = static_cast<U64>(Entry::entrySizeBits());
  });
  type.attributes = {entryKey, dataByte0, entrySize, entrySizeBits};
  using Operations = FieldOperationsOf<Entry, Fields>;
  addFieldAttributes(
      type.attributes, Table::Model::Desc::info.fields,
      {&Operations::get, &Operations::set, &Operations::getBitmap, &Operations::setBitmap});
  numberFrom(kValueAttributeBase, type.attributes);
  type.construct = handler(
      [](Arguments const& arguments) { return std::any(Entry(argument<Key>(arguments, 0))); });
  type.fromText = handler([](std::string const& text) {
    Tyvo::CharRange range(text);
    Entry entry(range);  // an entry has no text form: a fatal assertion
    return std::any(entry);
  });
  type.toText =
      handler([](std::any const& value) { return fmt::format("{}", std::any_cast<Entry>(value)); });
  return type;
}

}  // namespace Modules::detail
