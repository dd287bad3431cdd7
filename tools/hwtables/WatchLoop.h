// The loop behind `hwtables store watch` (and any other command that follows a live
// store): watchStore() attaches a shadow (a Brell::ErasedShadow, opened by the
// caller's function for the store's value type) to a store directory and prints every change as it happens, until SIGINT or SIGTERM (or the
// caller's stop test) ends it.
//
// What it prints, one line per event (text for people, JSON Lines with `json`):
//   waiting   no store or no writer yet (once, when it has to wait)
//   synced    the shadow caught up with the writer (count of entries)
//   added     a key that was not there         (key, value)
//   changed   a key whose value changed        (key, value, previous)
//   removed   a key that went away             (key, previous)
//   writer    the writer went away (detached or died) or a writer took over; a
//             new restart identity means the store was wiped
// Keys and values (as their bytes) are described by the caller's functions, so the
// loop knows nothing of any table: a raw store shows hex, a table its decoded fields. The loop
// keeps a copy of every value it has seen to tell "added" from "changed" and to show
// the previous value; a rewrite of the same bytes prints nothing.
//
// Thread-safety: runs on the calling thread; installs SIGINT/SIGTERM handlers for its
// duration and restores the old ones.
#pragma once

#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "store/ErasedStore.h"
#include "tools/hwtables/StopSignals.h"
#include "tools/hwtables/StoreReport.h"

namespace Tool {

// How the watch loop describes keys and values: a text for people and a JSON value.
struct WatchDescriptions {
  std::function<std::string(Brell::Bytes const&)> keyText;
  std::function<nlohmann::ordered_json(Brell::Bytes const&)> keyJson;
  std::function<std::string(Brell::Bytes const&)> valueText;
  std::function<nlohmann::ordered_json(Brell::Bytes const&)> valueJson;
};

// Opens the shadow of the store in a directory with the loop's notifications.
using ShadowOpener = std::function<std::unique_ptr<Brell::ErasedShadow>(
    std::string const& rootPath, Brell::ErasedNotify notify)>;

struct WatchOptions {
  bool json = false;
  // The longest one wait for news lasts (also how often stop() is asked).
  std::chrono::milliseconds poll{200};
  // Stops the loop when true (besides SIGINT and SIGTERM); may be empty.
  std::function<bool()> stop;
  // Events printed before the loop ends by itself (0 = no limit); for tests.
  std::uint64_t maxEvents = 0;
};

// Follows the store in `rootPath` and prints its changes until stopped. Returns the
// exit status (0 after a stop).
inline int watchStore(std::string const& rootPath, ShadowOpener const& open,
                      WatchDescriptions const& describe, WatchOptions const& options) {
  using Value = Brell::Bytes;
  using Key = Brell::Bytes;
  StopSignals signals;
  std::uint64_t events = 0;
  auto stopping = [&] {
    return StopSignals::requested() || (options.stop && options.stop()) ||
           (options.maxEvents != 0 && events >= options.maxEvents);
  };
  auto emit = [&](std::string_view event, std::string const& text,
                  nlohmann::ordered_json document) {
    if (options.maxEvents != 0 && events >= options.maxEvents) return;
    if (options.json) {
      nlohmann::ordered_json line{{"event", event}};
      for (auto& [name, value] : document.items()) line[name] = value;
      fmt::print("{}\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
      fmt::print("{:<8} {}\n", event, text);
    }
    std::fflush(stdout);
    ++events;
  };

  // Values seen so far, keyed by the key's text (Key need not be ordered).
  std::map<std::string, Value> seen;
  Brell::ErasedShadow* current = nullptr;
  auto reportChanged = [&](Key const& key) {
    auto found = current->lookup(key);
    if (!found) return;
    Value const& value = *found;
    std::string id = describe.keyText(key);
    auto at = seen.find(id);
    if (at == seen.end()) {
      emit("added", fmt::format("{} {}", id, describe.valueText(value)),
           {{"key", describe.keyJson(key)}, {"value", describe.valueJson(value)}});
      seen.emplace(id, value);
    } else if (at->second != value) {
      emit("changed",
           fmt::format("{} {} (was {})", id, describe.valueText(value),
                       describe.valueText(at->second)),
           {{"key", describe.keyJson(key)},
            {"value", describe.valueJson(value)},
            {"previous", describe.valueJson(at->second)}});
      at->second = value;
    }
  };
  auto reportRemoved = [&](Key const& key) {
    std::string id = describe.keyText(key);
    auto at = seen.find(id);
    if (at == seen.end()) return;
    emit("removed", fmt::format("{} (was {})", id, describe.valueText(at->second)),
         {{"key", describe.keyJson(key)}, {"previous", describe.valueJson(at->second)}});
    seen.erase(at);
  };

  bool reportedSync = false;
  auto pyrel = SharedMem::PyrelId();
  // The first synchronisation is not reported key by key: it is read whole when the
  // shadow reports it synchronised, before any later change is handled.
  auto reportSynced = [&] {
    if (reportedSync || current->mountStatus() != Brell::MountStatus::synced) return;
    current->forEach(
        [&](Key const& key, Value const& value) { seen.emplace(describe.keyText(key), value); });
    pyrel = current->pyrelId();
    emit("synced", fmt::format("{} entries in {}", seen.size(), rootPath),
         {{"root", rootPath}, {"entries", seen.size()}, {"pyrelId", pyrel.value()}});
    reportedSync = true;
  };
  Brell::ErasedNotify notify;
  notify.keyChanged = [&](Key const& key) { reportChanged(key); };
  notify.keyRemoved = [&](Key const& key) { reportRemoved(key); };
  notify.mountStatusChanged = [&] { reportSynced(); };

  auto opened = open(rootPath, notify);
  auto& shadow = *opened;
  current = &shadow;
  bool waitingShown = false;
  while (!stopping() && !shadow.initialize("hwtables watch")) {
    if (!waitingShown) {
      emit("waiting", fmt::format("for a writer of {} ({})", rootPath, shadow.lastError()),
           {{"root", rootPath}, {"reason", shadow.lastError()}});
      waitingShown = true;
    }
    std::this_thread::sleep_for(options.poll);
  }
  bool connected = true;
  while (!stopping()) {
    shadow.processNotifications(options.poll);
    if (connected && !shadow.connected()) {
      auto state = Vanquo::toString(shadow.lastDisconnect());
      emit("writer", fmt::format("went away ({}); waiting for the next writer", state),
           {{"state", state}});
      connected = false;
    } else if (!connected && shadow.connected()) {
      bool wiped = shadow.pyrelId() != pyrel;
      emit("writer",
           fmt::format("attached{}", wiped ? "; the store was wiped (new restart identity)" : ""),
           {{"state", "attached"}, {"wiped", wiped}, {"pyrelId", shadow.pyrelId().value()}});
      pyrel = shadow.pyrelId();
      connected = true;
    }
    if (shadow.mountStatus() == Brell::MountStatus::corrupted) {
      emit("corrupt", shadow.corruptionReason(), {{"reason", shadow.corruptionReason()}});
      return 1;
    }
  }
  return 0;
}

}  // namespace Tool
