// The parts of the `hwtables._hwtables` extension, each defining its names in the
// module (Module.cc calls them in turn). The package (hwtables/__init__.py) wraps
// them and documents them; these files only cross the language border, answering
// with the tool's own code:
//   Catalogue.cc     the tables, their keys, fields and members; plug-in loading
//   AgentObject.cc   an agent driven through the console's session
//   ShadowObjects.cc show and Shadow (memory shadows read from their stores) and
//                    Store (a store directory inspected read-only)
//   WatchObject.cc   a shadow's change events, followed on a thread of its own
#pragma once

#include <pybind11/pybind11.h>

namespace PyHwtables {

void defineCatalogue(pybind11::module_& module);
void defineAgent(pybind11::module_& module);
void defineShadows(pybind11::module_& module);
void defineWatch(pybind11::module_& module);

}  // namespace PyHwtables
