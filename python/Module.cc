// The `hwtables._hwtables` extension: the tool's own code (the catalogue, the agent's
// console session, show, the watch loop, the store inspector) bound for Python, one
// file per part (Bindings.h).
#include <pybind11/pybind11.h>

#include "python/Bindings.h"

PYBIND11_MODULE(_hwtables, module) {
  module.doc() = "The compiled half of the hwtables package; use the package itself.";
  PyHwtables::defineCatalogue(module);
  PyHwtables::defineAgent(module);
  PyHwtables::defineShadows(module);
  PyHwtables::defineWatch(module);
}
