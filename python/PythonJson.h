// JSON documents of the tool's replies and reports as Python objects: objects become
// dicts (in the document's order), arrays lists, numbers int or float, and strings
// str. A string that is not UTF-8 (a name read from a damaged file) has its bad bytes
// replaced, as the tool does when it prints the same document.
//
// Needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <nlohmann/json.hpp>

namespace PyHwtables {

pybind11::object toPython(nlohmann::ordered_json const& document);
pybind11::object toPython(nlohmann::json const& document);

}  // namespace PyHwtables
