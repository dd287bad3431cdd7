// The agent's record of the change that led to a command list. The agent passes it
// to schanCmds so that it can attach its own bookkeeping; it may be null, and the
// tables do not look inside.
#pragma once

#include "platform/vorl/Ptr.h"

namespace Asic {

class LogEntryWrapperBase : public Vorl::Node {};

}  // namespace Asic
