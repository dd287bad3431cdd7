// The shadow-key checks every table accessor makes before it touches a shadow.
//
// A key that has no shadow, or whose shadow is of another type, is a graceful
// assertion: an exception in graceful mode, the end of the process in assert mode;
// nothing changes either way. The texts are the system's own; the assertion names
// the accessor's call site (`where`), not this file.
#pragma once

#include <source_location>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "platform/tessar/HwTableBase.h"

namespace Framework {

// The shadow of `hwShadowKey` in `table` as a `Shadow` (const or not, as asked).
template <class Shadow, class Table>
Vorl::Ptr<Shadow> existingShadowOf(Table& table, Tessar::HwShadowKey hwShadowKey,
                                   std::source_location where = std::source_location::current()) {
  if (!table.hwShadowCollHas(hwShadowKey)) {
    Asic::gracefulAssertFailed(where.file_name(), static_cast<int>(where.line()),
                               "hwShadowCollHas( hwShadowKey )",
                               fmt::format("hwShadowKey {}{}", hwShadowKey,
                                           " does not exist in the shadow collection"));
  }
  Vorl::Ptr<Shadow> found(dynamic_cast<Shadow*>(table.hwShadowColl(hwShadowKey).get()));
  if (!found) {
    Asic::gracefulAssertFailed(where.file_name(), static_cast<int>(where.line()), "shadow",
                               fmt::format("No shadow in hwShadowColl for {}", hwShadowKey));
  }
  return found;
}

}  // namespace Framework
