// What a table module publishes to the type runtime: its types, in the module's
// fixed order, with their attributes (ids, names, kinds, types, parameters) and the
// generic operations behind them.
//
//   index  register module                 memory module
//   0      TableDescriptor                 TableDescriptor
//   1      EntryKey                        EntryKey
//   2      Entry::DataByte0Index           Entry::DataByte0Index
//   3      Entry                           Entry
//   4      Shadow                          Shadow::EntryStorage
//   5      the table class                 Shadow
//   6      reader's HwInstanceReadResult   the table class
//   7      the reader                      reader's HwInstanceReadResult
//   8      -                               the reader
//
// Attribute ids run consecutively in list order from a base per kind of type
// (tables/TypeAttributes.h): kValueAttributeBase (2) for the value types,
// kObjectAttributeBase (258) for TableDescriptor, HwInstanceReadResult and
// Shadow::EntryStorage, kReaderAttributeBase (386) for the reader, kShadowAttributeBase
// (514) for Shadow and kTableAttributeBase (642) for the table class.
//
// Arguments and results travel as std::any: numbers as U64, names as std::string,
// keys and entries as themselves, objects as Vorl::Ptr<Vorl::Node>. A field setter
// refuses a value wider than its field (Vorl::RangeException) and leaves the entry
// unchanged.
#pragma once

#include "framework/ModuleTypes.h"
#include "platform/tyvo/TypeRuntime.h"

namespace Modules {

// Fills `module` with the types of Table's module (once); Reader is the table's
// reader, Fields its generated field accessors.
template <class Table, class Reader, class Fields>
void describeModule(Vorl::ModuleInspectData& module);

}  // namespace Modules

#include "modules/TypeDescriptionsImpl.h"
