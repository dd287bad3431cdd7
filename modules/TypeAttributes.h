// The pieces every type description is made of: typed access to an attribute's
// arguments and object, attribute builders, attribute-id numbering and iteration over
// a snapshot. Included by the type descriptions (modules/TypeDescriptions.h) only.
#pragma once


#include <fmt/format.h>

#include "framework/FieldAccessor.h"
#include "platform/asic/LogEntry.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Exceptions.h"

namespace Modules::detail {

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

// The first attribute id of each kind of type: a type's attributes are numbered from
// it in list order. Peers and stored records know attributes by these ids, so their
// values never change.
inline constexpr std::uint32_t kValueAttributeBase = 2;     // EntryKey, DataByte0Index, Entry
inline constexpr std::uint32_t kObjectAttributeBase = 258;  // TableDescriptor, EntryStorage,
                                                            // the reader's read result
inline constexpr std::uint32_t kReaderAttributeBase = 386;
inline constexpr std::uint32_t kShadowAttributeBase = 514;
inline constexpr std::uint32_t kTableAttributeBase = 642;

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

}  // namespace Modules::detail
