// What the tool needs to read a memory table's shadow store from outside the writer:
// where it lies and how its entries look, known only through the table's registered
// record (framework/TableRegistry.h), never through its compiled-in types.
//
// Table names are matched as typed, else ignoring case; an unknown name is refused
// with the nearest one (tableNamed). memoryTable(name, what) is the record of the
// memory table of that name; a register is refused with UsageError ("<name> is a
// register; <what> memory tables"). The helpers describe keys and entries in text
// and JSON, decoded into named fields (FieldDecoder.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/TableRegistry.h"
#include "platform/tessar/Keys.h"
#include "tools/hwtables/FieldDecoder.h"

namespace Tool {

// The loaded tables, in module order.
std::vector<Framework::TableInfo const*> tableCatalogue();
// The loaded table of that class name (ignoring case when no name matches exactly),
// or null.
Framework::TableInfo const* tableInfo(std::string_view className);
// The same; an unknown name is a UsageError with the nearest name and where the
// names are listed.
Framework::TableInfo const& tableNamed(std::string_view className);

std::shared_ptr<Framework::TableRecord const> memoryTable(std::string_view className,
                                                          std::string_view what);

// The directory of a shadow's store below `root`.
std::string memoryStoreDirectory(std::string const& root, std::string const& revisionText,
                                 std::string_view fullName, Tessar::HwShadowKey key);

nlohmann::ordered_json keyJson(Framework::StoredKey const& key);
// The entry's data in hex, then its fields that are not zero as name=value.
std::string entryText(std::string_view className, std::vector<U8> const& data);
nlohmann::ordered_json entryJson(std::string_view className, std::vector<U8> const& data);

}  // namespace Tool
