// The journal's writer: the agent's thread hands each list over; the journal's own
// file thread lays its records out, checksums and writes them, so that a download
// pays for neither its commands' copy nor the file system.
#include "agent/Journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include <fmt/format.h>

#include "agent/JournalFormat.h"
#include "agent/JournalRepeats.h"

namespace HwAgent {

using namespace JournalFormat;

namespace {

// A new file's first blocks are found when it is opened rather than page by page under
// the writes: on tmpfs a write that extends a file pays for zeroing each new page. The
// size stays that of what was written, so a reader sees no gap; a file system that
// cannot do this finds the blocks later.
constexpr std::uint64_t kPreallocatedBytes = 4ull << 20;
// The file thread is woken when this many commands wait (and by a flush): a download
// of thousands of commands wakes it a few times rather than once a list.
constexpr std::size_t kWakeCommands = 256;
// Lists held for the file thread, at most, before a recording waits for it.
constexpr std::size_t kMaxHeldLists = 1024;
// The records are laid out in a buffer of this size, kept between writes: the rows a
// later command may repeat are looked for in what it holds of the open file. When it is
// full it starts again from its beginning, forgetting what it held.
constexpr std::size_t kBufferBytes = 1 << 20;
// The slots of the index of rows kept, at first (a power of two; it doubles when half
// full, up to one per record the buffer can hold).
constexpr std::size_t kFirstSlots = 4096;
// Commands looked at ahead of the one laid out: they were made on the recording
// thread's core, and fetching a few at once hides most of the wait for each.
constexpr std::size_t kPrefetchAhead = 4;

std::uint64_t nowNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

// One list as the agent handed it over. The commands stay the agent's: the writer
// holds a reference to them on the agent's thread until the file thread is done.
struct JournalWriter::List {
  Pelcar::SchanCmds const* cmds = nullptr;
  std::string table;
  bool delivered = false;
  std::vector<Sim::CommandFault> faults;  // of a delivered list, in list order
  std::uint64_t timeNs = 0;
  std::uint64_t firstSequence = 0;
};

// The journal's files: opened, rotated and written by one thread, which lays out the
// records of whole lists in the order they were recorded and writes the lists waiting
// in one write(2). After a failed write it writes nothing more (a journal with a gap could not
// be replayed) and every later call reports the failure.
class JournalWriter::FileThread {
 public:
  FileThread(std::string path, std::uint64_t maxBytes, unsigned files, bool rotateFirst)
      : path_(std::move(path)), maxBytes_(maxBytes), files_(files),
        run_(std::random_device()() * 0x100000001ull ^ nowNs()),
        // Made (and their pages touched) here, when the journal is opened, rather than
        // under the first lists.
        buffer_(std::make_unique<std::uint8_t[]>(kBufferBytes)),
        bufferCapacity_(kBufferBytes),
        repeats_(kFirstSlots) {
    if (rotateFirst) {
      rotate(1);
    } else {
      open(1);
    }
    thread_ = std::thread([this] { run(); });
  }

  ~FileThread() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  void hand(List list) {
    std::lock_guard lock(mutex_);
    throwIfFailed();
    queuedCommands_ += list.cmds->size();
    queue_.push_back(std::move(list));
    if (queuedCommands_ >= kWakeCommands && !wake_) {
      wake_ = true;
      work_.notify_one();
    }
  }

  void flush() {
    std::unique_lock lock(mutex_);
    if (!queue_.empty()) {
      wake_ = true;
      work_.notify_one();
    }
    drained_.wait(lock, [this] { return queue_.empty() && !busy_; });
    throwIfFailed();
  }

  std::uint64_t rotations() const {
    std::lock_guard lock(mutex_);
    return rotations_;
  }

 private:
  void throwIfFailed() const {
    if (!error_.empty()) throw JournalError(error_);
  }

