#include "framework/TableModule.h"

namespace Framework {

std::array<Tyvo::LogDescriptor, 3> const& moduleLogDescriptors() {
  static std::array<Tyvo::LogDescriptor, 3> const descriptors{{
      {"HW_ABSTRACTION_ERROR", "Hardware abstraction error: unable to load item: %s",
       "Hardware abstraction error: unable to load some persistent items. Some agents will be "
       "restarted",
       3},
      {"HW_ABSTRACTION_RELAUNCH_ERROR", "%s",
       "Duplicate Writer Detected, brell path not cleaned up", 3},
      {"HW_ABSTRACTION_EXCEPTION", "%s", "Exception", 3},
  }};
  return descriptors;
}

}  // namespace Framework
