// The base class a generated table class derives from, chosen by the table's kind.
//
// ModelTable carries what every table class offers from its description alone:
// entry sizes and its group description. A register table derives from the register
// accessor (RegisterTable), which adds shadows, the entry operations and the write
// paths; a memory table keeps ModelTable until the memory accessor takes its place
// here. TableClassBase names the base each kind of table gets, so the generated code
// is the same for every table.
#pragma once

#include <type_traits>

#include "framework/RegisterTable.h"
#include "framework/TableDescriptor.h"
#include "framework/TableInfo.h"
#include "platform/vorl/Types.h"

namespace Framework {

template <class Model>
class ModelTable {
 public:
  using Desc = typename Model::Desc;

  static constexpr TableInfo const& info() { return Desc::info; }
  static constexpr U32 entryDataMaxSize() { return Desc::info.entryBytes; }
  static constexpr U32 entryDataMaxSizeBits() { return Desc::info.entryBytes * 8; }
  static Vorl::String chipName() { return "bcm88490_a0"; }
  static Vorl::Ptr<TableDescriptorOf<Desc>> tableDescriptorFactory() {
    return TableDescriptorOf<Desc>::TableDescriptorIs();
  }
};

template <class Model>
using TableClassBase = std::conditional_t<Model::Desc::kKind == TableKind::registerTable,
                                          RegisterTable<Model>, ModelTable<Model>>;

}  // namespace Framework
