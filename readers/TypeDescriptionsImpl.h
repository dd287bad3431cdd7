// The templates behind describeModule (readers/TypeDescriptions.h).
#pragma once

#include <fmt/format.h>

#include "framework/FieldAccessor.h"
#include "platform/asic/LogEntry.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Exceptions.h"

namespace Readers::detail {

using Vorl::AttributeAnswer;
using Vorl::AttributeInfo;
using Vorl::AttributeKind;
using Vorl::AttributeOp;
using Vorl::Arguments;

template <class T>
struct PointerTo {};
template <class T>
struct PointerTo<Vorl::Ptr<T>> {
  using Pointee = T;
};
template <class T>
concept ObjectPointer = requires { typename PointerTo<T>::Pointee; };

template <class T>
T argument(Arguments const& arguments, std::size_t index) {
  if (index >= arguments.size()) {
    throw Vorl::RangeException(fmt::format("missing argument {}", index + 1));
  }
  if (auto const* value = std::any_cast<T>(&arguments[index])) return *value;
  // Objects travel as Vorl::Ptr<Vorl::Node>: one of the wanted class, or null.
  if constexpr (ObjectPointer<T>) {
    if (auto const* node = std::any_cast<Vorl::Ptr<Vorl::Node>>(&arguments[index])) {
      auto object = Vorl::ptrCast<typename PointerTo<T>::Pointee>(*node);
      if (object || !*node) return object;
    }
  }
  // A FAP mask may be given as one FAP id.
  if constexpr (std::is_same_v<T, Pelcar::Fapmask>) {
    if (auto const* number = std::any_cast<U64>(&arguments[index]);
        number && *number < Pelcar::Fapmask::kMaxFaps) {
      return Pelcar::Fapmask::of({static_cast<std::uint32_t>(*number)});
    }
  }
  if constexpr (std::is_integral_v<T>) {
    if (auto const* number = std::any_cast<U64>(&arguments[index])) {
      if (*number > static_cast<U64>(std::numeric_limits<T>::max())) {
        throw Vorl::RangeException(fmt::format("argument {} ({}) is too large", index + 1, *number));
      }
      return static_cast<T>(*number);
    }
  }
  if constexpr (std::is_same_v<T, Tessar::HwShadowKey>) {
    if (auto const* number = std::any_cast<U64>(&arguments[index]); number && *number <= 0xFFFF) {
      return Tessar::HwShadowKey(static_cast<std::uint16_t>(*number));
    }
  }
  throw Vorl::RangeException(fmt::format("argument {} is not a {}", index + 1, typeid(T).name()));
}

// An argument that may be left out (or given empty): T{} then.
template <class T>
T optionalArgument(Arguments const& arguments, std::size_t index) {
  if (index >= arguments.size() || !arguments[index].has_value()) return T{};
  return argument<T>(arguments, index);
}

// The object an attribute is accessed on, of class T; null when `self` holds none.
template <class T>
Vorl::Ptr<T> objectOf(std::any const& self) {
  if (auto const* node = std::any_cast<Vorl::Ptr<Vorl::Node>>(&self)) return Vorl::ptrCast<T>(*node);
  if (auto const* typed = std::any_cast<Vorl::Ptr<T>>(&self)) return *typed;
  return nullptr;
}

// The object an attribute is accessed on; Vorl::RangeException when `self` holds no
// object of class T (another object, a value, nothing).
template <class T>
Vorl::Ptr<T> objectAt(std::any const& self) {
  auto object = objectOf<T>(self);
  if (!object) {
    throw Vorl::RangeException("the attribute's object is not of the attribute's type");
  }
  return object;
}

template <class T>
T& valueOf(std::any& self) {
  if (auto* value = std::any_cast<T>(&self)) return *value;
  throw Vorl::RangeException("the value is not of the attribute's type");
}

// An attribute that only supports `op`, doing `run`.
template <class Run>
auto only(AttributeOp supported, Run run) {
  return [supported, run](std::any& self, AttributeOp op, Arguments const& arguments,
                          std::any& result) {
    if (op != supported) return AttributeAnswer::notSupported;
    run(self, arguments, result);
    return AttributeAnswer::done;
  };
}

template <class Value>
auto constantRead(Value value) {
  return only(AttributeOp::read, [value](std::any&, Arguments const&, std::any& result) {
    result = static_cast<U64>(value);
  });
}

inline AttributeInfo attribute(std::string name, AttributeKind kind, std::string type,
                               std::vector<Vorl::Parameter> parameters = {}) {
  AttributeInfo info;
  info.name = std::move(name);
  info.kind = kind;
  info.type = std::move(type);
  info.parameters = std::move(parameters);
  return info;
}

// A class function returning a name, e.g. tableName.
inline AttributeInfo nameFunction(std::string name, Vorl::String (*get)()) {
  auto info = attribute(std::move(name), AttributeKind::classFunction, "Vorl::String");
  info.access = only(AttributeOp::call, [get](std::any&, Arguments const&, std::any& result) {
    result = std::string(get());
  });
  return info;
}

// A function of an object without arguments or result, e.g. onDelete.
template <class T, class Run>
AttributeInfo objectFunction(std::string name, Run run) {
  auto info = attribute(std::move(name), AttributeKind::function, "");
  info.access = only(AttributeOp::call, [run](std::any& self, Arguments const&, std::any&) {
    run(*objectAt<T>(self));
  });
  return info;
}

inline AttributeInfo constant(std::string name, std::string type, U64 value) {
  auto info = attribute(std::move(name), AttributeKind::constant, std::move(type));
  info.access = constantRead(value);
  return info;
}

inline void numberFrom(std::uint32_t base, std::vector<AttributeInfo>& attributes) {
  for (auto& attribute : attributes) attribute.id = base++;
}

// Iteration over a snapshot of (key, value) pairs; deleting goes through `remove`.
template <class Key, class Value>
class SnapshotIterator : public Vorl::CollectionIterator {
 public:
  SnapshotIterator(std::vector<std::pair<Key, Value>> elements, std::function<void(Key const&)> remove)
      : elements_(std::move(elements)), remove_(std::move(remove)) {}
  bool atEnd() const override { return position_ >= elements_.size(); }
  std::any key() const override { return current().first; }
  std::any value() const override { return current().second; }
  void advance() override {
    if (!atEnd()) ++position_;
  }
  void deleteCurrent() override {
    remove_(current().first);
    advance();
  }

