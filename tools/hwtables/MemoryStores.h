// What the tool needs to read a memory table's shadow store from outside the writer:
// where it lies and how its entries look.
//
// withMemoryTable(name, what, visit) calls visit(MemoryTableTag<Table>{}) for the
// memory table of that class name, so a command can use the table's entry type (its
// store traits, key and fields) without table-specific code. A register or an unknown
// name is refused with UsageError ("<name> is a register; <what> memory tables"). The helpers describe keys and entries in text and JSON, decoded into
// named fields.
#pragma once

#include <string>
#include <string_view>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/Keys.h"
#include "platform/tessar/ShadowPath.h"
#include "tables/AllTables.h"
#include "tables/Catalogue.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/FieldDecoder.h"

namespace Tool {

template <class Table>
struct MemoryTableTag {
  using Type = Table;
  using Entry = typename Table::Entry;
  using EntryKey = typename Table::EntryKey;
  using Storage = typename Table::Shadow::EntryStorage;
  using Traits = typename Storage::Traits;
  using Value = typename Storage::Value;
};

namespace detail {

template <class Table, class Visitor>
void visitIfMemory(std::string_view wanted, std::string_view className, bool& found,
                   Visitor& visit) {
  if constexpr (!Table::Model::Desc::info.isRegister()) {
    if (!found && wanted == className) {
      found = true;
      visit(MemoryTableTag<Table>{});
    }
  }
}

}  // namespace detail

template <class Visitor>
void withMemoryTable(std::string_view className, std::string_view what, Visitor&& visit) {
  bool found = false;
#define HW_VISIT_MEMORY(Class) \
  detail::visitIfMemory<bcm88490_a0::Class>(className, #Class, found, visit);
  HW_FOR_EACH_TABLE(HW_VISIT_MEMORY)
#undef HW_VISIT_MEMORY
  if (found) return;
  if (bcm88490_a0::tableInfo(className) != nullptr) {
    throw UsageError(fmt::format("{} is a register; {} memory tables", className, what));
  }
  throw UsageError(fmt::format("unknown table '{}' (see `hwtables tables`)", className));
}

// The directory of a shadow's store below `root`.
inline std::string memoryStoreDirectory(std::string const& root, std::string const& revisionText,
                                        std::string_view fullName, Tessar::HwShadowKey key) {
  return fmt::format("{}/{}", root,
                     Tessar::Constants::shadowTblBrellPath(revisionText, std::string(fullName),
                                                           key.toString()));
}

template <class EntryKey>
std::string keyText(EntryKey const& key) {
  return fmt::format("{}", key);
}

template <class EntryKey>
nlohmann::ordered_json keyJson(EntryKey const& key) {
  return {{"arrayIndex", key.arrayIndex()}, {"entryIndex", key.entryIndex()}};
}

template <class Entry>
std::string entryText(std::string_view className, Entry const& entry) {
  std::string text = Pelcar::hexBytes(entry.dataBytes(), Entry::entrySize());
  for (auto const& field : decodeFields(className, {entry.dataBytes(), Entry::entrySize()})) {
    if (field.value == "0" || field.value == "0x0") continue;
    text += fmt::format(" {}={}", field.name, field.value);
  }
  return text;
}

template <class Entry>
nlohmann::ordered_json entryJson(std::string_view className, Entry const& entry) {
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
  for (auto const& field : decodeFields(className, {entry.dataBytes(), Entry::entrySize()})) {
    fields[field.name] = field.value;
  }
  return {{"data", Pelcar::hexBytes(entry.dataBytes(), Entry::entrySize())}, {"fields", fields}};
}

}  // namespace Tool
