// The failures the tool's commands report, and the exit status each gives (main.cc).
//
// Apart from Command.h so that code which only reports failures does not include
// CLI11: its header defines objects in every unit that includes it, some 7 s of
// compile time per unit at -O2 -g.
#pragma once

#include <stdexcept>

namespace Tool {

// A failure the user can fix (bad argument, missing file): main prints
// "hwtables: <message>" on stderr and exits with status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A check that ran and failed (a demo verification, an invalid store): exit status 1.
struct CheckFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Another process has what the command needs (a store's writer lock): exit status 1,
// and trying again later may work.
struct Busy : CheckFailed {
  using CheckFailed::CheckFailed;
};

}  // namespace Tool
