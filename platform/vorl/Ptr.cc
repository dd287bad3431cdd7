#include "platform/vorl/Ptr.h"

namespace Vorl {

std::atomic<bool>& ThreadControl::flag() {
  static std::atomic<bool> on{false};
  return on;
}

}  // namespace Vorl
