// A memory table's live shadow followed on a thread of its own: the watch loop of
// `hwtables watch` (tools/hwtables/WatchLoop.h) runs there and hands its events, as
// the JSON objects `watch --json` prints, to a queue that the Python iterator drains.
//
// The loop leaves SIGINT and SIGTERM to the interpreter; stop() ends it between two
// of its waits (at most `poll` later) and joins the thread. A loop that ends by
// itself (a damaged store, an error) says why in finish().
//
// Thread-safety: next() and stop() may be called from any thread; the follower's own
// thread only pushes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace PyHwtables {

class TableFollower {
 public:
  struct Finish {
    std::string kind;  // "corruption", or the kind of the exception that ended the loop
    std::string message;
  };

  // Starts following the store in `directory` of memory table `table`.
  TableFollower(std::string table, std::string directory, std::chrono::milliseconds poll);
  ~TableFollower();
  TableFollower(TableFollower const&) = delete;
  TableFollower& operator=(TableFollower const&) = delete;

  // The next event, waiting up to `timeout` for one; none when the wait ran out or the
  // loop has ended and every event was taken.
  std::optional<nlohmann::ordered_json> next(std::chrono::milliseconds timeout);
  // Whether the loop has ended and its events were all taken.
  bool drained();
  // How the loop ended by itself, once it has; empty while it runs or after a stop.
  std::optional<Finish> finish();
  void stop();

  std::string const& directory() const { return directory_; }

 private:
  void run(std::chrono::milliseconds poll);

  std::string table_;
  std::string directory_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<nlohmann::ordered_json> events_;
  bool ended_ = false;
  std::optional<Finish> finish_;
  std::mutex joining_;  // one stop() joins, a second waits for it
  std::thread thread_;
};

}  // namespace PyHwtables
