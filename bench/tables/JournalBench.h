// The journal's recording cost, summed up by main() beside the restart figures.
#pragma once

namespace JournalBench {

// Prints the recording cost against its goal; false when the goal was missed.
bool printSummary();

}  // namespace JournalBench
