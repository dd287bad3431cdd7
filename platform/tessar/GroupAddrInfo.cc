#include "platform/tessar/GroupAddrInfo.h"

#include <algorithm>

namespace Tessar {

std::uint32_t BcmGroupAddrInfo::minShadowSize() const {
  std::uint32_t size = 0;
  for (auto const& [id, member] : members_) {
    size = std::max(size, static_cast<std::uint32_t>(member->arrayCount) * member->entryCount);
  }
  return size;
}

}  // namespace Tessar
