// How the console's commands reach a table they know only by name: through the type
// runtime (its module record, its types' text forms, attributes and functions by
// name), the platform's registries and the table's description. Shared by the units
// of the console (AgentSession.cc, AgentEntryCommands.cc, AgentChipCommands.cc).
#pragma once

#include <any>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/TableInfo.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tyvo/TypeRuntime.h"
#include "tools/hwtables/AgentSession.h"
#include "tools/hwtables/ChipRows.h"

namespace Tool {

// One table as the session drives it: its description, module, types and object.
struct TableHandle {
  Framework::TableInfo const* info = nullptr;
  Vorl::ModuleInspectData const* module = nullptr;
  Vorl::Ptr<Tessar::HwCommonShadowTableBase> table;
  std::any object;
  Vorl::TypeDescriptor tableType;
  Vorl::TypeDescriptor keyType;
  Vorl::TypeDescriptor entryType;

  std::string name() const { return std::string(info->className); }

  // The key of `text`, and the position it names. The tool's check words a value
  // out of range with its numbers; the type runtime parses.
  std::any key(std::string const& text, KeyPosition& position) const;
  // The entry's data bytes, read through its `dataByte0` collection.
  std::vector<U8> data(std::any entry) const;
  // Whether the shadow stores an entry under the key at `position`.
  bool holds(Tessar::HwShadowKey shadowKey, KeyPosition position) const;
};

// The entry a line names (TABLE FAP KEY): its table, shadow and key.
struct EntryTarget {
  TableHandle handle;
  Tessar::HwShadowKey shadowKey;
  std::any shadowKeyValue;  // the shadow key as the type runtime passes it
  std::any key;
  KeyPosition position;
  std::optional<std::string> missingRow;  // why the chip has no row for the key

  std::any call(std::string_view function) const;
};

// Calls a function attribute by name. The table module publishes every function the
// console calls, so a missing or uncallable one is the module's fault, not the line's.
std::any call(Vorl::TypeDescriptor type, std::any& self, std::string_view name,
              Vorl::Arguments const& arguments);
U64 readNumber(Vorl::TypeDescriptor type, std::any& self, std::string_view name);
// The lines of a text, each without its line break.
void appendLines(std::string const& text, std::vector<std::string>& lines);
nlohmann::ordered_json positionJson(KeyPosition position);
// The entry as text (its text form, then its fields that are not zero) and as JSON:
// into the reply's JSON, or appended to `into`.
void entryReply(TableHandle const& handle, std::any const& entry, KeyPosition position,
                AgentReply& reply, nlohmann::ordered_json* into = nullptr);

}  // namespace Tool
