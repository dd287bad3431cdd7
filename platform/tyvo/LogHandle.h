// Structured log messages.
//
// A LogDescriptor names one kind of log message: its name, a printf-style format
// with "%s" placeholders, an explanation for operators and a severity. A LogHandle
// is one registered use of a descriptor with its rate settings (minimum interval,
// burst weight, counts); every table module creates three at load time.
//
// The process keeps a registry of the live handles, in creation order, so that
// tools and tests can list what the modules registered. Handles are created and
// destroyed at load and unload (static initialisation and exit).
//
// Thread-safety: construction, destruction, logging and the registry listing may
// run on any thread.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <vector>

#include "platform/vorl/Duration.h"
#include "platform/vorl/String.h"

namespace Tyvo {

struct HWTABLES_API LogDescriptor {
  Vorl::String name;
  Vorl::String format;  // "%s" placeholders, filled in order by LogHandle::message
  Vorl::String explanation;
  std::uint32_t severity = 0;
};

class HWTABLES_API LogHandle {
 public:
  LogHandle(LogDescriptor descriptor, Vorl::Duration minimumInterval, double weight,
            std::uint32_t burstCount, std::uint32_t initialCount);
  ~LogHandle();
  LogHandle(LogHandle const&) = delete;
  LogHandle& operator=(LogHandle const&) = delete;

  LogDescriptor const& descriptor() const { return descriptor_; }
  Vorl::Duration minimumInterval() const { return minimumInterval_; }
  double weight() const { return weight_; }
  std::uint32_t burstCount() const { return burstCount_; }
  std::uint32_t initialCount() const { return initialCount_; }

  // The format with each "%s" replaced by the next argument; surplus placeholders
  // stay as they are, surplus arguments are ignored.
  Vorl::String message(std::vector<Vorl::String> const& arguments) const;

  // The descriptors of every live handle, in creation order.
  static std::vector<LogDescriptor> liveHandles();

 private:
  LogDescriptor descriptor_;
  Vorl::Duration minimumInterval_;
  double weight_;
  std::uint32_t burstCount_;
  std::uint32_t initialCount_;
};

}  // namespace Tyvo
