// The journal's writer: the agent's thread lays each list's records out as it records
// it (agent/JournalLayout.h); the journal's own file thread writes them while an
// operation goes on, so that a download does not wait for the file system, and the
// flush at the operation's end writes what is left itself.
#include "agent/Journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "agent/JournalFormat.h"
#include "agent/JournalLayout.h"

namespace HwAgent {

using namespace JournalFormat;

namespace {

// A new file's first blocks are found when it is opened rather than page by page under
// the writes: on tmpfs a write that extends a file pays for zeroing each new page. The
// size stays that of what was written, so a reader sees no gap; a file system that
// cannot do this finds the blocks later.
constexpr std::uint64_t kPreallocatedBytes = 4ull << 20;
// The file thread is woken when this many bytes wait: a large download wakes it a few
// times rather than once a list. What waits when a flush comes, the flush writes.
constexpr std::size_t kWakeBytes = 32 << 10;

std::uint64_t nowNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

// The journal's files: opened, rotated and written with the bytes the recording thread
// laid out, in the order handed over, those waiting in one write(2). One writer at a
// time, whichever holds `busy_`: the file thread when woken, or a flush that finds it
// idle. Waking a thread and waiting for it costs both about 35-40 us of CPU, eight times
// what the write of a download's 30 KiB costs (docs/journal.md), so a flush does not wake
// it to write what it can write itself. After a failed write nothing more is written (a
// journal with a gap could not be replayed) and every later call reports the failure.
class JournalWriter::FileThread final : public LayoutOutput {
 public:
  FileThread(std::string path, std::uint64_t maxBytes, unsigned files, bool rotateFirst)
      : path_(std::move(path)), maxBytes_(maxBytes), files_(files),
        run_(std::random_device()() * 0x100000001ull ^ nowNs()) {
    if (rotateFirst) {
      rotate(1);
    } else {
      open(1);
    }
    batch_.reserve(64);
    queue_.reserve(64);
    thread_ = std::thread([this] { run(); });
  }

