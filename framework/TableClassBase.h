// The base class a generated table class derives from, chosen by the table's kind.
//
// ModelTable carries what every table class offers from its description alone:
// entry sizes and its group description. The register and memory accessors build on
// it; TableClassBase names the base each kind of table gets.
#pragma once

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
using TableClassBase = ModelTable<Model>;

}  // namespace Framework
