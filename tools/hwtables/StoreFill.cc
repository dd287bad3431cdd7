#include "tools/hwtables/StoreFill.h"

#include "tools/hwtables/StopSignals.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

#include <fmt/format.h>

#include "platform/sharedmem/OwnerFile.h"
#include "platform/vorl/Exceptions.h"
#include "store/BrellWriter.h"
#include "store/RawValue.h"
#include "store/StoreFiles.h"
#include "store/StoreInspector.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/StoreReport.h"
#include "tools/hwtables/StoreTree.h"

namespace Tool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A progress line on stderr, redrawn at most ten times a second.
class Progress {
 public:
  Progress(bool enabled, std::string root) : enabled_(enabled), root_(std::move(root)) {}
  ~Progress() { clear(); }
  Progress(Progress const&) = delete;
  Progress& operator=(Progress const&) = delete;

  void show(std::string_view phase, std::uint64_t done, std::uint64_t total) {
    if (!enabled_ || (done & 0x3FF) != 0) return;
    auto now = Clock::now();
    if (now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    fmt::print(stderr, "\rhwtables: store fill {}: {} {} of {}\x1b[K", root_, phase, done, total);
    std::fflush(stderr);
    drawn_ = true;
  }
  void clear() {
    if (!drawn_) return;
    fmt::print(stderr, "\r\x1b[K");
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  bool enabled_;
  std::string root_;
  Clock::time_point lastDrawn_{};
  bool drawn_ = false;
};

// Makes sure `root` may be filled with values of `typeName`; returns the number of
// entries already there. Creates the directory when it does not exist. Throws
// UsageError, having changed nothing, when the directory holds anything a fill could
// destroy.
std::uint32_t prepareRoot(std::string const& root, std::string const& typeName) {
  if (root.empty()) throw UsageError("the store directory is an empty path");
  std::error_code error;
  auto status = fs::status(root, error);
  if (status.type() == fs::file_type::not_found) {
    // One directory, never a tree: a mistyped path is not made real.
    auto parent = fs::absolute(fs::path(root), error).parent_path();
    if (!fs::is_directory(parent, error)) {
      throw UsageError(fmt::format("cannot create store directory {}: its parent {} does not exist",
                                   shown(root, 256), shown(parent.string(), 256)));
    }
    fs::create_directory(root, error);
    if (error) {
      throw UsageError(
          fmt::format("cannot create store directory {}: {}", shown(root, 256), error.message()));
    }
    return 0;
  }
  if (error) throw UsageError(fmt::format("cannot use {}: {}", root, error.message()));
  if (status.type() != fs::file_type::directory) {
    throw UsageError(fmt::format("{} is not a directory", root));
  }
  bool storeFiles = false;
  bool otherFiles = false;
  for (auto const& entry : fs::directory_iterator(root, error)) {
    std::string name = entry.path().filename().string();
    if (!isStoreFileName(name)) {
      otherFiles = true;
      continue;
    }
    storeFiles = true;
    if (entry.is_symlink(error)) {
      throw UsageError(fmt::format(
          "refusing {}: {} is a symbolic link (store files are never followed through links)", root,
          name));
    }
  }
  if (error) throw UsageError(fmt::format("cannot read {}: {}", root, error.message()));
  if (!storeFiles) {
    if (otherFiles) {
      throw UsageError(fmt::format(
          "{} is not empty and holds no store; fill writes only into a new or empty directory "
          "or an existing store",
          root));
    }
    return 0;
  }
  if (!fs::exists(fs::path(root) / Brell::kSlotFileName)) return 0;  // leftovers only

  // Hold the writer lock while looking, so that a writer still formatting the store
  // is told apart from a damaged store: it holds the lock, and this fill is busy.
  {
    SharedMem::OwnerFile owner(root);
    if (!owner.tryLock()) {
      throw Busy(
          fmt::format("{} is being written by another process; a store has one writer", root));
    }
  }
  auto report = Brell::StoreInspector(root).check();
  judgeOwnerFile(report);
  if (report.writerAlive) {
    throw Busy(fmt::format("{} is being written by process {}; a store has one writer", root,
                           report.owner->shocketInfo.processId));
  }
  if (report.slotHeader && report.slotHeader->typeName != typeName) {
    throw UsageError(fmt::format(
        "{} holds a store of {} values; this fill writes {} (choose another --value-bytes or "
        "another directory)",
        root, printable(report.slotHeader->typeName), typeName));
  }
  if (!report.valid()) {
    throw UsageError(fmt::format(
        "{} holds a damaged store ({}); fill does not overwrite it (see 'hwtables store check')",
        root, printable(report.reason)));
  }
  return report.slotHeader->occupancy;
}

template <std::size_t V>
Brell::RawValue<V> makeValue(std::uint32_t key, std::uint32_t firstWord) {
  Brell::RawValue<V> value;
  value.key = key;
  for (std::size_t word = 0; word < (V - 4) / 4; ++word) {
    std::uint32_t payload = word == 0 ? firstWord : fillPayloadWord(key, word);
    for (std::size_t byte = 0; byte < 4; ++byte) {
      value.payload[4 * word + byte] = static_cast<unsigned char>(payload >> (8 * byte));
    }
  }
  return value;
}

// Refuses, before anything is written, a fill whose files cannot fit in the free
// space of the directory's file system or under the process's file-size limit (the
// writer would stop half-way with "failed to resize").
void requireSpace(std::string const& root, std::uint64_t entries, std::uint32_t slotBytes) {
  // The directory may not exist yet: ask the file system of its nearest ancestor.
  fs::path where = fs::absolute(root);
  std::error_code error;
  while (!fs::exists(where, error) && where.has_parent_path() && where != where.parent_path()) {
    where = where.parent_path();
  }
  std::uint64_t slotFile = Brell::headerSizeFor(slotBytes) + entries * slotBytes;
  std::uint64_t bucketFile = Brell::bucketFileSize(static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::bit_ceil(std::max<std::uint64_t>(entries, 1)), 1u << 30)));
  struct rlimit fileSize {};
  if (::getrlimit(RLIMIT_FSIZE, &fileSize) == 0 && fileSize.rlim_cur != RLIM_INFINITY &&
      std::max(slotFile, bucketFile) > fileSize.rlim_cur) {
    throw UsageError(fmt::format(
        "a store of {} entries needs a file of about {} bytes, above this process's file-size "
        "limit of {} bytes (ulimit -f)",
        entries, std::max(slotFile, bucketFile), fileSize.rlim_cur));
  }
  struct statvfs space {};
  if (::statvfs(where.c_str(), &space) != 0) return;
  std::uint64_t needed = slotFile + bucketFile;
  std::uint64_t available = std::uint64_t{space.f_bavail} * space.f_frsize;
  if (needed > available) {
    throw UsageError(fmt::format(
        "a store of {} entries needs about {} bytes in {}, but its file system has {} free",
        entries, needed, root, available));
  }
}

