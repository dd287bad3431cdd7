// A span of time in seconds, as the platform's log and scheduler settings take it.
#pragma once

#include "platform/plugin/Export.h"

namespace Vorl {

class HWTABLES_API Duration {
 public:
  constexpr Duration() = default;
  constexpr explicit Duration(double seconds) : seconds_(seconds) {}

  constexpr double seconds() const { return seconds_; }
  constexpr bool operator==(Duration const&) const = default;

 private:
  double seconds_ = 0.0;
};

}  // namespace Vorl
