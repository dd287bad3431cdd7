#include "tools/hwtables/StoreTree.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "platform/sharedmem/OwnerFile.h"
#include "platform/sharedmem/PyrelFile.h"
#include "store/BucketTable.h"
#include "store/SlotLayout.h"
#include "store/StoreFiles.h"
#include "store/StoreInspector.h"
#include "store/VanquoRing.h"
#include "tools/hwtables/Errors.h"

namespace Tool {
namespace {

namespace fs = std::filesystem;

// What a writer leaves while it makes a new notification ring: the ring under a
// temporary name, renamed into place once complete.
std::string const kNewRingPrefix = std::string(Vanquo::kRingFileName) + ".new-";

std::string joined(std::string const& directory, std::string const& name) {
  return (fs::path(directory) / name).string();
}

// The names in `directory`, without following links; an error names why not.
std::vector<fs::directory_entry> entriesOf(std::string const& directory, std::error_code& error) {
  std::vector<fs::directory_entry> entries;
  fs::directory_iterator iterator(directory, error);
  for (; !error && iterator != fs::directory_iterator(); iterator.increment(error)) {
    entries.push_back(*iterator);
  }
  return entries;
}

// `path` without "." and ".." steps and without a trailing separator.
fs::path normal(std::string const& path) {
  fs::path result = fs::path(path).lexically_normal();
  return result.has_filename() || !result.has_parent_path() || result == result.root_path()
             ? result
             : result.parent_path();
}

bool isRealDirectory(fs::directory_entry const& entry) {
  std::error_code error;
  return entry.symlink_status(error).type() == fs::file_type::directory;
}

}  // namespace

bool isStoreFileName(std::string const& name) {
  static constexpr char const* kNames[] = {Brell::kSlotFileName,
                                           BrellCore::kBucketFileName,
                                           Vanquo::kRingFileName,
                                           SharedMem::OwnerFile::kFileName,
                                           SharedMem::PyrelFile::kFileName,
                                           Brell::kControlFileName,
                                           Brell::kCorruptionFileName};
  if (std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames)) return true;
  return name.starts_with(kNewRingPrefix) && name.size() > kNewRingPrefix.size();
}

std::string StoreTree::relative(std::string const& store) const {
  auto path = normal(store).lexically_relative(normal(root));
  return path.empty() ? "." : path.string();
}

StoreTree findStores(std::string const& root) {
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    throw UsageError(error ? fmt::format("cannot use {}: {}", root, error.message())
                           : fmt::format("{} is not a directory", root));
  }
  StoreTree tree{root, {}, {}};
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    std::string directory = std::move(pending.back());
    pending.pop_back();
    auto entries = entriesOf(directory, error);
    if (error) {
      tree.unreadable.push_back({directory, error.message()});
      continue;
    }
    bool store = false;
    for (auto const& entry : entries) {
      if (isRealDirectory(entry)) {
        pending.push_back(entry.path().string());
      } else if (isStoreFileName(entry.path().filename().string())) {
        store = true;
      }
    }
    if (store) tree.stores.push_back(directory);
  }
  std::sort(tree.stores.begin(), tree.stores.end());
  return tree;
}

std::optional<WriterLock> writerLockOf(std::string const& directory) {
  struct stat owner {};
  if (::lstat(joined(directory, SharedMem::OwnerFile::kFileName).c_str(), &owner) != 0) {
    return WriterLock{};  // no owner file: nothing to hold
  }
  std::ifstream locks("/proc/locks");
  if (!locks) return std::nullopt;
  // "1: FLOCK  ADVISORY  WRITE 4242 00:1a:123456 0 EOF"; a waiter's line has "->"
  // after the number and holds nothing.
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, device;
    std::uint64_t processId = 0;
    if (!(fields >> number >> kind) || kind != "FLOCK") continue;
    if (!(fields >> mode >> access >> processId >> device)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(device.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major == ::major(owner.st_dev) && minor == ::minor(owner.st_dev) && inode == owner.st_ino) {
      return WriterLock{true, static_cast<std::uint32_t>(processId)};
    }
  }
  return WriterLock{};
}

std::uint64_t bytesOnDisk(std::string const& directory) {
  std::error_code error;
  std::uint64_t bytes = 0;
  for (auto const& entry : entriesOf(directory, error)) {
    struct stat status {};
    if (::lstat(entry.path().c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      bytes += static_cast<std::uint64_t>(status.st_blocks) * 512;
    }
  }
  return bytes;
}

WipeOutcome wipeStore(std::string const& directory) {
  WipeOutcome outcome;
  SharedMem::OwnerFile owner(directory);
  try {
    if (!owner.tryLock()) {
      outcome.held = true;
      auto lock = writerLockOf(directory);
      outcome.processId = lock ? lock->processId : owner.shocketInfo().processId;
      return outcome;
    }
  } catch (std::exception const& error) {
    outcome.error = error.what();
    return outcome;
  }
  // No writer can attach while the lock is held: what the header says is final.
  Brell::StoreInspector::Options options;
  options.maxWaitMilliseconds = 0;
  auto report = Brell::StoreInspector(directory, options).check();
  if (report.slotHeader) outcome.entries = report.slotHeader->occupancy;

  std::error_code error;
  auto entries = entriesOf(directory, error);
  if (error) {
    outcome.error = fmt::format("cannot read {}: {}", directory, error.message());
    return outcome;
  }
  std::sort(entries.begin(), entries.end());
  for (auto const& entry : entries) {
    std::string name = entry.path().filename().string();
    if (isRealDirectory(entry) || !isStoreFileName(name)) {
      outcome.kept.push_back(name);
    } else if (name != SharedMem::OwnerFile::kFileName) {
      if (::unlink(entry.path().c_str()) != 0 && errno != ENOENT) {
        outcome.error =
            fmt::format("cannot remove {}: {}", entry.path().string(), std::strerror(errno));
        return outcome;
      }
      outcome.removed.push_back(name);
    }
  }
  // The owner file last: its lock keeps writers out until everything else is gone.
  try {
    owner.remove();
  } catch (std::exception const& failure) {
    outcome.error = failure.what();
    return outcome;
  }
  owner.close();
  outcome.removed.push_back(SharedMem::OwnerFile::kFileName);
  outcome.wiped = true;
  return outcome;
}

void removeEmptyDirectories(std::string const& directory, std::string const& root) {
  fs::path top = normal(root);
  fs::path current = normal(directory);
  while (true) {
    auto below = current.lexically_relative(top);
    if (below.empty() || below == "." || *below.begin() == "..") return;
    if (::rmdir(current.c_str()) != 0) return;
    current = current.parent_path();
  }
}

}  // namespace Tool
