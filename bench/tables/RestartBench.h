// What the table benchmarks share: the agent they bring up (all thirteen tables on 48
// FAPs, stores in a fresh root below /dev/shm), and the restart figures main() sums up.
#pragma once

#include <string>

#include "agent/Options.h"

namespace RestartBench {

inline constexpr unsigned kFaps = 48;
inline constexpr U32 kBufferBytes = 4096;

// A new, empty directory below /dev/shm.
std::string freshRoot();
HwAgent::Options agentOptions(std::string const& root);

// Prints the restart figures against their goals; false when a goal was missed.
bool printSummary();

}  // namespace RestartBench
