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

// The bring-up options as typed: --faps, --revision, --root, --dma-buffer, --chip,
// --faults, --warm (whose help text each command words for what warm means to it), --journal
// and --journal-max-bytes.
struct BringUpArguments {
  std::string faps = "0,1";
  std::string revision = "bcm88490_a0";
  std::string root;
  U64 dmaBufferBytes = 256;
  std::string chip;
  std::string faults;
  bool warm = false;
  std::string journal;
  U64 journalMaxBytes = 64ull << 20;
};

// Gives `command` the bring-up options, with their help texts, filling `arguments`.
void addBringUpOptions(CLI::App* command, BringUpArguments& arguments, std::string const& warmHelp);

// The agent layer's options from the typed ones, each checked: a bad FAP list,
// revision or buffer size, or a store root that cannot be used, is a UsageError and
// nothing is made (the store root is created when only it is missing). A journal is
// opened last (an earlier one there rotated out to FILE.1); a file there that is not a
// journal is refused.
HwAgent::Options bringUpOptions(BringUpArguments const& arguments);

}  // namespace Tool
