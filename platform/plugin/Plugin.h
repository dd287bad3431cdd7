// The plug-in loader: named plug-ins with init callers.
//
// A plug-in registers itself with a loader when it is constructed (when its plug-in
// file registers its tables) and unregisters when it is destroyed (at unload, or when
// the file's registration is refused). The loader
// records which plug-in file made each registration (currentSource()). Later the
// agent asks the loader to initialise its plug-ins with a context; the loader calls
// each plug-in's init caller with it, in registration order. Loaders are typed by
// their context, so a plug-in can only be initialised with the context it expects.
//
// Thread-safety: every operation may run on any thread; init callers run without the
// loader's lock held, so they may register or unregister plug-ins.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/plugin/PluginDirectory.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/String.h"

namespace Plugin {

template <class Context>
class PluginBase {
 public:
  explicit PluginBase(Vorl::String name) : name_(std::move(name)) {}
  virtual ~PluginBase() = default;
  PluginBase(PluginBase const&) = delete;
  PluginBase& operator=(PluginBase const&) = delete;

  Vorl::String const& name() const { return name_; }

 private:
  Vorl::String name_;
};

namespace Impl {

template <class Context>
class LoaderImpl {
 public:
  using InitCaller = std::function<void(Context&)>;

  // A second plug-in under a name already registered is refused with
  // Vorl::InvalidInitializeException; the first stays.
  void registerPlugin(Vorl::String const& name, InitCaller initCaller) {
    std::lock_guard lock(mutex_);
    if (find(name) != plugins_.end()) {
      throw Vorl::InvalidInitializeException("plug-in " + name + " is already registered");
    }
    plugins_.push_back({name, currentSource(), std::move(initCaller)});
  }

  void unregisterPlugin(Vorl::String const& name) {
    std::lock_guard lock(mutex_);
    if (auto found = find(name); found != plugins_.end()) plugins_.erase(found);
  }

  bool hasPlugin(Vorl::String const& name) const {
    std::lock_guard lock(mutex_);
    return find(name) != plugins_.end();
  }

  std::vector<Vorl::String> pluginNames() const {
    std::lock_guard lock(mutex_);
    std::vector<Vorl::String> names;
    for (auto const& plugin : plugins_) names.push_back(plugin.name);
    return names;
  }

  // The plug-in file each plug-in was registered from (empty: linked into the
  // program), in registration order.
  std::vector<std::pair<Vorl::String, std::string>> pluginSources() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<Vorl::String, std::string>> sources;
    for (auto const& plugin : plugins_) sources.emplace_back(plugin.name, plugin.source);
    return sources;
  }

  // Calls the init caller of the plug-in of that name with `context`; false when no
  // such plug-in is registered.
  bool initPlugin(Vorl::String const& name, Context& context) const {
    InitCaller caller;
    {
      std::lock_guard lock(mutex_);
      auto found = find(name);
      if (found == plugins_.end()) return false;
      caller = found->initCaller;
    }
    caller(context);
    return true;
  }

  // Calls every plug-in's init caller with `context`, in registration order.
  void initPlugins(Context& context) const {
    std::vector<Entry> plugins;
    {
      std::lock_guard lock(mutex_);
      plugins = plugins_;
    }
    for (auto const& plugin : plugins) plugin.initCaller(context);
  }

 private:
  struct Entry {
    Vorl::String name;
    std::string source;
    InitCaller initCaller;
  };

  auto find(Vorl::String const& name) const {
    return std::find_if(plugins_.begin(), plugins_.end(),
                        [&](Entry const& entry) { return entry.name == name; });
  }

  mutable std::mutex mutex_;
  std::vector<Entry> plugins_;
};

}  // namespace Impl
}  // namespace Plugin