  void run() {
    // What the thread allocates, allocated now, while the journal is being opened (the
    // first allocation of a thread makes its heap).
    batch_.reserve(64);
    names_.reserve(256);
    masks_.reserve(256);
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return wake_ || stopping_; });
      wake_ = false;
      while (!queue_.empty()) {
        batch_.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
        queue_.clear();
        queuedCommands_ = 0;
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
        lock.lock();
        if (!problem.empty()) error_ = std::move(problem);
        busy_ = false;
      }
      drained_.notify_all();
      if (stopping_) return;
    }
  }

  // Lays the records of the lists out with their checksums, the dictionary's new names
  // and FAP masks before the first command that refers to them, a command whose rows
  // the file holds already as a repeat of them, and writes them in one write(2) (more
  // when the buffer fills). A command that would take the file past its cap, or need an
  // id the file has no room for, starts a new file (with a dictionary of its own)
  // unless the file holds no command yet: a file holds at least one, however large.
  void write(std::vector<List> const& lists) {
    auto* start = buffer_.get() + used_;
    auto* to = start;
    for (auto const& list : lists) layOut(list, start, to);
    append(start, static_cast<std::size_t>(to - start));
    used_ = static_cast<std::size_t>(to - buffer_.get());
  }

  void layOut(List const& list, std::uint8_t*& start, std::uint8_t*& to) {
    auto table = clipped(list.table);
    auto tableId = nameId(table, lastTable_);  // one table per list
    auto sequence = list.firstSequence;
    std::uint32_t index = 0;
    auto fault = list.faults.begin();
    auto const end = list.cmds->end();
    auto ahead = list.cmds->begin();
    for (std::size_t count = 0; count < kPrefetchAhead && ahead != end; ++count) prefetch(*ahead++);
    for (auto at = list.cmds->begin(); at != end; ++at) {
      auto const& cmd = *at;
      if (ahead != end) prefetch(*ahead++);
      if (std::next(at) != end) prefetchRows(**std::next(at));
      auto answer = list.delivered ? JournalAnswer::done : JournalAnswer::notDelivered;
      std::uint32_t rowsWritten = 0;
      if (fault != list.faults.end() && fault->index == index) {
        answer = static_cast<JournalAnswer>(fault->kind);
        rowsWritten = fault->rowsWritten;
        ++fault;
      }
      ++index;
      auto member = clipped(cmd->memberName);
      auto memberId = nameId(member, lastMember_);
      auto maskId = fapmaskId(cmd->fapmask);
      auto rows = repeats_.find({cmd->data.data(), cmd->data.size()}, buffer_.get());
      std::size_t newNames = !tableId + !memberId;
      auto needed = (tableId ? 0 : nameEntryBytes(table)) + (memberId ? 0 : nameEntryBytes(member)) +
                    (maskId ? 0 : kRecordHeaderBytes + kFapmaskEntryBytes) + kRecordHeaderBytes +
                    (rows.earlier ? kRepeatBytes : kCommandFixedBytes + cmd->data.size());
      auto pending = static_cast<std::size_t>(to - start);
      bool full = names_.size() + newNames > kMostIds || (!maskId && masks_.size() + 1 > kMostIds);
      if ((size_ + pending + needed > maxBytes_ || full) && size_ + pending > kJournalHeaderBytes) {
        append(start, pending);
        to = start;
        rotate(sequence);
        tableId = memberId = maskId = std::nullopt;
        rows.earlier = std::nullopt;
      }
      // Room for the record and every entry it could need; a full buffer is written
      // and starts again (what a repeat refers to is in the file, not the buffer).
      auto most = nameEntryBytes(table) + nameEntryBytes(member) + kRecordHeaderBytes + kFapmaskEntryBytes +
                  kRecordHeaderBytes + kCommandFixedBytes + cmd->data.size();
      if (static_cast<std::size_t>(to - buffer_.get()) + most > bufferCapacity_) {
        append(start, static_cast<std::size_t>(to - start));
        start = to = wrap(most);
      }
      if (!tableId) tableId = addName(table, to, lastTable_);
      if (!memberId) memberId = member == table ? *tableId : addName(member, to, lastMember_);
      if (!maskId) maskId = addFapmask(cmd->fapmask, to);
      auto* record = to;
      to = put(to + kRecordHeaderBytes, static_cast<std::uint8_t>(rows.earlier ? Entry::repeat : Entry::command), 1);
      to = put(to, static_cast<std::uint8_t>(answer), 1);
      to = put(to, static_cast<std::uint8_t>(cmd->kind), 1);
      to = put(to, cmd->arrayIndex, 1);
      to = put(to, sequence, 8);
      to = put(to, list.timeNs, 8);
      to = put(to, rowsWritten, 4);
      to = put(to, *tableId, 2);
      to = put(to, *memberId, 2);
      to = put(to, *maskId, 2);
      to = put(to, 0, 2);
      to = put(to, cmd->block, 4);
      to = put(to, cmd->address, 4);
      to = put(to, cmd->row, 4);
      to = put(to, cmd->entrySize, 4);
      to = put(to, cmd->rowCount, 4);
      if (rows.earlier) {
        to = put(to, *rows.earlier, 8);
      } else {
        if (!cmd->data.empty()) to = std::copy_n(cmd->data.data(), cmd->data.size(), to);
        repeats_.keep(cmd->data.size(), rows.key, static_cast<std::uint32_t>(to - buffer_.get() - cmd->data.size()),
                      sequence);
      }
      ++sequence;
      seal(record, to);
    }
  }

  // A command's fields, and the next command's rows, on their way to this core.
  static void prefetch(Vorl::Ptr<Pelcar::SchanCmd> const& cmd) {
    auto const* object = reinterpret_cast<char const*>(cmd.get());
    for (std::size_t line = 0; line < sizeof(Pelcar::SchanCmd); line += 64) __builtin_prefetch(object + line);
  }
  static void prefetchRows(Pelcar::SchanCmd const& cmd) {
    __builtin_prefetch(cmd.memberName.view().data());
    auto size = std::min<std::size_t>(cmd.data.size(), 512);
    for (std::size_t line = 0; line < size; line += 64) __builtin_prefetch(cmd.data.data() + line);
  }

  static std::string_view clipped(std::string_view name) { return name.substr(0, kLongestName); }
  static std::size_t nameEntryBytes(std::string_view name) {
    return kRecordHeaderBytes + kNameFixedBytes + name.size();
  }

  // The buffer from its beginning, with room for `bytes`: what it held is forgotten.
  std::uint8_t* wrap(std::size_t bytes) {
    repeats_.forget();
    used_ = 0;
    if (bytes > bufferCapacity_) {
      bufferCapacity_ = std::max(bytes, 2 * bufferCapacity_);
      buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(bufferCapacity_);
    }
    return buffer_.get();
  }

  // The record at `record` ends at `end`: its length and checksum.
  static void seal(std::uint8_t* record, std::uint8_t const* end) {
    auto length = static_cast<std::size_t>(end - record) - kRecordHeaderBytes;
    put(record, length, 4);
    put(record + 4, crc32c(record + kRecordHeaderBytes, length), 4);
  }

  // The ids this file gave a name or a mask, if it has. `last` is the name found last
  // for the same use (a list's commands mostly share their member with the one
  // before), looked at before the dictionary.
  using NameEntry = std::pair<std::string const, std::uint16_t> const*;
  std::optional<std::uint16_t> nameId(std::string_view name, NameEntry& last) {
    if (last && last->first == name) return last->second;
    auto found = names_.find(name);
    if (found == names_.end()) return std::nullopt;
    last = &*found;
    return found->second;
  }
  std::optional<std::uint16_t> fapmaskId(Pelcar::Fapmask const& mask) {
    auto found = masks_.find(bitsOf(mask));
    if (found == masks_.end()) return std::nullopt;
    return found->second;
  }

  // A new dictionary entry at `to`; returns its id.
  std::uint16_t addName(std::string_view name, std::uint8_t*& to, NameEntry& last) {
    auto id = static_cast<std::uint16_t>(names_.size());
    last = &*names_.emplace(std::string(name), id).first;
    auto* record = to;
    to = put(to + kRecordHeaderBytes, static_cast<std::uint8_t>(Entry::name), 1);
    to = put(to, 0, 1);
    to = put(to, id, 2);
    if (!name.empty()) to = std::copy_n(name.data(), name.size(), to);
    seal(record, to);
    return id;
  }
  std::uint16_t addFapmask(Pelcar::Fapmask const& mask, std::uint8_t*& to) {
    auto id = static_cast<std::uint16_t>(masks_.size());
    masks_.emplace(bitsOf(mask), id);
    auto* record = to;
    to = put(to + kRecordHeaderBytes, static_cast<std::uint8_t>(Entry::fapmask), 1);
    to = put(to, 0, 1);
    to = put(to, id, 2);
    // The bit set keeps FAP n in bit n % 64 of its word n / 64: its words, little-endian,
    // are the entry's bytes.
    for (auto word : bitsOf(mask)) to = put(to, word, 8);
    seal(record, to);
    return id;
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
    size_ = 0;
    names_.clear();
    lastTable_ = lastMember_ = nullptr;
    masks_.clear();
    repeats_.forget();
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
    size_ += size;
  }

  std::string const path_;
  std::uint64_t const maxBytes_;
  unsigned const files_;
  std::uint64_t const run_;
  // The file thread's own once it runs (the constructor opens the first file).
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t bufferCapacity_ = 0;
  std::size_t used_ = 0;  // what the buffer holds of earlier writes
  std::vector<List> batch_;  // the lists being written
  // The open file's dictionary. A mask is looked up by its bits as they lie in memory
  // (a FAP mask is a plain bit set), not by a list of its FAPs built per command.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
  };
  using MaskBits = std::array<std::uint64_t, sizeof(Pelcar::Fapmask) / 8>;
  static_assert(std::is_trivially_copyable_v<Pelcar::Fapmask> && sizeof(Pelcar::Fapmask) % 8 == 0);
  static MaskBits bitsOf(Pelcar::Fapmask const& mask) {
    MaskBits bits;
    std::memcpy(bits.data(), &mask, sizeof mask);
    return bits;
  }
  struct MaskHash {
    std::size_t operator()(MaskBits const& bits) const {
      std::uint64_t hash = 0;
      for (auto word : bits) hash = (hash ^ word) * 0x9e3779b97f4a7c15ull;
      return static_cast<std::size_t>(hash ^ (hash >> 29));
    }
  };
  std::unordered_map<std::string, std::uint16_t, NameHash, std::equal_to<>> names_;
  NameEntry lastTable_ = nullptr;
  NameEntry lastMember_ = nullptr;
  std::unordered_map<MaskBits, std::uint16_t, MaskHash> masks_;
  // The rows of this file the buffer holds.
  RepeatIndex repeats_;

  mutable std::mutex mutex_;
  std::condition_variable work_;     // the file thread waits here
  std::condition_variable drained_;  // a flush waits here
  std::deque<List> queue_;
  std::size_t queuedCommands_ = 0;
  bool wake_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  std::string error_;
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
}

JournalWriter::~JournalWriter() = default;

std::uint64_t JournalWriter::rotations() const { return file_->rotations(); }

void JournalWriter::flush() {
  ++flushes_;
  file_->flush();
  held_.clear();
}

void JournalWriter::record(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table,
                           Sim::WriteOutcome const* outcome) {
  if (!cmds || cmds->empty()) return;
  if (held_.size() >= kMaxHeldLists) flush();
  List list;
  list.cmds = cmds.get();
  list.table = table;
  list.delivered = outcome != nullptr;
  if (outcome) list.faults = outcome->faults;
  list.timeNs = nowNs();
  list.firstSequence = nextSequence_;
  file_->hand(std::move(list));
  held_.push_back(cmds);
  nextSequence_ += cmds->size();
}

}  // namespace HwAgent
