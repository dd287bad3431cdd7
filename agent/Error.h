// What goes wrong in an agent, sorted the way its front-ends answer it.
//
//   badInput     the options or a request are wrong (a FAP list, a buffer size, an
//                unknown table, a store root that cannot be made): the user fixes it
//   checkFailed  a check ran and failed (the chip still differs after a reconcile)
//   chipFailure  the chip refused a command, or is gone (killed, restarted, unreachable)
//   busy         another process holds what the agent needs (a store's writer lock:
//                another agent runs on the same store root)
//
// The message is one line for people, naming what was wrong.
#pragma once

#include "platform/plugin/Export.h"

#include <stdexcept>
#include <string>

namespace HwAgent {

enum class ErrorKind { badInput, checkFailed, chipFailure, busy };

class HWTABLES_API Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, std::string const& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

}  // namespace HwAgent
