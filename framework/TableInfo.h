// The declarative description of one table, as compile-time data.
//
// Every table's description file (tables/definitions/<Table>.def) expands into one
// TableInfo: names, key form and ranges, entry size, hardware members and fields.
// The entry types, the accessors, the catalogue printed by `hwtables tables` and
// the type descriptions all read this one record, so they cannot disagree.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace Framework {

enum class TableKind : std::uint8_t { registerTable, memoryTable };

enum class KeyForm : std::uint8_t {
  singleIndex,    // one 32-bit `value`, 0 ..= null
  arrayAndIndex,  // `arrayIndex` (8-bit) and `entryIndex` (32-bit), inclusive ranges
};

enum class FieldKind : std::uint8_t {
  scalar,   // an unsigned integer of `width` bits at `offset`
  indexed,  // `count` scalars of `width` bits at offset + index * stride
  bitmap,   // a bit string of `width` bits at `offset`
};

struct HWTABLES_API KeyInfo {
  KeyForm form;
  std::uint32_t null;  // single-index form only
  std::uint8_t arrayIndexMin;
  std::uint8_t arrayIndexMax;
  std::uint32_t entryIndexMin;
  std::uint32_t entryIndexMax;
};

struct HWTABLES_API FieldInfo {
  std::string_view name;
  std::string_view typeName;  // "U20", "Lutz::PerUnitBitmap", ...
  FieldKind kind;
  std::uint32_t offset;
  std::uint32_t width;
  std::uint32_t stride = 0;  // indexed fields only
  std::uint32_t count = 1;   // indexed fields only
};

struct HWTABLES_API MemberInfo {
  std::uint32_t memoryId;
  std::string_view name;  // lower camel case, e.g. "ippaVttSpecialLabelValues"
  std::uint32_t block;
  std::uint32_t address;
  std::uint8_t firstArrayIndex;
  std::uint8_t arrayCount;
  std::uint32_t firstEntryIndex;
  std::uint32_t entryCount;
};

struct HWTABLES_API TableInfo {
  std::string_view className;       // "IppVttSpecialLabelValuesHwReg"
  std::string_view fullName;        // "bcm88490_a0::IppVttSpecialLabelValuesHwReg"
  std::string_view hardwareName;    // bcmRegName() or bcmMemName()
  std::string_view descriptorName;  // the group description's name
  TableKind kind;
  std::uint32_t entryBytes;
  KeyInfo key;
  std::span<MemberInfo const> members;
  std::span<FieldInfo const> fields;
  std::uint32_t tableBlock;   // the Hardware::Block value of a memory; 0 for a register
  std::uint32_t moduleOrder;  // position among the modules initialised at load

  constexpr std::uint32_t entryBits() const { return entryBytes * 8; }
  constexpr bool isRegister() const { return kind == TableKind::registerTable; }
  // The chip the table belongs to: the namespace of its full name ("bcm88490_a0").
  constexpr std::string_view chipName() const { return fullName.substr(0, fullName.find("::")); }
};

HWTABLES_API std::string_view kindName(TableKind kind);
HWTABLES_API std::string_view keyFormName(KeyForm form);
HWTABLES_API std::string_view fieldKindName(FieldKind kind);

}  // namespace Framework
