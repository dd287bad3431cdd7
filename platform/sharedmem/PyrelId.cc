#include "platform/sharedmem/PyrelId.h"

#include <unistd.h>

#include <atomic>

#include <fmt/format.h>

namespace SharedMem {

PyrelId PyrelId::makeNew() {
  static std::atomic<std::uint16_t> counter{0};
  std::uint16_t number = static_cast<std::uint16_t>(counter.fetch_add(1) + 1);
  return PyrelId(number, static_cast<std::uint32_t>(::getpid()));
}

std::string PyrelId::toString() const {
  return fmt::format("{:#010x}({}:{})", value_, number(), processBits());
}

}  // namespace SharedMem
