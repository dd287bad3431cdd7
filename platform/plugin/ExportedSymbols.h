// The symbols a shared object exports: its dynamic symbol table, read from the file.
//
// exportedSymbols(path) lists every symbol the object defines and exports (defined,
// of global or weak binding, of default or protected visibility), each a function or
// an object, with its name as the object spells it and demangled. A plug-in's
// chosen interface is its global symbols (its marker, its factories and its
// type-runtime records); its weak ones are what the compiler shares between objects
// (template instances, vtables, inline variables), and a sanitizer adds global ones
// of its own (AddressSanitizer's "__odr_asan." indicators): neither is chosen.
//
// Only the file's headers and dynamic symbol table are read; it is never mapped or
// loaded. Every offset, size and name in it is checked before use: a file that is
// not a shared object of this machine (another word size or byte order, truncated,
// damaged) is refused with Vorl::InvalidInitializeException naming the file and the
// reason, never a crash.
//
// Thread-safety: none needed; it keeps no state.
#pragma once

#include "platform/plugin/Export.h"

#include <string>
#include <vector>

namespace Plugin {

struct HWTABLES_API ExportedSymbol {
  std::string name;       // as in the object, e.g. "_ZN11bcm88490_a0..."
  std::string demangled;  // e.g. "bcm88490_a0::...Factory(...)"; the name when not C++
  bool weak = false;       // weak (or unique) binding: shared by the compiler
  bool generated = false;  // added by a sanitizer, not by the source
  bool function = false;   // a function; otherwise an object (data)

  // Part of the object's chosen interface: neither weak nor generated.
  bool chosen() const { return !weak && !generated; }
};

// The exported symbols of the shared object at `path`, ordered by demangled name.
HWTABLES_API std::vector<ExportedSymbol> exportedSymbols(std::string const& path);

// The demangled form of a C++ symbol name; the name itself when it is not one.
HWTABLES_API std::string demangledName(std::string const& name);

}  // namespace Plugin