  ~FileThread() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  void throwIfFailed() const {
    if (!failed_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(mutex_);
    throw JournalError(error_);
  }

  void bytes(std::uint8_t const* bytes, std::size_t size) override {
    std::lock_guard lock(mutex_);
    if (!error_.empty()) throw JournalError(error_);
    if (!queue_.empty() && queue_.back().bytes && queue_.back().bytes + queue_.back().size == bytes) {
      queue_.back().size += size;
    } else {
      queue_.push_back({bytes, size, 0});
    }
    queuedBytes_ += size;
    if (queuedBytes_ >= kWakeBytes && !wake_) {
      wake_ = true;
      work_.notify_one();
    }
  }

  void newFile(std::uint64_t firstSequence) override {
    std::lock_guard lock(mutex_);
    queue_.push_back({nullptr, 0, firstSequence});
  }

  void written() override {
    std::unique_lock lock(mutex_);
    if (!busy_) {
      writeWaiting(lock);
    } else {
      // The file thread is writing; it takes what waits after that before it sleeps.
      drained_.wait(lock, [this] { return queue_.empty() && !busy_; });
    }
    if (!error_.empty()) throw JournalError(error_);
  }

  std::uint64_t rotations() const {
    std::lock_guard lock(mutex_);
    return rotations_;
  }

 private:
  // Bytes to write, or (none) the start of a new file.
  struct Item {
    std::uint8_t const* bytes;
    std::size_t size;
    std::uint64_t firstSequence;
  };

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return wake_ || stopping_; });
      wake_ = false;
      writeWaiting(lock);
      drained_.notify_all();
      if (stopping_) return;
    }
  }

  // Writes what waits, with the lock let go meanwhile, as the one writer: called with
  // `busy_` clear, under the lock. The recording thread adds nothing while its flush
  // writes (it is in the flush), and the file thread finds nothing to take.
  void writeWaiting(std::unique_lock<std::mutex>& lock) {
    while (!queue_.empty()) {
      batch_.swap(queue_);
      queuedBytes_ = 0;
      busy_ = true;
      bool failed = !error_.empty();
      lock.unlock();
      std::string problem;
      if (!failed) {
        try {
          write(batch_);
        } catch (std::exception const& error) {
          problem = error.what();
        }
      }
      batch_.clear();
      lock.lock();
      if (!problem.empty()) {
        error_ = std::move(problem);
        failed_.store(true, std::memory_order_release);
      }
      busy_ = false;
    }
  }

  // The bytes handed over, those that lie back to back in one write(2).
  void write(std::vector<Item> const& items) {
    std::uint8_t const* start = nullptr;
    std::size_t size = 0;
    for (auto const& item : items) {
      if (item.bytes && start + size == item.bytes) {
        size += item.size;
        continue;
      }
      append(start, size);
      start = item.bytes;
      size = item.size;
      if (!item.bytes) rotate(item.firstSequence);
    }
    append(start, size);
  }

  void open(std::uint64_t firstSequence) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) throw JournalError(fmt::format("cannot make the journal {}: {}", path_, errnoText()));
    ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(std::min(maxBytes_, kPreallocatedBytes)));
    std::uint8_t header[kJournalHeaderBytes];
    std::memcpy(header, kMagic.data(), kMagic.size());
    auto* to = put(header + kMagic.size(), kJournalVersion, 2);
    to = put(to, 0, 2);
    to = put(to, run_, 8);
    to = put(to, firstSequence, 8);
    put(to, nowNs(), 8);
    append(header, sizeof header);
  }

  void rotate(std::uint64_t firstSequence) {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    // FILE.(files-1) is the oldest kept: anything that would go past it goes.
    if (files_ == 1) {
      if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
        throw JournalError(fmt::format("cannot remove the full journal {}: {}", path_, errnoText()));
      }
    } else {
      for (unsigned number = files_ - 1; number >= 1; --number) {
        auto from = number == 1 ? path_ : rotated(path_, number - 1);
        if (!exists(from)) continue;
        if (::rename(from.c_str(), rotated(path_, number).c_str()) != 0) {
          throw JournalError(fmt::format("cannot rotate the journal {}: {}", from, errnoText()));
        }
      }
    }
    {
      std::lock_guard lock(mutex_);
      ++rotations_;
    }
    open(firstSequence);
  }

  void append(std::uint8_t const* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      auto wrote = ::write(fd_, bytes + done, size - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) throw JournalError(fmt::format("cannot write the journal {}: {}", path_, errnoText()));
      done += static_cast<std::size_t>(wrote);
    }
  }

  std::string const path_;
  std::uint64_t const maxBytes_;
  unsigned const files_;
  std::uint64_t const run_;
  // The writer's, whichever holds `busy_` (the constructor opens the first file).
  int fd_ = -1;
  std::vector<Item> batch_;  // the items being written

  mutable std::mutex mutex_;
  std::condition_variable work_;     // the file thread waits here
  std::condition_variable drained_;  // a flush waits here
  std::vector<Item> queue_;
  std::size_t queuedBytes_ = 0;
  bool wake_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  std::string error_;
  std::atomic<bool> failed_{false};  // error_ is set: read without the lock
  std::uint64_t rotations_ = 0;
  std::thread thread_;
};

JournalWriter::JournalWriter(std::string path, std::uint64_t maxBytes, unsigned files) : path_(std::move(path)) {
  if (path_.empty()) throw JournalError("the journal needs a file name");
  if (maxBytes < kJournalMinBytes) {
    throw JournalError(fmt::format("a journal of at most {} bytes is too small; at least {}",
                                   maxBytes, kJournalMinBytes));
  }
  if (files < 1) throw JournalError("a journal keeps at least its own file");
  bool earlier = exists(path_);
  if (earlier && !looksLikeJournal(path_)) {
    throw JournalError(fmt::format("{} exists and is not a journal; it is left as it is", path_));
  }
  // An earlier run's journal is kept as FILE.1.
  file_ = std::make_unique<FileThread>(path_, maxBytes, files, earlier);
  layout_ = std::make_unique<Layout>(maxBytes);
}

// The file thread ends (writing what it was handed) before the layout's buffer goes.
JournalWriter::~JournalWriter() { file_.reset(); }

std::uint64_t JournalWriter::rotations() const { return file_->rotations(); }

void JournalWriter::flush() {
  ++flushes_;
  file_->written();
}

void JournalWriter::record(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table,
                           Sim::WriteOutcome const* outcome) {
  if (!cmds || cmds->empty()) return;
  file_->throwIfFailed();
  layout_->list(*cmds, table, outcome, nowNs(), nextSequence_, *file_);
  nextSequence_ += cmds->size();
}

}  // namespace HwAgent
