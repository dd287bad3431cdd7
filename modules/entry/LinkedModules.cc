// In a program that links the tables (the table and reader tests, the benchmarks)
// there is no plug-in directory to ask: the modules are set up when the program starts.
#include "modules/Modules.h"

namespace {

[[maybe_unused]] bool const registered = bcm88490_a0::registerModules(bcm88490_a0::ModulesLife::wholeProgram);

}  // namespace
