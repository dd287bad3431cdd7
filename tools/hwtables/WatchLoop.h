// The loop behind `hwtables store watch` and `hwtables watch`: watchStore() attaches a
// shadow (a Brell::ErasedShadow, opened by the caller's function for the store's value
// type) to a store directory and prints the store's changes as they happen, until
// SIGINT or SIGTERM (or the caller's stop test) ends it.
//
// What it promises, and the events (docs/change-stream.md has the JSON Lines form):
// the latest state of every key, never a value the entry did not hold, and an account
// of the writer's sequence numbers with no gap that is not announced:
//   waiting    no store or no writer yet (once, when it has to wait)
//   resync     the follower reads the whole store: at the start, after the writer
//              lapped it, when another writer took over, when the files went away.
//              The differences from what was printed before follow, then `synced`.
//   synced     the follower holds the store's contents (count of entries)
//   added, changed, removed
//              one key's new state, with the writer's sequence `seq` of the change and
//              `from`, the first sequence this event accounts for: from < seq says that
//              several changes were merged (a key set eight times before the follower
//              looked shows once, with its last value)
//   unchanged  (JSON only) changes that left every key as last printed: entries moved,
//              rewritten with the same bytes, or added and removed again unseen
//   writer     the writer went away (detached or died) or a writer attached; a new
//              restart identity means the store was wiped
//   corrupt    the store is damaged (exit 1)
// Keys and values (as their bytes) are described by the caller's functions, so the loop
// knows nothing of any table: a raw store shows hex, a table its decoded fields. The loop
// keeps the last value it printed for every key: a change is printed only when the
// bytes differ, and `previous` is that last printed value.
//
// Thread-safety: runs on the calling thread; installs SIGINT/SIGTERM handlers for its
// duration and restores the old ones.
#pragma once

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "framework/TableRegistry.h"
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
  // Gets every event as its JSON object instead of printing it (a follower inside a
  // program, such as the Python package's watch); nothing is printed then.
  std::function<void(nlohmann::ordered_json)> sink;
  // Whether SIGINT and SIGTERM stop the loop. A follower inside a program that
  // handles them itself (an interpreter) leaves them alone and stops through `stop`.
  bool catchSignals = true;
};

// The printing side of the loop: what was printed last for every key, where in the
// writer's sequence the printed events have got to, and the events themselves.
class WatchPrinter {
 public:
  WatchPrinter(std::string rootPath, WatchDescriptions const& describe, WatchOptions const& options)
      : rootPath_(std::move(rootPath)), describe_(describe), options_(options) {}

  std::uint64_t events() const { return events_; }
  bool full() const { return options_.maxEvents != 0 && events_ >= options_.maxEvents; }
  bool inPass() const { return inPass_; }

