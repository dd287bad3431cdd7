// A table's group description (Tessar::BcmGroupAddrInfo) built from its TableInfo.
//
// Each member of the description becomes a BcmRegInfo (register) or BcmMemInfo
// (memory) with one instance, id 0: zero word 0, the member's block, flag false and
// the member's address.
#pragma once

#include "platform/plugin/Export.h"

#include "framework/ModuleTypes.h"
#include "framework/TableInfo.h"
#include "platform/tessar/GroupAddrInfo.h"

namespace Framework {

// Fills `description` with the members of `info`.
HWTABLES_API void describeMembers(TableInfo const& info, Tessar::BcmGroupAddrInfo& description);

template <class Desc>
class TableDescriptorOf : public Tessar::BcmGroupAddrInfo {
 public:
  TableDescriptorOf() : Tessar::BcmGroupAddrInfo(Vorl::String(Desc::info.descriptorName)) {
    handleInitialized();
  }

  // Adds the table's members and their instances.
  void handleInitialized() { describeMembers(Desc::info, *this); }

  Vorl::TypeDescriptor typeData() const override {
    return {&Desc::tyvoModule(), ModuleTypes::tableDescriptor};
  }

  static Vorl::Ptr<TableDescriptorOf> TableDescriptorIs() {
    return Vorl::makePtr<TableDescriptorOf>();
  }
};

}  // namespace Framework
