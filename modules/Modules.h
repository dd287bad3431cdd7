// The table modules, set up in their fixed module order and torn down in reverse.
//
// They are set up on request, all or nothing: by the plug-in's register entry
// (modules/entry/PluginEntry.cc), which the plug-in directory calls once it has checked
// the plug-in's marker, or, in a program that links the tables, by a static initialiser
// (modules/entry/LinkedModules.cc).
#pragma once

#include <string_view>
#include <vector>

namespace bcm88490_a0 {

// Sets up every module. When one of their registrations is refused (a table
// registered already, a plug-in name taken), the refusal goes to the load in progress
// (Plugin::reportLoadProblem), every module set up so far is withdrawn, and the answer
// is false. True when they are all set up (already or now). A plug-in's modules are
// withdrawn when it is unloaded; a program that links the tables keeps them until it
// ends (the first call decides).
enum class ModulesLife { untilUnloaded, wholeProgram };
bool registerModules(ModulesLife life = ModulesLife::untilUnloaded);

// The table names of the modules set up, in the order they were set up.
std::vector<std::string_view> loadedModules();

}  // namespace bcm88490_a0
