// What every table's type descriptions share, compiled once: the wrapping of their
// handlers, the attribute builders and the entry fields' attributes.
#include "tables/TypeAttributes.h"

#include <fmt/format.h>

namespace Modules::detail {

void missingArgument(std::size_t index) {
  throw Vorl::RangeException(fmt::format("missing argument {}", index + 1));
}

void argumentTooLarge(std::size_t index, U64 number) {
  throw Vorl::RangeException(fmt::format("argument {} ({}) is too large", index + 1, number));
}

void argumentNotA(std::size_t index, char const* typeName) {
  throw Vorl::RangeException(fmt::format("argument {} is not a {}", index + 1, typeName));
}

void notTheAttributesObject() {
  throw Vorl::RangeException("the attribute's object is not of the attribute's type");
}

void notTheAttributesValue() {
  throw Vorl::RangeException("the value is not of the attribute's type");
}

void iterationAtEnd() {
  throw Vorl::RangeException("the iteration is at its end");
}

#define HWTABLES_SHARED_ARGUMENT(T)                                      \
  template T argument<T>(Arguments const& arguments, std::size_t index); \
  template T optionalArgument<T>(Arguments const& arguments, std::size_t index);
HWTABLES_SHARED_ARGUMENT_TYPES(HWTABLES_SHARED_ARGUMENT)
#undef HWTABLES_SHARED_ARGUMENT

decltype(AttributeInfo::access) handler(Access access) {
  return access;
}
decltype(AttributeInfo::iterate) handler(Iterate iterate) {
  return iterate;
}
decltype(Vorl::TypeInfo::construct) handler(Construct construct) {
  return construct;
}
decltype(Vorl::TypeInfo::fromText) handler(FromText fromText) {
  return fromText;
}
decltype(Vorl::TypeInfo::toText) handler(ToText toText) {
  return toText;
}
decltype(Vorl::TypeInfo::hash) handler(Hash hash) {
  return hash;
}

decltype(AttributeInfo::access) only(AttributeOp supported, Run run) {
  return [supported, run](std::any& self, AttributeOp op, Arguments const& arguments,
                          std::any& result) {
    if (op != supported) return AttributeAnswer::notSupported;
    run(self, arguments, result);
    return AttributeAnswer::done;
  };
}

AttributeInfo attribute(std::string name, AttributeKind kind, std::string type,
                        std::vector<Vorl::Parameter> parameters) {
  AttributeInfo info;
  info.name = std::move(name);
  info.kind = kind;
  info.type = std::move(type);
  info.parameters = std::move(parameters);
  return info;
}

AttributeInfo nameFunction(std::string name, Vorl::String (*get)()) {
  auto info = attribute(std::move(name), AttributeKind::classFunction, "Vorl::String");
  info.access = [get](std::any&, AttributeOp op, Arguments const&, std::any& result) {
    if (op != AttributeOp::call) return AttributeAnswer::notSupported;
    result = std::string(get());
    return AttributeAnswer::done;
  };
  return info;
}

AttributeInfo constant(std::string name, std::string type, U64 value) {
  auto info = attribute(std::move(name), AttributeKind::constant, std::move(type));
  info.access = [value](std::any&, AttributeOp op, Arguments const&, std::any& result) {
    if (op != AttributeOp::read) return AttributeAnswer::notSupported;
    result = value;
    return AttributeAnswer::done;
  };
  return info;
}

namespace {

// The value of a field setter's argument, refused when wider than the field.
U64 fieldValue(Framework::FieldInfo const& field, Arguments const& arguments, std::size_t index) {
  auto value = argument<U64>(arguments, index);
  if (field.width < 64 && value >> field.width != 0) {
    throw Vorl::RangeException(
        fmt::format("{:#x} is too wide for {} ({} bits)", value, field.name, field.width));
  }
  return value;
}

// The getter's and the setter's access of one field. The arguments are taken before
// the entry, so that a call wrong in both is refused for its arguments.
void accessField(AttributeInfo& getter, AttributeInfo& setter, Framework::FieldInfo const& field,
                 std::size_t position, FieldOperations operations) {
  auto call = [](auto run) {
    return [run](std::any& self, AttributeOp op, Arguments const& arguments, std::any& result) {
      if (op != AttributeOp::call) return AttributeAnswer::notSupported;
      run(self, arguments, result);
      return AttributeAnswer::done;
    };
  };
  if (field.kind == Framework::FieldKind::bitmap) {
    getter.access =
        call([position, operations](std::any& self, Arguments const&, std::any& result) {
          result = operations.getBitmap(self, position);
        });
    setter.access =
        call([position, operations](std::any& self, Arguments const& arguments, std::any&) {
          operations.setBitmap(self, position, argument<Lutz::PerUnitBitmap>(arguments, 0));
        });
    return;
  }
  bool indexed = field.kind == Framework::FieldKind::indexed;
  getter.access = call([position, operations, indexed](std::any& self, Arguments const& arguments,
                                                       std::any& result) {
    U32 index = indexed ? argument<U32>(arguments, 0) : 0;
    result = operations.get(self, position, index);
  });
  // The field by value: the closure then holds all it needs, wherever the caller's
  // description lies.
  setter.access = call([field, position, operations, indexed](
                           std::any& self, Arguments const& arguments, std::any&) {
    U32 index = indexed ? argument<U32>(arguments, 0) : 0;
    auto value = fieldValue(field, arguments, indexed ? 1 : 0);
    operations.set(self, position, index, value);
  });
}

}  // namespace

void addFieldAttributes(std::vector<AttributeInfo>& attributes,
                        std::span<Framework::FieldInfo const> fields, FieldOperations operations) {
  for (std::size_t position = 0; position < fields.size(); ++position) {
    auto const& field = fields[position];
    std::string fieldType(field.typeName);
    bool indexed = field.kind == Framework::FieldKind::indexed;
    std::vector<Vorl::Parameter> getterParameters;
    std::vector<Vorl::Parameter> setterParameters;
    if (indexed) {
      getterParameters.push_back({"index", "U32"});
      setterParameters.push_back({"index", "U32"});
    }
    setterParameters.push_back({"val", fieldType});
    auto getter =
        attribute(std::string(field.name), AttributeKind::function, fieldType, getterParameters);
    auto setter =
        attribute(std::string(field.name) + "Is", AttributeKind::function, "", setterParameters);
    accessField(getter, setter, field, position, operations);
    attributes.push_back(std::move(getter));
    attributes.push_back(std::move(setter));
  }
}

void numberFrom(std::uint32_t base, std::vector<AttributeInfo>& attributes) {
  for (auto& attribute : attributes) attribute.id = base++;
}

}  // namespace Modules::detail
