// The exception types through which the platform reports failures.
//
// Each carries its message verbatim: callers and tests compare the text, so the
// message is the one the raising site formats, with nothing added.
#pragma once

#include "platform/plugin/Export.h"

#include <stdexcept>
#include <string>

namespace Vorl {

class HWTABLES_API Exception : public std::runtime_error {
 public:
  explicit Exception(std::string const& message) : std::runtime_error(message) {}
};

// A key, index or size outside the range its type allows.
class HWTABLES_API RangeException : public Exception {
 public:
  using Exception::Exception;
};

// Shared memory whose contents break the store's invariants.
class HWTABLES_API CorruptionDetectedException : public Exception {
 public:
  using Exception::Exception;
};

// A mapping or allocation that could not be made or resized.
class HWTABLES_API MemoryResourceException : public Exception {
 public:
  using Exception::Exception;
};

// An initialisation that was refused; nothing was created.
class HWTABLES_API InvalidInitializeException : public Exception {
 public:
  using Exception::Exception;
};

// A write attempted through a read-only view.
class HWTABLES_API NoPermissionException : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace Vorl
