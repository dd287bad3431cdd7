// Generic access to the fields of one entry type, by name, for tools and tests.
//
// Every table gets a generated array of FieldAccessor, one per field of its
// description, in description order. Scalar and indexed fields go through `get` and
// `set` (the index is ignored for scalars); bitmap fields through `getBitmap` and
// `setBitmap`. Each accessor calls the entry's own named getter or setter, so generic
// code sees exactly what typed code sees.
#pragma once

#include <span>
#include <string_view>

#include "framework/TableInfo.h"
#include "platform/lutz/PerUnitBitmap.h"
#include "platform/vorl/Types.h"

namespace Framework {

template <class Entry>
struct FieldAccessor {
  FieldInfo const* info;
  U64 (*get)(Entry const& entry, U32 index);
  void (*set)(Entry& entry, U32 index, U64 value);
  Lutz::PerUnitBitmap (*getBitmap)(Entry const& entry);
  void (*setBitmap)(Entry& entry, Lutz::PerUnitBitmap const& value);
};

// The accessor of the field called `name`, or null.
template <class Entry>
FieldAccessor<Entry> const* findField(std::span<FieldAccessor<Entry> const> fields,
                                      std::string_view name) {
  for (auto const& field : fields) {
    if (field.info->name == name) return &field;
  }
  return nullptr;
}

}  // namespace Framework
