// The type runtime: what lets a tool inspect, print, parse, construct and call a
// table's types without compiled-in knowledge of them.
//
// Each table module publishes one Vorl::ModuleInspectData record: its types in a
// fixed order (a type's position is its type index), and per type its attributes
// (id, name, kind, type, key type of a collection, parameters of a function) and its
// generic operations. Values travel through the runtime as std::any: value types
// (keys, entries) by value, objects (tables, readers, results) as Vorl::Ptr<Vorl::Node>.
//
// Attribute access answers, never throws, for the two cases a caller must expect:
// 0 done, 1 the attribute does not support the operation, 2 the id is not one of the
// type's attributes. What the attribute itself throws (a key out of range, a table
// refusing an unknown shadow key) passes through unchanged.
//
// Text forms: `{name=value name=value}`, optionally preceded by the type's full name
// (`bcm88490_a0::IppaBsplProfileTblHwDirect::EntryKey{arrayIndex=2 entryIndex=5}`);
// numbers in decimal or 0x-hex; attributes in the published order; spaces or commas
// between them. Text left over after the value is a parse error.
//
// Thread-safety: records are built at load time and only read afterwards.
#pragma once

#include "platform/plugin/Export.h"

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Types.h"

namespace Vorl {

enum class AttributeKind : std::uint8_t {
  attribute,          // stored, readable and writable
  readOnlyAttribute,  // stored, readable only
  derivedValue,       // computed from stored values, readable only
  constant,           // class constant
  collection,         // keyed collection of values
  pointer,            // reference to another object
  function,           // callable on an object
  classFunction,      // callable without an object
  internalFunction,   // published by name and parameters, not callable here
};

HWTABLES_API std::string_view attributeKindName(AttributeKind kind);

enum class AttributeOp : int { read = 0, write = 1, call = 10 };
enum class AttributeAnswer : int { done = 0, notSupported = 1, notAnAttribute = 2 };

struct HWTABLES_API Parameter {
  std::string name;
  std::string type;
};

// Iteration over one collection attribute of one value or object.
class HWTABLES_API CollectionIterator {
 public:
  virtual ~CollectionIterator() = default;
  virtual bool atEnd() const = 0;
  virtual std::any key() const = 0;
  virtual std::any value() const = 0;
  virtual void advance() = 0;
  // Deletes the current element and moves to the next.
  virtual void deleteCurrent() = 0;
};

using Arguments = std::vector<std::any>;

struct HWTABLES_API AttributeInfo {
  std::uint32_t id = 0;
  std::string name;
  AttributeKind kind = AttributeKind::function;
  std::string type;     // value type, return type of a function; empty for none
  std::string keyType;  // collections only
  std::vector<Parameter> parameters;

  // Read, write or call; null where the attribute supports none of them here.
  std::function<AttributeAnswer(std::any& self, AttributeOp op, Arguments const& arguments,
                                std::any& result)>
      access;
  // Collections: an iterator at the first element.
  std::function<std::unique_ptr<CollectionIterator>(std::any& self)> iterate;
};

enum class TypeKind : std::uint8_t { value, object };

struct HWTABLES_API TypeInfo {
  std::string name;  // full name, e.g. "bcm88490_a0::IppaBsplProfileTblHwDirect::EntryKey"
  TypeKind kind = TypeKind::value;
  std::vector<AttributeInfo> attributes;

  std::function<std::any(Arguments const&)> construct;  // null: not constructible here
  std::function<std::any(std::string const&)> fromText;  // null: no text form
  std::function<std::string(std::any const&)> toText;
  std::function<std::uint32_t(std::any const&, std::uint32_t seed)> hash;  // null: not hashable

  AttributeInfo const* attribute(std::uint32_t id) const;
  AttributeInfo const* attribute(std::string_view name) const;
};

class ModuleInspectData;

// One type of one module: (record, type index).
struct HWTABLES_API TypeDescriptor {
  ModuleInspectData const* module = nullptr;
  std::uint32_t typeIndex = 0;

  TypeInfo const& info() const;
  bool operator==(TypeDescriptor const&) const = default;
};

class HWTABLES_API ModuleInspectData {
 public:
  // `tableName` names the module's table; `name` is the record's own global name.
  // Constant-initialised, so other modules' static initialisers may use a record
  // whatever the order the files are initialised in.
  constexpr ModuleInspectData(std::string_view name, std::string_view tableName)
      : name_(name), tableName_(tableName) {}
  ModuleInspectData(ModuleInspectData const&) = delete;
  ModuleInspectData& operator=(ModuleInspectData const&) = delete;

