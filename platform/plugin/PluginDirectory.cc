#include "platform/plugin/PluginDirectory.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Plugin {
namespace {

struct LoaderState {
  // Held for a whole load, so a plug-in's initialiser sees its own file as the source.
  std::recursive_mutex loading;
  std::string source;
  std::optional<std::string> problem;
  std::vector<LoadedPlugin> loaded;
};

// Constructed on first use, so a plug-in loaded from any static initialiser finds it.
LoaderState& state() {
  static LoaderState loaderState;
  return loaderState;
}

// dlerror() starts with the file name; the error names the file already.
std::string dlReason(std::string const& path) {
  char const* message = dlerror();
  std::string reason = message != nullptr ? message : "unknown dynamic loader error";
  if (reason.starts_with(path + ": ")) reason.erase(0, path.size() + 2);
  return reason;
}

}  // namespace

std::string currentSource() {
  auto& loader = state();
  std::lock_guard lock(loader.loading);
  return loader.source;
}

void reportLoadProblem(std::string const& reason) {
  auto& loader = state();
  std::lock_guard lock(loader.loading);
  if (loader.source.empty()) {
    std::fprintf(stderr, "hwtables: %s\n", reason.c_str());
    return;
  }
  if (!loader.problem) loader.problem = reason;
}

std::string defaultPluginDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void const*>(&defaultPluginDirectory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "hwtables/plugins";
  }
  std::error_code error;
  auto library = std::filesystem::canonical(info.dli_fname, error);
  if (error) library = info.dli_fname;
  return (library.parent_path() / "hwtables" / "plugins").string();
}

std::string pluginDirectory(std::string const& chosen) {
  if (!chosen.empty()) return chosen;
  if (char const* environment = std::getenv("HWTABLES_PLUGIN_DIR");
      environment != nullptr && *environment != '\0') {
    return environment;
  }
  return defaultPluginDirectory();
}

LoadResult loadPlugin(std::string const& path) {
  auto& loader = state();
  std::lock_guard lock(loader.loading);
  std::error_code error;
  auto canonical = std::filesystem::canonical(path, error);
  if (error) return {LoadOutcome::failed, LoadError{path, error.message()}};
  std::string file = canonical.string();
  if (std::any_of(loader.loaded.begin(), loader.loaded.end(),
                  [&](auto const& plugin) { return plugin.path == file; })) {
    return {LoadOutcome::alreadyLoaded, std::nullopt};
  }

  // Loading registers nothing: the plug-in registers when its entry is called, once
  // its marker says it speaks this library's interface.
  dlerror();
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return {LoadOutcome::failed, LoadError{file, dlReason(file)}};
  auto refuse = [&](std::string reason) {
    dlclose(handle);
    return LoadResult{LoadOutcome::failed, LoadError{file, std::move(reason)}};
  };
  auto const* info = static_cast<PluginInfo const*>(dlsym(handle, kMarkerSymbol));
  if (info == nullptr) {
    return refuse(fmt::format("not a hwtables plug-in (no {} symbol)", kMarkerSymbol));
  }
  if (info->abiVersion != kAbiVersion) {
    return refuse(fmt::format("built for plug-in interface {}, this library has {}",
                              info->abiVersion, kAbiVersion));
  }
  auto enter = reinterpret_cast<RegisterEntry>(dlsym(handle, kRegisterSymbol));
  if (enter == nullptr) {
    return refuse(fmt::format("not a hwtables plug-in (no {} symbol)", kRegisterSymbol));
  }

  loader.source = file;
  loader.problem.reset();
  bool const registered = enter();
  loader.source.clear();
  if (!registered) {
    // The entry withdrew everything it had registered, so nothing refers to its code.
    return refuse(loader.problem.value_or("registered nothing (no reason given)"));
  }
  if (loader.problem) {
    // It says it registered everything, yet a registry complained: what it did register
    // may be in use, so it stays loaded, but it counts as failed.
    return {LoadOutcome::failed, LoadError{file, *loader.problem}};
  }
  loader.loaded.push_back({file, info->name != nullptr ? info->name : "",
                           info->version != nullptr ? info->version : ""});
  return {LoadOutcome::loaded, std::nullopt};
}

std::vector<LoadError> loadPluginDirectory(std::string const& directory) {
  std::error_code error;
  auto status = std::filesystem::status(directory, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    throw Vorl::InvalidInitializeException(
        fmt::format("plug-in directory {}: does not exist", directory));
  }
  if (error || status.type() != std::filesystem::file_type::directory) {
    throw Vorl::InvalidInitializeException(fmt::format(
        "plug-in directory {}: {}", directory, error ? error.message() : "not a directory"));
  }
  std::vector<std::string> files;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->path().extension() == ".so") files.push_back(entry->path().string());
  }
  if (error) {
    throw Vorl::InvalidInitializeException(
        fmt::format("plug-in directory {}: {}", directory, error.message()));
  }
  std::sort(files.begin(), files.end());
  std::vector<LoadError> errors;
  for (auto const& file : files) {
    if (auto result = loadPlugin(file); result.error) errors.push_back(*result.error);
  }
  return errors;
}

std::vector<LoadedPlugin> loadedPlugins() {
  auto& loader = state();
  std::lock_guard lock(loader.loading);
  return loader.loaded;
}

}  // namespace Plugin