  void emit(std::string_view event, std::string const& text, nlohmann::ordered_json document,
            bool jsonOnly = false) {
    if (full()) return;
    if (options_.sink) {
      nlohmann::ordered_json line{{"event", event}};
      for (auto& [name, value] : document.items()) line[name] = std::move(value);
      options_.sink(std::move(line));
    } else if (options_.json) {
      nlohmann::ordered_json line{{"event", event}};
      for (auto& [name, value] : document.items()) line[name] = value;
      fmt::print("{}\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else if (jsonOnly) {
      return;
    } else {
      fmt::print("{:<8} {}\n", event, text);
    }
    ++events_;
  }

  // A key's state as the shadow now has it, for the change the shadow is handling
  // (`sequence`): printed when it differs from what was printed last.
  void keyChanged(Brell::Bytes const& key, std::optional<Brell::Bytes> const& value,
                  std::uint64_t sequence) {
    if (inPass_ || !synced_) return;  // a pass prints its differences when it ends
    if (!value) return;               // gone again: its removal is on its way
    std::string id = describe_.keyText(key);
    auto at = seen_.find(id);
    if (at == seen_.end()) {
      printChange("added", key, &*value, nullptr, sequence, false);
      seen_.emplace(id, Seen{key, *value});
    } else if (at->second.value != *value) {
      printChange("changed", key, &*value, &at->second.value, sequence, false);
      at->second.value = *value;
    }
  }

  void keyRemoved(Brell::Bytes const& key, std::uint64_t sequence) {
    if (inPass_ || !synced_) return;
    auto at = seen_.find(describe_.keyText(key));
    if (at == seen_.end()) return;
    printChange("removed", key, nullptr, &at->second.value, sequence, false);
    seen_.erase(at);
  }

  void passStarted(Brell::PassReason reason, std::uint64_t sequence) {
    inPass_ = true;
    static constexpr char const* kWhy[] = {
        "reading the store", "the writer lapped this follower", "a change could not be placed",
        "another writer, or changes made while none was seen", "the store's files were removed"};
    auto why = kWhy[static_cast<int>(reason)];
    emit("resync", fmt::format("#{} {}: {}", sequence, Brell::toString(reason), why),
         {{"seq", sequence}, {"reason", Brell::toString(reason)}});
  }

  // The pass ended: print the differences between what was printed and what the
  // shadow holds now, then `synced`.
  void passCompleted(Brell::ErasedShadow& shadow, std::uint64_t sequence) {
    std::map<std::string, Seen> now;
    shadow.forEach([&](Brell::Bytes const& key, Brell::Bytes const& value) {
      now.emplace(describe_.keyText(key), Seen{key, value});
    });
    for (auto const& [id, entry] : now) {
      auto at = seen_.find(id);
      if (at == seen_.end()) {
        printChange("added", entry.key, &entry.value, nullptr, sequence, true);
      } else if (at->second.value != entry.value) {
        printChange("changed", entry.key, &entry.value, &at->second.value, sequence, true);
      }
    }
    for (auto const& [id, entry] : seen_) {
      if (now.count(id) == 0)
        printChange("removed", entry.key, nullptr, &entry.value, sequence, true);
    }
    seen_ = std::move(now);
    inPass_ = false;
    synced_ = true;
    reported_ = sequence;
    emit("synced", fmt::format("#{} {} entries in {}", sequence, seen_.size(), rootPath_),
         {{"seq", sequence},
          {"entries", seen_.size()},
          {"root", rootPath_},
          {"pyrelId", shadow.pyrelId().value()}});
  }

  // The shadow has handled the writer's changes up to `position`; those not yet
  // accounted for by an event left every key as printed.
  void handledUpTo(std::uint64_t position) {
    if (inPass_ || !synced_ || position <= reported_) return;
    emit("unchanged", fmt::format("#{}-{}", reported_ + 1, position),
         {{"from", reported_ + 1}, {"seq", position}}, true);
    reported_ = position;
  }

 private:
  struct Seen {
    Brell::Bytes key;
    Brell::Bytes value;
  };

  void printChange(std::string_view event, Brell::Bytes const& key, Brell::Bytes const* value,
                   Brell::Bytes const* previous, std::uint64_t sequence, bool inResync) {
    nlohmann::ordered_json document{{"seq", sequence}};
    std::string position = fmt::format("#{}", sequence);
    if (!inResync) {
      // One change may touch several keys as the follower sees it (an entry moved):
      // such events share a sequence, and `from` never passes the last one.
      std::uint64_t from = std::min(reported_ + 1, sequence);
      document["from"] = from;
      if (from < sequence) position = fmt::format("#{}-{}", from, sequence);
      reported_ = std::max(reported_, sequence);
    }
    document["key"] = describe_.keyJson(key);
    std::string text = fmt::format("{} {}", position, describe_.keyText(key));
    if (value != nullptr) {
      document["value"] = describe_.valueJson(*value);
      text += " " + describe_.valueText(*value);
    }
    if (previous != nullptr) {
      document["previous"] = describe_.valueJson(*previous);
      text += fmt::format(" (was {})", describe_.valueText(*previous));
    }
    emit(event, text, std::move(document));
  }

  std::string rootPath_;
  WatchDescriptions const& describe_;
  WatchOptions const& options_;
  std::uint64_t events_ = 0;
  // Last printed value of every key, by the key's text (Key need not be ordered).
  std::map<std::string, Seen> seen_;
  bool inPass_ = false;
  bool synced_ = false;
  // The last writer sequence the printed events account for.
  std::uint64_t reported_ = 0;
};

// Follows the store in `rootPath` and prints its changes until stopped. Returns the
// exit status (0 after a stop).
inline int watchStore(std::string const& rootPath, ShadowOpener const& open,
                      WatchDescriptions const& describe, WatchOptions const& options) {
  std::optional<StopSignals> signals;
  if (options.catchSignals) signals.emplace();
  WatchPrinter printer(rootPath, describe, options);
  auto stopping = [&] {
    return (signals && StopSignals::requested()) || (options.stop && options.stop()) || printer.full();
  };

  Brell::ErasedShadow* current = nullptr;
  Brell::ErasedNotify notify;
  notify.keyChanged = [&](Brell::Bytes const& key) {
    if (!printer.inPass())
      printer.keyChanged(key, current->lookup(key), current->handlingSequence());
  };
  notify.keyRemoved = [&](Brell::Bytes const& key) {
    printer.keyRemoved(key, current->handlingSequence());
  };
  auto opened = open(rootPath, notify);
  auto& shadow = *opened;
  current = &shadow;

  // The writer's comings and goings, told once each, before what they lead to.
  bool connected = true;
  auto pyrel = SharedMem::PyrelId();
  bool pyrelKnown = false;
  auto noticeWriter = [&] {
    if (connected && !shadow.connected()) {
      auto state = Vanquo::toString(shadow.lastDisconnect());
      printer.emit("writer", fmt::format("went away ({}); waiting for the next writer", state),
                   {{"state", state}});
      connected = false;
    } else if (!connected && shadow.connected()) {
      bool wiped = pyrelKnown && shadow.pyrelId() != pyrel;
      printer.emit(
          "writer",
          fmt::format("attached{}", wiped ? "; the store was wiped (new restart identity)" : ""),
          {{"state", "attached"}, {"wiped", wiped}, {"pyrelId", shadow.pyrelId().value()}});
      connected = true;
    }
  };
  Brell::PassListener listener;
  listener.started = [&](Brell::PassReason reason, std::uint64_t sequence) {
    noticeWriter();
    printer.passStarted(reason, sequence);
  };
  listener.completed = [&](std::uint64_t sequence) {
    printer.passCompleted(shadow, sequence);
    pyrel = shadow.pyrelId();
    pyrelKnown = true;
  };
  shadow.passListenerIs(listener);

  bool waitingShown = false;
  while (!stopping() && !shadow.initialize("hwtables watch")) {
    if (!waitingShown) {
      printer.emit("waiting", fmt::format("for a writer of {} ({})", rootPath, shadow.lastError()),
                   {{"root", rootPath}, {"reason", shadow.lastError()}});
      std::fflush(stdout);
      waitingShown = true;
    }
    std::this_thread::sleep_for(options.poll);
  }
  while (!stopping()) {
    // What one round printed goes out at its end: before the next wait for news.
    std::fflush(stdout);
    shadow.processNotifications(options.poll);
    noticeWriter();
    if (!shadow.passRunning()) printer.handledUpTo(shadow.position());
    if (shadow.mountStatus() == Brell::MountStatus::corrupted) {
      printer.emit("corrupt", shadow.corruptionReason(), {{"reason", shadow.corruptionReason()}});
      std::fflush(stdout);
      return 1;
    }
  }
  std::fflush(stdout);
  return 0;
}

// The loop on the store of a memory table's shadow in `directory`, its keys and entries
// decoded into their fields (`hwtables watch`, the Python package's watch).
int watchTable(Framework::TableRecord const& record, std::string const& className,
               std::string const& directory, WatchOptions const& watch);

}  // namespace Tool