// The store files in `root` now.
std::set<std::string> storeFilesIn(std::string const& root) {
  std::set<std::string> names;
  std::error_code error;
  for (auto const& entry : fs::directory_iterator(root, error)) {
    std::string name = entry.path().filename().string();
    if (isStoreFileName(name)) names.insert(name);
  }
  return names;
}

// Removes the store files a failed writer made in `root` (and `root` itself when the
// fill made it and it is empty again); what was there before stays.
void removeNewStoreFiles(std::string const& root, std::set<std::string> const& before,
                         bool madeDirectory) {
  std::error_code error;
  for (auto const& name : storeFilesIn(root)) {
    if (!before.contains(name)) fs::remove(fs::path(root) / name, error);
  }
  if (madeDirectory && fs::is_empty(root, error)) fs::remove(root, error);
}

template <std::size_t V, class Writer>
void writeEntries(Writer& writer, FillOptions const& options, Progress& progress,
                  FillResult& result);

template <std::size_t V>
FillResult fill(FillOptions const& options) {
  using Traits = Brell::RawValueTraits<V>;
  // Ctrl-C is a request to stop between two steps from the very start.
  StopSignals signals;
  Progress progress(options.progress, options.root);
  std::string typeName(Traits::typeName());
  requireSpace(options.root, options.entries, Brell::TraitsInfo<Traits>::kSlotSize);
  std::error_code error;
  bool madeDirectory = !fs::exists(options.root, error);
  std::uint32_t existing = prepareRoot(options.root, typeName);
  std::uint64_t wanted = std::uint64_t{existing} + options.entries;
  if (existing != 0) requireSpace(options.root, wanted, Brell::TraitsInfo<Traits>::kSlotSize);
  auto filesBefore = storeFilesIn(options.root);

  Brell::MapDescriptor descriptor;
  descriptor.maxSize = static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(wanted, 1, std::uint64_t{Brell::kMaxSlots}));
  auto made = std::make_unique<Brell::BrellWriter<Traits>>("fill", descriptor, options.root);
  try {
    made->initialize("hwtables store fill");
  } catch (Vorl::Exception const& failure) {
    std::string reason = failure.what();
    made.reset();
    // Lost the start-up race to another writer: its files are not this fill's to touch.
    if (reason.starts_with("another writer owns")) {
      throw Busy(fmt::format("{} is being written by another process; a store has one writer",
                             options.root));
    }
    // A new store that could not be made (no space, the file-size limit) leaves
    // nothing of its own: half a store would be reported invalid ever after.
    if (existing == 0) removeNewStoreFiles(options.root, filesBefore, madeDirectory);
    throw CheckFailed(fmt::format("cannot make the store in {}: {}{}", shown(options.root, 256),
                                  reason, existing == 0 ? "; nothing was left behind" : ""));
  }
  auto& writer = *made;
  if (writer.members() != existing) {
    // The checks above agree with the writer's on what is whole; should they ever
    // differ, the loss is said, never passed over.
    throw CheckFailed(fmt::format(
        "the writer started the store in {} afresh: {} of the {} entries it held are gone",
        shown(options.root, 256), existing - std::min(existing, writer.members()), existing));
  }
  Brell::Util::writeControlFile(options.root);

  FillResult result;
  try {
    writeEntries<V>(writer, options, progress, result);
  } catch (Vorl::Exception const& failure) {
    // The store refused a change (no space, the file-size limit): the changes before
    // it stand, and the writer detaches from a valid store.
    result.failure = failure.what();
  }
  progress.clear();
  result.interrupted = StopSignals::requested();
  result.occupancy = writer.members();
  result.capacity = writer.capacity();
  result.buckets = writer.buckets();
  result.slotBytes = Brell::TraitsInfo<Traits>::kSlotSize;
  result.pyrelId = writer.pyrelId().value();
  writer.detach(false);
  return result;
}

