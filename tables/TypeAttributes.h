// The pieces every type description is made of: typed access to an attribute's
// arguments and object, attribute builders, attribute-id numbering and iteration over
// a snapshot. Included by the type descriptions (modules/TypeDescriptions.h) only.
//
// A description hands its handlers over as plain functions (lambdas without captures)
// and `handler` and `only` wrap them in the runtime's std::function in
// TypeAttributes.cc, compiled once. A std::function made from a lambda is instantiated
// anew for every lambda of every table; made here, each table's unit compiles only the
// handlers' own bodies.
#pragma once

#include <memory>
#include <span>

#include "framework/FieldAccessor.h"
#include "platform/asic/LogEntry.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Exceptions.h"

namespace Modules::detail {

using Vorl::Arguments;
using Vorl::AttributeAnswer;
using Vorl::AttributeInfo;
using Vorl::AttributeKind;
using Vorl::AttributeOp;

// The refusals of argument(), objectAt() and valueOf(), made in one place.
[[noreturn]] void missingArgument(std::size_t index);
[[noreturn]] void argumentTooLarge(std::size_t index, U64 number);
[[noreturn]] void argumentNotA(std::size_t index, char const* typeName);
[[noreturn]] void notTheAttributesObject();
[[noreturn]] void notTheAttributesValue();
[[noreturn]] void iterationAtEnd();

template <class T>
struct PointerTo {};
template <class T>
struct PointerTo<Vorl::Ptr<T>> {
  using Pointee = T;
};
template <class T>
concept ObjectPointer = requires {
  typename PointerTo<T>::Pointee;
};

template <class T>
T argument(Arguments const& arguments, std::size_t index) {
  if (index >= arguments.size()) missingArgument(index);
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
        argumentTooLarge(index, *number);
      }
      return static_cast<T>(*number);
    }
  }
  if constexpr (std::is_same_v<T, Tessar::HwShadowKey>) {
    if (auto const* number = std::any_cast<U64>(&arguments[index]); number && *number <= 0xFFFF) {
      return Tessar::HwShadowKey(static_cast<std::uint16_t>(*number));
    }
  }
  argumentNotA(index, typeid(T).name());
}

// An argument that may be left out (or given empty): T{} then.
template <class T>
T optionalArgument(Arguments const& arguments, std::size_t index) {
  if (index >= arguments.size() || !arguments[index].has_value()) return T{};
  return argument<T>(arguments, index);
}

// The arguments every table's attributes take, instantiated once (TypeAttributes.cc);
// only a table's own key and entry are instantiated with the table.
#define HWTABLES_SHARED_ARGUMENT_TYPES(X)                                                  \
  X(U8) X(U32) X(U64) X(bool) X(Pelcar::Fapmask) X(Hardware::Sand::FapRevision)           \
  X(Tessar::HwShadowKey) X(Tessar::HwTableKey) X(Lutz::PerUnitBitmap)                     \
  X(Vorl::Ptr<Asic::LogEntryWrapperBase>) X(Vorl::Ptr<Tessar::TableManager>)               \
  X(Vorl::Ptr<Tessar::ReadTableManager>) X(Vorl::Ptr<Ombra::TableManager>)
#define HWTABLES_EXTERN_ARGUMENT(T)                                             \
  extern template T argument<T>(Arguments const& arguments, std::size_t index); \
  extern template T optionalArgument<T>(Arguments const& arguments, std::size_t index);
HWTABLES_SHARED_ARGUMENT_TYPES(HWTABLES_EXTERN_ARGUMENT)
#undef HWTABLES_EXTERN_ARGUMENT

// The object an attribute is accessed on, of class T; null when `self` holds none.
template <class T>
Vorl::Ptr<T> objectOf(std::any const& self) {
  if (auto const* node = std::any_cast<Vorl::Ptr<Vorl::Node>>(&self))
    return Vorl::ptrCast<T>(*node);
  if (auto const* typed = std::any_cast<Vorl::Ptr<T>>(&self)) return *typed;
  return nullptr;
}

// The object an attribute is accessed on; Vorl::RangeException when `self` holds no
// object of class T (another object, a value, nothing).
template <class T>
Vorl::Ptr<T> objectAt(std::any const& self) {
  auto object = objectOf<T>(self);
  if (!object) notTheAttributesObject();
  return object;
}

template <class T>
T& valueOf(std::any& self) {
  if (auto* value = std::any_cast<T>(&self)) return *value;
  notTheAttributesValue();
}

