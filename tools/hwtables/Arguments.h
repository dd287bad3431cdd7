// Arguments shared by the commands that drive tables: FAP lists and chip revisions.
#pragma once

#include <string>
#include <vector>

#include "platform/hardware/FapRevision.h"
#include "platform/vorl/Types.h"

namespace Tool {

// "0,1", "0-3", "0,4-6": FAP ids 0..255 (128 excluded: it stands for every FAP in
// read requests), ascending and without repeats. Throws UsageError naming the fault.
std::vector<U32> parseFaps(std::string const& list);

// A revision of the chip the tables serve, by its text ("bcm88490_a0"). Throws
// UsageError for an unknown name or a revision of another chip type.
Hardware::Sand::FapRevision parseRevision(std::string const& name);

// "{0-1,5}": a FAP list as the command library writes masks.
std::string fapsText(std::vector<U32> const& faps);

}  // namespace Tool