template <std::size_t V, class Writer>
void writeEntries(Writer& writer, FillOptions const& options, Progress& progress,
                  FillResult& result) {
  // The keys are made as they are written; removal and updates make them again.
  FillKeys keys(options.seed, options.entries);
  for (std::uint32_t index = 0; index < options.entries && !StopSignals::requested(); ++index) {
    progress.show("writing", index, options.entries);
    std::uint32_t key = keys.next();
    writer.write(makeValue<V>(key, fillPayloadWord(key, 0)), true);
    ++result.written;
  }
  if (options.remove > 0 && !StopSignals::requested()) {
    FillKeys removed(options.seed, options.entries);
    for (std::uint32_t index = 0; index < options.remove && !StopSignals::requested(); ++index) {
      progress.show("removing", index, options.remove);
      if (writer.remove(removed.next(), nullptr)) ++result.removed;
    }
  }
  if (options.updateSeconds > 0 && options.remove < options.entries && !StopSignals::requested()) {
    // Bursts of rewrites with a pause after each, so readers and tools that need the
    // writer to pause between operations get their chance.
    auto end = Clock::now() + std::chrono::duration<double>(options.updateSeconds);
    auto kept = [&options] {
      auto sequence = std::make_unique<FillKeys>(options.seed, options.entries);
      for (std::uint32_t skip = 0; skip < options.remove; ++skip) sequence->next();
      return sequence;
    };
    auto updating = kept();
    std::uint32_t next = options.remove;
    while (Clock::now() < end && !StopSignals::requested()) {
      for (int burst = 0; burst < 256; ++burst) {
        ++result.updates;
        writer.write(makeValue<V>(updating->next(), static_cast<std::uint32_t>(result.updates)),
                     true);
        if (++next == options.entries) {
          next = options.remove;
          updating = kept();
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
}

}  // namespace

// Above this many keys the bitmap of all keys is smaller than the hash set.
constexpr std::uint32_t kBitmapFrom = 8u << 20;

FillKeys::FillKeys(std::uint32_t seed, std::uint32_t count) : random_(seed) {
  if (count >= kBitmapFrom) {
    bitmap_.assign(std::size_t{1} << 26, 0);
  } else {
    seen_.reserve(count);
  }
}

bool FillKeys::firstSight(std::uint32_t key) {
  if (bitmap_.empty()) return seen_.insert(key).second;
  std::uint64_t& word = bitmap_[key >> 6];
  std::uint64_t bit = std::uint64_t{1} << (key & 63);
  if ((word & bit) != 0) return false;
  word |= bit;
  return true;
}

std::uint32_t FillKeys::next() {
  for (;;) {
    auto key = static_cast<std::uint32_t>(random_());
    if (firstSight(key)) return key;
  }
}

std::vector<std::uint32_t> fillKeys(std::uint32_t seed, std::uint32_t count) {
  std::vector<std::uint32_t> keys;
  keys.reserve(count);
  FillKeys sequence(seed, count);
  while (keys.size() < count) keys.push_back(sequence.next());
  return keys;
}

FillResult runFill(FillOptions const& options) {
  if (options.remove > options.entries) {
    throw UsageError(
        fmt::format("--remove {} is more than --entries {}", options.remove, options.entries));
  }
  switch (options.valueBytes) {
    case 8:
      return fill<8>(options);
    case 12:
      return fill<12>(options);
    case 16:
      return fill<16>(options);
    case 20:
      return fill<20>(options);
    default:
      throw UsageError(
          fmt::format("--value-bytes {} is not one of 8, 12, 16, 20", options.valueBytes));
  }
}

}  // namespace Tool
