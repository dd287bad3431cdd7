// Finding and loading plug-ins: shared objects that register tables and readers when
// they are loaded.
//
// A plug-in is a shared object (`*.so`) in the plug-in directory that exports the
// marker `hwtablesPluginInfo` (a PluginInfo) and the register entry
// `hwtablesPluginRegister`. Loading it (dlopen, RTLD_NOW | RTLD_LOCAL) registers
// nothing; once its marker is of this library's interface, its entry registers its
// tables with the registries of this library (the table registry, the holder context,
// the type runtime, the default table loader), all or nothing. While the entry runs,
// currentSource() names the file, so each registry records where a registration came
// from. A file refused for any reason is unloaded again and has registered nothing.
//
// The plug-in directory is, first to last: the caller's choice (the tool's
// `--plugin-dir`), $HWTABLES_PLUGIN_DIR, and the default `hwtables/plugins` next to
// this library (`<libdir>/hwtables/plugins` when installed, `build/lib/hwtables/plugins`
// in the build tree).
//
// A file that cannot be loaded, is not a plug-in, or registers a table already
// registered is reported (LoadError: the file and the reason, one line) and the other
// files still load. Loading a file already loaded does nothing.
//
// Thread-safety: loads are serialised; every function may run on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/plugin/Export.h"

namespace Plugin {

// The marker every plug-in exports as `hwtablesPluginInfo` (HWTABLES_PLUGIN_EXPORT).
struct HWTABLES_API PluginInfo {
  std::uint32_t abiVersion;  // kAbiVersion of the library the plug-in was built against
  char const* name;          // e.g. "bcm88490_a0"
  char const* version;       // the project version, e.g. "0.9.0"
};

inline constexpr std::uint32_t kAbiVersion = 1;
inline constexpr char const* kMarkerSymbol = "hwtablesPluginInfo";
// The entry the directory calls, once the marker is checked, to register the plug-in's
// tables: true when everything is registered; false when a registration was refused,
// in which case it has withdrawn all it registered and told reportLoadProblem why.
inline constexpr char const* kRegisterSymbol = "hwtablesPluginRegister";
using RegisterEntry = bool (*)() noexcept;

struct HWTABLES_API LoadError {
  std::string path;
  std::string reason;

  std::string toString() const { return path + ": " + reason; }
};

struct HWTABLES_API LoadedPlugin {
  std::string path;  // canonical
  std::string name;
  std::string version;
};

enum class LoadOutcome { loaded, alreadyLoaded, failed };

struct HWTABLES_API LoadResult {
  LoadOutcome outcome = LoadOutcome::failed;
  std::optional<LoadError> error;  // failed only
};

// The plug-in file whose register entry runs now; empty outside a load.
HWTABLES_API std::string currentSource();
// A registry's complaint about the load in progress (the first one is the load's
// error); outside a load it is printed on stderr.
HWTABLES_API void reportLoadProblem(std::string const& reason);

// `hwtables/plugins` next to this library.
HWTABLES_API std::string defaultPluginDirectory();
// `chosen` when not empty, else $HWTABLES_PLUGIN_DIR when set and not empty, else the
// default.
HWTABLES_API std::string pluginDirectory(std::string const& chosen = {});

HWTABLES_API LoadResult loadPlugin(std::string const& path);
// Loads every `*.so` in `directory`, in name order, and returns the errors of those
// that failed. A directory that does not exist or cannot be read throws
// Vorl::InvalidInitializeException ("plug-in directory DIR: does not exist").
HWTABLES_API std::vector<LoadError> loadPluginDirectory(std::string const& directory);

// The plug-ins loaded, in load order.
HWTABLES_API std::vector<LoadedPlugin> loadedPlugins();

}  // namespace Plugin