  std::string_view name() const { return name_; }
  std::string_view tableName() const { return tableName_; }

  // Marks the module loaded and makes it findable; once only, later calls do nothing.
  void loaded();
  // Withdraws the module (its plug-in is refused or unloaded): no longer findable, and
  // its types are dropped, so it can be described and loaded again.
  void unloaded();
  bool isLoaded() const { return loaded_; }

  std::vector<TypeInfo> const& types() const { return types_; }
  TypeDescriptor typeIs(TypeInfo type);  // appends; returns its descriptor
  TypeInfo& typeAt(std::uint32_t index) { return types_.at(index); }
  // The descriptor of the type of that full name, or one with a null module.
  TypeDescriptor type(std::string_view fullName) const;

  // Types of other modules that attributes refer to, in first-use order.
  std::vector<std::string> foreignTypes() const;

 private:
  std::string_view name_;
  std::string_view tableName_;
  bool loaded_ = false;
  std::vector<TypeInfo> types_;
};

// Every loaded module, in load order.
HWTABLES_API std::vector<ModuleInspectData const*> loadedModules();
// The loaded module of that table, or null.
HWTABLES_API ModuleInspectData const* loadedModule(std::string_view tableName);

// Generic operations on a value or object of `type`, by attribute id.
HWTABLES_API AttributeAnswer attributeAccess(TypeDescriptor type, std::any& self, std::uint32_t id,
                                AttributeOp op, Arguments const& arguments, std::any& result);

class HWTABLES_API NonHashableTypeException : public Exception {
 public:
  using Exception::Exception;
};

class HWTABLES_API ParseException : public Exception {
 public:
  using Exception::Exception;
};

namespace Inspect {
// The runtime's error for a hash asked of a type that has none.
[[noreturn]] HWTABLES_API void throwNonHashableType(TypeDescriptor type);
}  // namespace Inspect

// The hash of a value of `type`; the non-hashable error for a type without one.
HWTABLES_API std::uint32_t hashValue(TypeDescriptor type, std::any const& value, std::uint32_t seed = 0);

}  // namespace Vorl

namespace Tyvo {

// A position in a text being parsed.
class HWTABLES_API CharRange {
 public:
  explicit CharRange(std::string_view text) : text_(text) {}

  std::string_view rest() const { return text_.substr(position_); }
  bool atEnd() const { return position_ >= text_.size(); }
  void skipSpace();
  // Consumes `token` (after spaces) if the text continues with it.
  bool consume(std::string_view token);
  void expect(std::string_view token);
  // The attribute `name=`, then an unsigned number no larger than `max`.
  std::uint64_t numberAttribute(std::string_view name, std::uint64_t max);

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

// Reads `{name=value` (the opening brace, optionally after `typePrefix`).
template <class T>
T desAttrPre(CharRange& range, std::string_view name, std::string_view typePrefix) {
  range.skipSpace();
  range.consume(typePrefix);
  range.expect("{");
  return static_cast<T>(range.numberAttribute(name, static_cast<T>(~T{})));
}

// Reads ` name=value}`.
template <class T>
T desAttrPost(CharRange& range, std::string_view name) {
  range.consume(",");
  auto value = static_cast<T>(range.numberAttribute(name, static_cast<T>(~T{})));
  range.expect("}");
  return value;
}

// Reads `{name=value}`, optionally after `typePrefix`.
template <class T>
T deserializeAttr(CharRange& range, std::string_view name, std::string_view typePrefix = {}) {
  auto value = desAttrPre<T>(range, name, typePrefix);
  range.expect("}");
  return value;
}

// Throws Vorl::ParseException when text is left after the value.
HWTABLES_API void CharRangeCheckAllDataConsumed(CharRange& range);

// Parses `text` with T's text constructor into `*value`; the whole text must be used.
template <class T>
void strepToValue(std::string const& text, T* value) {
  CharRange range(text);
  T parsed(range);
  CharRangeCheckAllDataConsumed(range);
  *value = parsed;
}

}  // namespace Tyvo
