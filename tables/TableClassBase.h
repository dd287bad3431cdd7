// The base class a generated table class derives from, chosen by the table's kind:
// the register accessor (Framework::RegisterTable) for a register, the memory
// accessor (Framework::MemoryTable) for a memory. Naming the base here keeps the
// generated code the same for every table.
#pragma once

#include <type_traits>

#include "framework/RegisterTable.h"
#include "framework/TableInfo.h"
#include "tables/memories/MemoryTable.h"

namespace Framework {

template <class Model>
using TableClassBase = std::conditional_t<Model::Desc::kKind == TableKind::registerTable,
                                          RegisterTable<Model>, MemoryTable<Model>>;

}  // namespace Framework
