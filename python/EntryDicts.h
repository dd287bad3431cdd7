// Entries as Python dicts, made straight from their bytes: the hot paths of the
// package (Agent.get, show) build them without the JSON documents the other calls
// go through.
//
// The fields are the ones every view shows (framework/FieldValues.h decides which:
// those that repeat others are left out), in description order, an indexed field's
// elements as "name(i)": numbers as ints, bitmaps as their "0x..." text. The field
// names are made into Python strings once per table.
//
// An entry with most of its fields at zero (what tables mostly hold) gets a copy of a
// dict of every field at zero, with only the fields that are not zero set: a dict is
// copied as one block. An entry with most fields set gets a dict made at its size and
// filled in order, which spends nothing on the zeros it would overwrite. Both give the
// same names in the same order.
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
    pybind11::object zero;  // the field's value at zero: 0, or a bitmap's "0x0..." text
    U32 offset;
    U32 width;
    bool bitmap;
  };
  // `bytes`: the entry's data, and zeros after it that numberAt may read.
  static U64 number(std::span<U8 const> bytes, Slot const& slot);
  static pybind11::object bitmap(std::span<U8 const> data, Slot const& slot);
  pybind11::dict sparse(std::span<U8 const> data, std::span<U8 const> bytes) const;

  Framework::TableInfo const& info_;
  std::vector<Slot> slots_;
  // Every field at zero, in order: an entry's dict starts as a copy of it.
  pybind11::dict zeros_;
};

}  // namespace PyHwtables