// The handlers a description is made of, as plain functions.
using Run = void (*)(std::any& self, Arguments const& arguments, std::any& result);
using Access = AttributeAnswer (*)(std::any& self, AttributeOp op, Arguments const& arguments,
                                   std::any& result);
using Iterate = std::unique_ptr<Vorl::CollectionIterator> (*)(std::any& self);
using Construct = std::any (*)(Arguments const& arguments);
using FromText = std::any (*)(std::string const& text);
using ToText = std::string (*)(std::any const& value);
using Hash = std::uint32_t (*)(std::any const& value, std::uint32_t seed);

// Each handler as the runtime holds it.
decltype(AttributeInfo::access) handler(Access access);
decltype(AttributeInfo::iterate) handler(Iterate iterate);
decltype(Vorl::TypeInfo::construct) handler(Construct construct);
decltype(Vorl::TypeInfo::fromText) handler(FromText fromText);
decltype(Vorl::TypeInfo::toText) handler(ToText toText);
decltype(Vorl::TypeInfo::hash) handler(Hash hash);

// An attribute that only supports `op`, doing `run`.
decltype(AttributeInfo::access) only(AttributeOp supported, Run run);

AttributeInfo attribute(std::string name, AttributeKind kind, std::string type,
                        std::vector<Vorl::Parameter> parameters = {});

// A class function returning a name, e.g. tableName.
AttributeInfo nameFunction(std::string name, Vorl::String (*get)());

AttributeInfo constant(std::string name, std::string type, U64 value);

// A function of an object without arguments or result, e.g. onDelete; `run` is a
// lambda without captures, made again where it is called.
template <class T, class Run>
AttributeInfo objectFunction(std::string name, Run) {
  static_assert(std::is_empty_v<Run> && std::is_default_constructible_v<Run>);
  auto info = attribute(std::move(name), AttributeKind::function, "");
  info.access = only(AttributeOp::call, [](std::any& self, Arguments const&, std::any&) {
    Run{}(*objectAt<T>(self));
  });
  return info;
}

// How one table's entry fields are read and written by their position in the table's
// description: one plain function per operation, made per table (ValueTypes.h).
struct FieldOperations {
  U64 (*get)(std::any& self, std::size_t field, U32 index);
  void (*set)(std::any& self, std::size_t field, U32 index, U64 value);
  Lutz::PerUnitBitmap (*getBitmap)(std::any& self, std::size_t field);
  void (*setBitmap)(std::any& self, std::size_t field, Lutz::PerUnitBitmap const& value);
};

// A getter (the field's name) and a setter (name + "Is") per field, in description
// order. A setter refuses a value wider than its field (Vorl::RangeException).
void addFieldAttributes(std::vector<AttributeInfo>& attributes,
                        std::span<Framework::FieldInfo const> fields, FieldOperations operations);

// The first attribute id of each kind of type: a type's attributes are numbered from
// it in list order. Peers and stored records know attributes by these ids, so their
// values never change.
inline constexpr std::uint32_t kValueAttributeBase = 2;     // EntryKey, DataByte0Index, Entry
inline constexpr std::uint32_t kObjectAttributeBase = 258;  // TableDescriptor, EntryStorage,
                                                            // the reader's read result
inline constexpr std::uint32_t kReaderAttributeBase = 386;
inline constexpr std::uint32_t kShadowAttributeBase = 514;
inline constexpr std::uint32_t kTableAttributeBase = 642;

void numberFrom(std::uint32_t base, std::vector<AttributeInfo>& attributes);

// Iteration over a snapshot of (key, value) pairs; deleting goes through `remove`.
template <class Key, class Value, class Remove>
class SnapshotIterator : public Vorl::CollectionIterator {
 public:
  SnapshotIterator(std::vector<std::pair<Key, Value>> elements, Remove remove)
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
    if (atEnd()) iterationAtEnd();
    return elements_[position_];
  }
  std::vector<std::pair<Key, Value>> elements_;
  Remove remove_;
  std::size_t position_ = 0;
};

template <class Key, class Value, class Remove>
std::unique_ptr<Vorl::CollectionIterator> snapshotIterator(
    std::vector<std::pair<Key, Value>> elements, Remove remove) {
  return std::make_unique<SnapshotIterator<Key, Value, Remove>>(std::move(elements),
                                                                std::move(remove));
}

}  // namespace Modules::detail