 private:
  std::pair<Key, Value> const& current() const {
    if (atEnd()) throw Vorl::RangeException("the iteration is at its end");
    return elements_[position_];
  }
  std::vector<std::pair<Key, Value>> elements_;
  std::function<void(Key const&)> remove_;
  std::size_t position_ = 0;
};

template <class Table>
std::string fullName(std::string_view suffix) {
  return std::string(Table::Model::Desc::info.fullName) + std::string(suffix);
}

template <class Table>
Vorl::TypeInfo entryKeyType() {
  using Key = typename Table::EntryKey;
  constexpr auto const& key = Table::Model::Desc::info.key;
  Vorl::TypeInfo type;
  type.name = Key::typeName();
  type.kind = Vorl::TypeKind::value;
  if constexpr (key.form == Framework::KeyForm::singleIndex) {
    auto value = attribute("value", AttributeKind::attribute, "U32");
    value.access = [](std::any& self, AttributeOp op, Arguments const& arguments, std::any& result) {
      auto& key = valueOf<Key>(self);
      if (op == AttributeOp::read) result = static_cast<U64>(key.value());
      else if (op == AttributeOp::write) key.valueIs(argument<U32>(arguments, 0));
      else return AttributeAnswer::notSupported;
      return AttributeAnswer::done;
    };
    auto entryIndex = attribute("entryIndex", AttributeKind::derivedValue, "U32");
    entryIndex.access = only(AttributeOp::read, [](std::any& self, Arguments const&, std::any& result) {
      result = static_cast<U64>(valueOf<Key>(self).entryIndex());
    });
    type.attributes = {value,
                       constant("arrayIndex", "U8", Key::arrayIndexConstant),
                       entryIndex,
                       constant("min", "U32", Key::min),
                       constant("max", "U32", Key::max),
                       constant("null", "U32", Key::null)};
    type.construct = [](Arguments const& arguments) {
      return std::any(Key(argument<U32>(arguments, 0)));
    };
  } else {
    auto arrayIndex = attribute("arrayIndex", AttributeKind::attribute, "U8");
    arrayIndex.access = [](std::any& self, AttributeOp op, Arguments const& arguments, std::any& result) {
      auto& key = valueOf<Key>(self);
      if (op == AttributeOp::read) result = static_cast<U64>(key.arrayIndex());
      else if (op == AttributeOp::write) key.arrayIndexIs(argument<U8>(arguments, 0));
      else return AttributeAnswer::notSupported;
      return AttributeAnswer::done;
    };
    auto entryIndex = attribute("entryIndex", AttributeKind::attribute, "U32");
    entryIndex.access = [](std::any& self, AttributeOp op, Arguments const& arguments, std::any& result) {
      auto& key = valueOf<Key>(self);
      if (op == AttributeOp::read) result = static_cast<U64>(key.entryIndex());
      else if (op == AttributeOp::write) key.entryIndexIs(argument<U32>(arguments, 0));
      else return AttributeAnswer::notSupported;
      return AttributeAnswer::done;
    };
    type.attributes = {constant("arrayIndexMin", "U8", Key::arrayIndexMin),
                       constant("arrayIndexMax", "U8", Key::arrayIndexMax),
                       arrayIndex,
                       constant("entryIndexMin", "U32", Key::entryIndexMin),
                       constant("entryIndexMax", "U32", Key::entryIndexMax),
                       entryIndex};
    type.construct = [](Arguments const& arguments) {
      return std::any(Key(argument<U8>(arguments, 0), argument<U32>(arguments, 1)));
    };
  }
  numberFrom(2, type.attributes);
  type.fromText = [](std::string const& text) {
    Key key;
    Tyvo::strepToValue(text, &key);
    return std::any(key);
  };
  type.toText = [](std::any const& value) { return fmt::format("{}", std::any_cast<Key>(value)); };
  type.hash = [](std::any const& value, std::uint32_t seed) { return std::any_cast<Key>(value).hash(seed); };
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
  numberFrom(2, type.attributes);
  type.construct = [](Arguments const& arguments) { return std::any(Index(argument<U32>(arguments, 0))); };
  type.fromText = [](std::string const& text) {
    Index index(0);
    Tyvo::strepToValue(text, &index);
    return std::any(index);
  };
  type.toText = [](std::any const& value) {
    return fmt::format("{{value={}}}", std::any_cast<Index>(value).value());
  };
  return type;
}

// The value of a field setter's argument, refused when wider than the field.
inline U64 fieldValue(Framework::FieldInfo const& field, Arguments const& arguments, std::size_t index) {
  auto value = argument<U64>(arguments, index);
  if (field.width < 64 && value >> field.width != 0) {
    throw Vorl::RangeException(fmt::format("{:#x} is too wide for {} ({} bits)", value, field.name,
                                           field.width));
  }
  return value;
}

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
  dataByte0.iterate = [](std::any& self) -> std::unique_ptr<Vorl::CollectionIterator> {
    auto* entry = &valueOf<Entry>(self);
    std::vector<std::pair<Index, U64>> bytes;
    for (U32 index = 0; index < Entry::entrySize(); ++index) {
      bytes.emplace_back(Index(index), entry->dataByte0(index));
    }
    return std::make_unique<SnapshotIterator<Index, U64>>(
        std::move(bytes), [entry](Index const& index) { entry->dataByte0Del(index); });
  };
  auto entrySize = attribute("entrySize", AttributeKind::classFunction, "U32");
  entrySize.access = only(AttributeOp::call, [](std::any&, Arguments const&, std::any& result) {
    result = static_cast<U64>(Entry::entrySize());
  });
  auto entrySizeBits = attribute("entrySizeBits", AttributeKind::classFunction, "U32");
  entrySizeBits.access = only(AttributeOp::call, [](std::any&, Arguments const&, std::any& result) {
    result = static_cast<U64>(Entry::entrySizeBits());
  });
  type.attributes = {entryKey, dataByte0, entrySize, entrySizeBits};
  for (auto const& accessor : Fields::accessors()) {
    auto const& field = *accessor.info;
    std::string fieldType(field.typeName);
    bool indexed = field.kind == Framework::FieldKind::indexed;
    std::vector<Vorl::Parameter> getterParameters;
    std::vector<Vorl::Parameter> setterParameters;
    if (indexed) {
      getterParameters.push_back({"index", "U32"});
      setterParameters.push_back({"index", "U32"});
    }
    setterParameters.push_back({"val", fieldType});
    auto getter = attribute(std::string(field.name), AttributeKind::function, fieldType, getterParameters);
    auto setter = attribute(std::string(field.name) + "Is", AttributeKind::function, "", setterParameters);
    if (field.kind == Framework::FieldKind::bitmap) {
      getter.access = only(AttributeOp::call, [accessor](std::any& self, Arguments const&, std::any& result) {
        result = accessor.getBitmap(valueOf<Entry>(self));
      });
      setter.access = only(AttributeOp::call, [accessor](std::any& self, Arguments const& arguments, std::any&) {
        accessor.setBitmap(valueOf<Entry>(self), argument<Lutz::PerUnitBitmap>(arguments, 0));
      });
    } else {
      getter.access = only(AttributeOp::call, [accessor, indexed](std::any& self, Arguments const& arguments,
                                                                  std::any& result) {
        result = accessor.get(valueOf<Entry>(self), indexed ? argument<U32>(arguments, 0) : 0);
      });
      setter.access = only(AttributeOp::call, [accessor, indexed](std::any& self, Arguments const& arguments,
                                                                  std::any&) {
        U32 index = indexed ? argument<U32>(arguments, 0) : 0;
        auto value = fieldValue(*accessor.info, arguments, indexed ? 1 : 0);
        accessor.set(valueOf<Entry>(self), index, value);
      });
    }
    type.attributes.push_back(std::move(getter));
    type.attributes.push_back(std::move(setter));
  }
  numberFrom(2, type.attributes);
  type.construct = [](Arguments const& arguments) { return std::any(Entry(argument<Key>(arguments, 0))); };
  type.fromText = [](std::string const& text) {
    Tyvo::CharRange range(text);
    Entry entry(range);  // an entry has no text form: a fatal assertion
    return std::any(entry);
  };
  type.toText = [](std::any const& value) { return fmt::format("{}", std::any_cast<Entry>(value)); };
  return type;
}

}  // namespace Readers::detail

namespace Readers::detail {

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
  numberFrom(258, type.attributes);
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
  numberFrom(514, type.attributes);
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
  numberFrom(258, type.attributes);
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
  numberFrom(642, type.attributes);
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
  numberFrom(258, type.attributes);
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
  numberFrom(386, type.attributes);
  // Generic construction: a reader of a table key, like the reader's ...ReaderIs.
  type.construct = [](Arguments const& arguments) {
    return std::any(Vorl::Ptr<Vorl::Node>(
        Vorl::makePtr<Reader>(argument<Tessar::HwTableKey>(arguments, 0),
                              argument<Vorl::Ptr<Tessar::ReadTableManager>>(arguments, 1))));
  };
  return type;
}

}  // namespace Readers::detail

namespace Readers {

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

}  // namespace Readers
