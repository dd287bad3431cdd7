// Status objects the agent keeps per chip and hands to every shadow it creates.
//
// Status says whether the chip is reachable; SandCmdletRequiredStatus names the
// command-path state a command needs before it may be sent. Shadows only keep and
// pass them on; the agent owns and updates them.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/vorl/Ptr.h"

namespace Hardware::Sand {

class HWTABLES_API Status : public Vorl::Node {
 public:
  bool chipUp() const { return chipUp_; }
  void chipUpIs(bool up) { chipUp_ = up; }

 private:
  bool chipUp_ = true;
};

class HWTABLES_API SandCmdletRequiredStatus : public Vorl::Node {
 public:
  bool required() const { return required_; }
  void requiredIs(bool required) { required_ = required; }

 private:
  bool required_ = false;
};

}  // namespace Hardware::Sand
