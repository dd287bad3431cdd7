// Read requests: what the agent asks a table reader to read back from the chip.
//
// A request names one shadow key (low byte FAP id, high byte instance id; FAP id
// 128 stands for every FAP the reader may read) and what to read of it: the whole
// table, one array index of a memory, or one entry index of a register. Requests
// are immutable values shared through Vorl::Ptr<... const>.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>

#include <fmt/format.h>

#include "platform/tessar/Keys.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/Types.h"

namespace Tessar {

// Eight bits on the wire; values from 3 up name no request a reader serves.
enum class HwReadRequestType : std::uint8_t {
  fullTableRead = 0,
  arrayIndexRead = 1,
  entryIndexRead = 2,
};

// "fullTableRead", "arrayIndexRead", "entryIndexRead", or the number of any other value.
HWTABLES_API Vorl::String readRequestTypeName(HwReadRequestType type);

class HWTABLES_API HwReadRequestParameterBase : public Vorl::Node {
 public:
  HwReadRequestParameterBase(HwShadowKey inHwShadowKey, HwReadRequestType requestType)
      : inHwShadowKey(inHwShadowKey), requestType(requestType) {}

  HwShadowKey const inHwShadowKey;
  HwReadRequestType const requestType;
};

// One array index of a memory.
class HWTABLES_API HwTableArrayIndexRead : public HwReadRequestParameterBase {
 public:
  HwTableArrayIndexRead(HwShadowKey inHwShadowKey, U8 arrayIndex)
      : HwReadRequestParameterBase(inHwShadowKey, HwReadRequestType::arrayIndexRead),
        arrayIndex(arrayIndex) {}

  U8 const arrayIndex;
};

// One entry index of a register.
class HWTABLES_API HwEntryIndexReadRequest : public HwReadRequestParameterBase {
 public:
  HwEntryIndexReadRequest(HwShadowKey inHwShadowKey, U32 entryIndex)
      : HwReadRequestParameterBase(inHwShadowKey, HwReadRequestType::entryIndexRead),
        entryIndex(entryIndex) {}

  U32 const entryIndex;
};

}  // namespace Tessar

template <>
struct fmt::formatter<Tessar::HwReadRequestType> : fmt::formatter<std::string_view> {
  auto format(Tessar::HwReadRequestType type, format_context& context) const {
    return fmt::formatter<std::string_view>::format(Tessar::readRequestTypeName(type), context);
  }
};
