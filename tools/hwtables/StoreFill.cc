#include "tools/hwtables/StoreFill.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <system_error>
#include <thread>
#include <unordered_set>

#include <fmt/format.h>

#include "store/BrellWriter.h"
#include "store/RawValue.h"
#include "store/StoreFiles.h"
#include "store/StoreInspector.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/StoreReport.h"

namespace Tool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The names a store directory may hold (see store/StoreFiles.h).
constexpr char const* kStoreFileNames[] = {
    "slots", "buckets", "owner", "pyrel", "control", "corruption-detected", "notifications"};

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) {
  stopRequested = 1;
}

// Turns SIGINT and SIGTERM into a request to stop between two store operations, so
// an interrupted fill leaves a valid store; the old handlers come back afterwards.
class StopSignals {
 public:
  StopSignals() {
    stopRequested = 0;
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &oldInterrupt_);
    ::sigaction(SIGTERM, &action, &oldTerminate_);
  }
  ~StopSignals() {
    ::sigaction(SIGINT, &oldInterrupt_, nullptr);
    ::sigaction(SIGTERM, &oldTerminate_, nullptr);
  }
  StopSignals(StopSignals const&) = delete;
  StopSignals& operator=(StopSignals const&) = delete;

  static bool requested() { return stopRequested != 0; }

 private:
  struct sigaction oldInterrupt_ {};
  struct sigaction oldTerminate_ {};
};

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

bool isStoreFileName(std::string const& name) {
  return std::find(std::begin(kStoreFileNames), std::end(kStoreFileNames), name) !=
         std::end(kStoreFileNames);
}

// Makes sure `root` may be filled with values of `typeName`; returns the number of
// entries already there. Creates the directory when it does not exist. Throws
// UsageError, having changed nothing, when the directory holds anything a fill could
// destroy.
std::uint32_t prepareRoot(std::string const& root, std::string const& typeName) {
  if (root.empty()) throw UsageError("the store directory is an empty path");
  std::error_code error;
  auto status = fs::status(root, error);
  if (status.type() == fs::file_type::not_found) {
    fs::create_directories(root, error);
    if (error) {
      throw UsageError(fmt::format("cannot create store directory {}: {}", root, error.message()));
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

  auto report = Brell::StoreInspector(root).check();
  if (report.writerAlive) {
    throw UsageError(fmt::format("{} is being written by process {}; a store has one writer", root,
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

template <std::size_t V>
FillResult fill(FillOptions const& options) {
  using Traits = Brell::RawValueTraits<V>;
  std::string typeName(Traits::typeName());
  std::uint32_t existing = prepareRoot(options.root, typeName);

  Brell::MapDescriptor descriptor;
  std::uint64_t wanted = std::uint64_t{existing} + options.entries;
  descriptor.maxSize = static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(wanted, 1, std::uint64_t{Brell::kMaxSlots}));
  Brell::BrellWriter<Traits> writer("fill", descriptor, options.root);
  writer.initialize("hwtables store fill");
  Brell::Util::writeControlFile(options.root);

  auto keys = fillKeys(options.seed, options.entries);
  FillResult result;
  StopSignals signals;
  Progress progress(options.progress, options.root);
  for (std::uint32_t index = 0; index < keys.size() && !StopSignals::requested(); ++index) {
    progress.show("writing", index, keys.size());
    writer.write(makeValue<V>(keys[index], fillPayloadWord(keys[index], 0)), true);
    ++result.written;
  }
  for (std::uint32_t index = 0; index < options.remove && !StopSignals::requested(); ++index) {
    progress.show("removing", index, options.remove);
    if (writer.remove(keys[index], nullptr)) ++result.removed;
  }
  if (options.updateSeconds > 0 && options.remove < keys.size()) {
    // Bursts of rewrites with a pause after each, so readers and tools that need the
    // writer to pause between operations get their chance.
    auto end = Clock::now() + std::chrono::duration<double>(options.updateSeconds);
    std::size_t next = options.remove;
    while (Clock::now() < end && !StopSignals::requested()) {
      for (int burst = 0; burst < 256; ++burst) {
        ++result.updates;
        writer.write(makeValue<V>(keys[next], static_cast<std::uint32_t>(result.updates)), true);
        if (++next == keys.size()) next = options.remove;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
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

}  // namespace

std::vector<std::uint32_t> fillKeys(std::uint32_t seed, std::uint32_t count) {
  std::vector<std::uint32_t> keys;
  keys.reserve(count);
  std::unordered_set<std::uint32_t> seen;
  seen.reserve(count);
  std::mt19937 random(seed);
  while (keys.size() < count) {
    std::uint32_t key = static_cast<std::uint32_t>(random());
    if (seen.insert(key).second) keys.push_back(key);
  }
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
