#include "framework/TableDescriptor.h"

namespace Framework {

void describeMembers(TableInfo const& info, Tessar::BcmGroupAddrInfo& description) {
  for (auto const& member : info.members) {
    Vorl::Ptr<Tessar::BcmRegMemInfo> memberInfo;
    Vorl::String name(member.name);
    if (info.isRegister()) {
      memberInfo = Vorl::makePtr<Tessar::BcmRegInfo>(member.memoryId, name, member.firstArrayIndex,
                                                     member.arrayCount, member.firstEntryIndex,
                                                     member.entryCount, info.entryBytes);
    } else {
      memberInfo = Vorl::makePtr<Tessar::BcmMemInfo>(member.memoryId, name, member.firstArrayIndex,
                                                     member.arrayCount, member.firstEntryIndex,
                                                     member.entryCount, info.entryBytes);
    }
    memberInfo->instanceInfoIs(
        Vorl::makePtr<Tessar::BcmInstanceInfo>(0, 0, member.block, false, member.address));
    description.memInfoIs(memberInfo);
  }
}

}  // namespace Framework
