// An entry's fields as values: the one decoding of a table's data bytes into named
// fields, and the one rule of which fields a view of an entry leaves out.
//
// A description may describe the same bits more than once: a whole-entry bitmap or
// a wide scalar spanning the named fields (IppaMplsSpecialLabelAttributesTbl's
// 72-bit `specialLabelProfileAttributesEntry`), or an indexed field whose elements
// are named fields too (`bos0LabelProfile(3)` is `bos0Label3Profile`). Such a field
// repeats what its parts say, and every view of an entry people read (demo, agent,
// show, watch, the audit's list of differing fields) leaves it out:
//
//   - a scalar or bitmap is left out when narrower fields inside it describe every
//     one of its bits;
//   - an indexed field is left out when each element has the bits of a scalar field.
//
// A field that is the only description of some of its bits is shown: the 256-bit
// swap remark map, and the 18-bit `bsplResult`, whose named parts cover 12 bits. Fields with the
// same bits (`vttSpecialLabelProfile` and `bos0Label0Profile`) are both shown: each is a name the
// chip's documentation uses.
//
// Values are numbers (scalars and indexed elements) or bit strings (bitmaps), and
// "is zero" is decided on the value, never on its text.
//
// Thread-safety: pure functions of their arguments.
#pragma once

#include "platform/plugin/Export.h"

#include <span>
#include <string>
#include <vector>

#include "framework/TableInfo.h"
#include "platform/vorl/Types.h"

namespace Framework {

struct HWTABLES_API FieldValue {
  std::string name;      // "hasCw"; an indexed field's element "bos0LabelProfile(3)"
  bool bitmap = false;   // a bit string rather than a number
  U32 width = 0;         // bits
  U64 number = 0;        // scalars and indexed elements
  std::vector<U8> bits;  // bitmaps: (width + 7) / 8 bytes, least significant first

  bool isZero() const;
  // A number in decimal; a bitmap as "0x" and hex digits, most significant byte first
  // (the type runtime's text of a bitmap).
  std::string text() const;
};

enum class FieldSelection : std::uint8_t {
  shown,  // the fields a view shows: those that repeat others are left out
  all,    // every field, and every element of an indexed field
};

// Whether `field` (one of `info.fields`) repeats what other fields of the entry say.
HWTABLES_API bool repeatsOtherFields(TableInfo const& info, FieldInfo const& field);

// The fields of the entry holding `data`, in description order. Empty when `data`
// is not one entry of the table (its size differs).
HWTABLES_API std::vector<FieldValue> fieldValues(TableInfo const& info, std::span<U8 const> data,
                                                 FieldSelection selection = FieldSelection::shown);

// The shown fields whose values differ between two entries' data, in description
// order. Empty when either is not one entry.
HWTABLES_API std::vector<std::string> differingFields(TableInfo const& info,
                                                      std::span<U8 const> left,
                                                      std::span<U8 const> right);

}  // namespace Framework
