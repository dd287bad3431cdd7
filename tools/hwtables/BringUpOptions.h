// The options of the commands that run an agent (demo, agent), defined once: what
// is typed on the command line, and the agent layer's options made from it.
#pragma once

#include <string>

#include "agent/Options.h"
#include "platform/vorl/Types.h"

namespace CLI {
class App;
}

namespace Tool {

// The bring-up options as typed: --faps, --revision, --root, --dma-buffer, --chip and
// --warm (whose help text each command words for what warm means to it).
struct BringUpArguments {
  std::string faps = "0,1";
  std::string revision = "bcm88490_a0";
  std::string root;
  U64 dmaBufferBytes = 256;
  std::string chip;
  bool warm = false;
};

// Gives `command` the bring-up options, with their help texts, filling `arguments`.
void addBringUpOptions(CLI::App* command, BringUpArguments& arguments, std::string const& warmHelp);

// The agent layer's options from the typed ones, each checked: a bad FAP list,
// revision or buffer size, or a store root that cannot be used, is a UsageError and
// nothing is made (the store root is created when only it is missing).
HwAgent::Options bringUpOptions(BringUpArguments const& arguments);

}  // namespace Tool
