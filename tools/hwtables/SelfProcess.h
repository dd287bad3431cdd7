// Runs this tool again as a child process and collects what it prints: how the demo
// proves that another process reads the shadows it wrote.
#pragma once

#include <string>
#include <vector>

namespace Tool {

struct ChildRun {
  int processId = 0;
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs /proc/self/exe with `arguments` (not counting the program name), waits for it
// and returns its output. Throws CheckFailed when it cannot be started.
ChildRun runSelf(std::vector<std::string> const& arguments);

}  // namespace Tool
