#include "python/TableFollower.h"

#include "tools/hwtables/Errors.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/WatchLoop.h"

namespace PyHwtables {

TableFollower::TableFollower(std::string table, std::string directory,
                             std::chrono::milliseconds poll)
    : table_(std::move(table)), directory_(std::move(directory)) {
  thread_ = std::thread([this, poll] { run(poll); });
}

TableFollower::~TableFollower() {
  stop();
}

void TableFollower::run(std::chrono::milliseconds poll) {
  std::optional<Finish> finish;
  try {
    Tool::WatchOptions options;
    options.poll = poll;
    options.catchSignals = false;
    options.stop = [this] { return stopping_.load(); };
    options.sink = [this](nlohmann::ordered_json event) {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
      arrived_.notify_all();
    };
    auto record = Tool::memoryTable(table_, "watch follows");
    if (Tool::watchTable(*record, table_, directory_, options) != 0) {
      finish = Finish{"corruption", "the store of " + table_ + " in " + directory_ + " is damaged"};
    }
  } catch (std::exception const& error) {
    finish = Finish{std::string(Tool::errorKind(error)), error.what()};
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  finish_ = std::move(finish);
  arrived_.notify_all();
}

std::optional<nlohmann::ordered_json> TableFollower::next(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [this] { return !events_.empty() || ended_; });
  if (events_.empty()) return std::nullopt;
  auto event = std::move(events_.front());
  events_.pop_front();
  return event;
}

bool TableFollower::drained() {
  std::lock_guard lock(mutex_);
  return ended_ && events_.empty();
}

std::optional<TableFollower::Finish> TableFollower::finish() {
  std::lock_guard lock(mutex_);
  return finish_;
}

void TableFollower::stop() {
  stopping_ = true;
  std::lock_guard lock(joining_);
  if (thread_.joinable()) thread_.join();
}

}  // namespace PyHwtables
