// A named 64-bit event counter, as the process's counter writer creates them.
//
// Components count events (entries written, removed, notifications published) under
// fixed names so tools can show them. A counter only ever grows.
//
// Thread-safety: none; the owning thread increments and reads.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <string>

namespace Vorl {

class HWTABLES_API EventCounter {
 public:
  explicit EventCounter(std::string name) : name_(std::move(name)) {}

  std::string const& name() const { return name_; }
  std::uint64_t value() const { return value_; }
  void inc(std::uint64_t by = 1) { value_ += by; }

 private:
  std::string name_;
  std::uint64_t value_ = 0;
};

}  // namespace Vorl
