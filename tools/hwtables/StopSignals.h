// SIGINT and SIGTERM turned into a request to stop, for the commands that run until
// interrupted (a fill, a watch, a demo holding its shadows). While a StopSignals
// lives, the two signals set a flag that the command polls between two steps, so it
// ends cleanly (stores left valid, output complete); the old handlers come back when
// it goes.
//
// Thread-safety: one at a time per process; the flag is async-signal-safe.
#pragma once

#include <signal.h>

#include <csignal>

namespace Tool {

namespace StopDetail {
inline volatile std::sig_atomic_t requested = 0;
extern "C" inline void requestStop(int) {
  requested = 1;
}
}  // namespace StopDetail

class StopSignals {
 public:
  StopSignals() {
    StopDetail::requested = 0;
    struct sigaction action {};
    action.sa_handler = StopDetail::requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &oldInterrupt_);
    ::sigaction(SIGTERM, &action, &oldTerminate_);
  }
  ~StopSignals() {
    ::sigaction(SIGINT, &oldInterrupt_, nullptr);
    ::sigaction(SIGTERM, &oldTerminate_, nullptr);
  }
  StopSignals(StopSignals const&) = delete;
  StopSignals& operator=(StopSignals const&) = delete;

  static bool requested() { return StopDetail::requested != 0; }

 private:
  struct sigaction oldInterrupt_ {};
  struct sigaction oldTerminate_ {};
};

}  // namespace Tool
