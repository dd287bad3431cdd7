// The type indices of a table module's types (see modules/TypeDescriptions.h).
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>

namespace Framework {

struct HWTABLES_API ModuleTypes {
  static constexpr std::uint32_t tableDescriptor = 0;
  static constexpr std::uint32_t entryKey = 1;
  static constexpr std::uint32_t dataByte0Index = 2;
  static constexpr std::uint32_t entry = 3;
  static constexpr std::uint32_t entryStorage = 4;  // memory modules only
  static constexpr std::uint32_t shadow(bool isRegister) { return isRegister ? 4 : 5; }
  static constexpr std::uint32_t table(bool isRegister) { return isRegister ? 5 : 6; }
  static constexpr std::uint32_t readResult(bool isRegister) { return isRegister ? 6 : 7; }
  static constexpr std::uint32_t reader(bool isRegister) { return isRegister ? 7 : 8; }
};

}  // namespace Framework
