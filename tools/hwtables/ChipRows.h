// One check of the keys and FAPs a command names, used by every command.
//
// A table's key type takes a value the chip has no row for: a single-index key runs
// 0..null and `null` names no row (an 8-row memory's keys are 0..8, its rows 0..7).
// The library keeps such a key valid, and a shadow stores what it is given, but no
// command can write it to the chip. So the tool
//   - refuses at `set` and `schan` a key the chip has no row for, with the numbers
//     ("row 8 is outside 0..7");
//   - shows an entry held under such a key (written by another program) marked as
//     held but never downloaded (`show`, the console's `get`);
//   - reports such entries as not written by `download` and `audit`, which then fail.
// A FAP the agent did not bring up is refused by every command the same way
// ("IppdPphAttributeByEeiHwDirect has no shadow for FAP 7 (FAPs 0,1 are up)").
//
// Thread-safety: pure functions of their arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "framework/TableInfo.h"
#include "platform/vorl/Types.h"

namespace Tool {

struct KeyPosition {
  U8 arrayIndex = 0;  // 0 for a single-index key
  U32 entryIndex = 0;
};

// The position a key's text form names in `info`'s table: "{value=N}" or
// "{arrayIndex=A entryIndex=E}", optionally after the key's full type name, numbers
// decimal or 0x-hex. Throws UsageError for the key of another table and for a value
// outside the key's range (worded as the chip's rows). Text this light reading does
// not understand gives nothing: the type runtime's parser then has the last word.
std::optional<KeyPosition> keyPosition(Framework::TableInfo const& info, std::string_view text);

// Why the chip has no row at `position` ("row 8 is outside 0..7", "array 4 is outside
// 2..3"), or nothing when it has one. Rows are those of the table's first member,
// the ones a download writes.
std::optional<std::string> missingRow(Framework::TableInfo const& info, KeyPosition position);

// "the chip has no row {value=8} of TABLE: <why>": the one wording of a refused key.
std::string noRowMessage(Framework::TableInfo const& info, std::string const& key,
                         std::string const& why);

// The key's text form: "{value=8}" or "{arrayIndex=2 entryIndex=5}".
std::string keyText(Framework::TableInfo const& info, KeyPosition position);

// How a key's text form is written for this table, with its ranges as the chip has
// them: "{value=N} (N in 0..7)".
std::string keyHint(Framework::TableInfo const& info);

// A number as commands take it: decimal or 0x-hex, at most `maximum`. Throws
// UsageError naming `what` ("'x' is not a number for a FAP id").
U64 parseNumber(std::string_view text, std::string_view what, U64 maximum = ~U64{0});

}  // namespace Tool
