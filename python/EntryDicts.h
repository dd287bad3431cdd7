// Entries as Python dicts, made straight from their bytes: the hot paths of the
// package (Agent.get, show) build them without the JSON documents the other calls
// go through.
//
// The fields are the ones every view shows (framework/FieldValues.h decides which:
// those that repeat others are left out), in description order, an indexed field's
// elements as "name(i)": numbers as ints, bitmaps as their "0x..." text. The field
// names are made into Python strings once per table.
//
// An entry's fields dict starts as a copy of a dict of every field at zero, and only
// the fields that are not zero are set: a dict is copied as one block, and most fields
// of most entries are zero (an entry whose fields are all set costs about what
// building the dict field by field would).
//
// Needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <span>
#include <vector>

#include "framework/TableInfo.h"
#include "framework/TableRegistry.h"

namespace PyHwtables {

class EntryDicts {
 public:
  // The decoder of that table's entries, made on first use and kept: descriptions are
  // data of the plug-ins, which stay loaded.
  static EntryDicts const& of(Framework::TableInfo const& info);

  // {"name": value, ...} of one entry's data (empty when the size is not the entry's).
  pybind11::dict fields(std::span<U8 const> data) const;
  // {"key": {...}, "data": "hex", "fields": {...}} of the entry at `position`.
  pybind11::dict entry(U8 arrayIndex, U32 entryIndex, std::span<U8 const> data) const;
  // {"arrayIndex": a, "entryIndex": e}
  pybind11::dict key(U8 arrayIndex, U32 entryIndex) const;

  explicit EntryDicts(Framework::TableInfo const& info);

 private:
  struct Slot {
    pybind11::object name;
    U32 offset;
    U32 width;
    bool bitmap;
  };
  Framework::TableInfo const& info_;
  std::vector<Slot> slots_;
  // Every field at zero, in order: an entry's dict starts as a copy of it.
  pybind11::dict zeros_;
};

}  // namespace PyHwtables
