#include "platform/tyvo/TypeRuntime.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <mutex>
#include <set>

#include <fmt/format.h>

namespace Vorl {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<ModuleInspectData const*> modules;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

std::string_view attributeKindName(AttributeKind kind) {
  switch (kind) {
    case AttributeKind::attribute: return "attribute";
    case AttributeKind::readOnlyAttribute: return "read-only attribute";
    case AttributeKind::derivedValue: return "derived value";
    case AttributeKind::constant: return "constant";
    case AttributeKind::collection: return "collection";
    case AttributeKind::pointer: return "pointer";
    case AttributeKind::function: return "function";
    case AttributeKind::classFunction: return "class function";
    case AttributeKind::internalFunction: return "internal function";
  }
  return "unknown";
}

AttributeInfo const* TypeInfo::attribute(std::uint32_t id) const {
  for (auto const& attribute : attributes) {
    if (attribute.id == id) return &attribute;
  }
  return nullptr;
}

AttributeInfo const* TypeInfo::attribute(std::string_view name) const {
  for (auto const& attribute : attributes) {
    if (attribute.name == name) return &attribute;
  }
  return nullptr;
}

TypeInfo const& TypeDescriptor::info() const { return module->types().at(typeIndex); }

void ModuleInspectData::loaded() {
  if (loaded_) return;
  loaded_ = true;
  std::lock_guard lock(registry().mutex);
  registry().modules.push_back(this);
}

void ModuleInspectData::unloaded() {
  {
    std::lock_guard lock(registry().mutex);
    std::erase(registry().modules, this);
  }
  loaded_ = false;
  types_.clear();
}

TypeDescriptor ModuleInspectData::typeIs(TypeInfo type) {
  types_.push_back(std::move(type));
  return {this, static_cast<std::uint32_t>(types_.size() - 1)};
}

TypeDescriptor ModuleInspectData::type(std::string_view fullName) const {
  for (std::uint32_t index = 0; index < types_.size(); ++index) {
    if (types_[index].name == fullName) return {this, index};
  }
  return {};
}

std::vector<std::string> ModuleInspectData::foreignTypes() const {
  std::set<std::string> own;
  for (auto const& type : types_) own.insert(type.name);
  std::vector<std::string> foreign;
  auto note = [&](std::string const& name) {
    if (name.empty() || own.contains(name)) return;
    if (std::find(foreign.begin(), foreign.end(), name) == foreign.end()) foreign.push_back(name);
  };
  for (auto const& type : types_) {
    for (auto const& attribute : type.attributes) {
      note(attribute.type);
      note(attribute.keyType);
      for (auto const& parameter : attribute.parameters) note(parameter.type);
    }
  }
  return foreign;
}

std::vector<ModuleInspectData const*> loadedModules() {
  std::lock_guard lock(registry().mutex);
  return registry().modules;
}

ModuleInspectData const* loadedModule(std::string_view tableName) {
  for (auto const* module : loadedModules()) {
    if (module->tableName() == tableName) return module;
  }
  return nullptr;
}

AttributeAnswer attributeAccess(TypeDescriptor type, std::any& self, std::uint32_t id,
                                AttributeOp op, Arguments const& arguments, std::any& result) {
  if (!type.module) return AttributeAnswer::notAnAttribute;
  auto const* attribute = type.info().attribute(id);
  if (!attribute) return AttributeAnswer::notAnAttribute;
  if (!attribute->access) return AttributeAnswer::notSupported;
  return attribute->access(self, op, arguments, result);
}

namespace Inspect {
void throwNonHashableType(TypeDescriptor type) {
  throw NonHashableTypeException(
      fmt::format("{} is not a hashable type", type.module ? type.info().name : "(no type)"));
}
}  // namespace Inspect

std::uint32_t hashValue(TypeDescriptor type, std::any const& value, std::uint32_t seed) {
  if (!type.module || !type.info().hash) Inspect::throwNonHashableType(type);
  return type.info().hash(value, seed);
}

}  // namespace Vorl

namespace Tyvo {

void CharRange::skipSpace() {
  while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_]))) {
    ++position_;
  }
}

bool CharRange::consume(std::string_view token) {
  skipSpace();
  if (token.empty() || rest().substr(0, token.size()) != token) return false;
  position_ += token.size();
  return true;
}

void CharRange::expect(std::string_view token) {
  if (!consume(token)) {
    throw Vorl::ParseException(fmt::format("expected '{}' at '{}'", token, rest()));
  }
}

std::uint64_t CharRange::numberAttribute(std::string_view name, std::uint64_t max) {
  skipSpace();
  if (rest().substr(0, name.size()) != name) {
    throw Vorl::ParseException(fmt::format("expected attribute '{}' at '{}'", name, rest()));
  }
  position_ += name.size();
  expect("=");
  skipSpace();
  auto text = rest();
  int base = 10;
  std::size_t skip = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    skip = 2;
  }
  std::uint64_t value = 0;
  auto begin = text.data() + skip;
  auto [end, error] = std::from_chars(begin, text.data() + text.size(), value, base);
  if (error == std::errc::result_out_of_range || (error == std::errc() && value > max)) {
    throw Vorl::ParseException(fmt::format("{} is too large for '{}' (at most {})",
                                           std::string_view(text.data(), end - text.data()),
                                           name, max));
  }
  if (error != std::errc() || end == begin) {
    throw Vorl::ParseException(fmt::format("expected a number for '{}' at '{}'", name, text));
  }
  position_ += static_cast<std::size_t>(end - text.data());
  return value;
}

void CharRangeCheckAllDataConsumed(CharRange& range) {
  range.skipSpace();
  if (!range.atEnd()) {
    throw Vorl::ParseException(fmt::format("unexpected text after the value: '{}'", range.rest()));
  }
}

}  // namespace Tyvo
