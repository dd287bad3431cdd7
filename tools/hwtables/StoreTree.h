// The stores below a root directory, for `hwtables store list` and `store wipe`:
// finding them, whether a writer holds each, and removing every file of a store that
// no writer holds.
//
// A store directory is a directory holding at least one of a store's files (see
// isStoreFileName). The walk looks at the root and every directory below it, never
// through a symbolic link, so a link planted in a tree can neither lead a wipe out of
// it nor make it loop.
//
// A writer holds a store while it holds the flock on the store's owner file.
// Looking (writerLockOf) asks the kernel through /proc/locks and takes no lock, so a
// listing never turns away a writer that starts meanwhile. Removing (wipeStore) takes
// the lock first and keeps it until the owner file, the last file removed, is gone:
// a store a live writer holds is never touched, and no writer can start on it
// half-removed.
//
// Thread-safety: the functions touch only the file system; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Tool {

// Whether `name` is the name of one of a store's files: the slot and bucket tables,
// the notification ring (and a new ring a killed writer left before renaming it into
// place), the owner, restart-identity, control and corruption files.
bool isStoreFileName(std::string const& name);

// Every store directory at or below `root`, in path order, and the directories that
// could not be read. `root` must be a directory (Tool::UsageError otherwise).
struct StoreTree {
  std::string root;
  std::vector<std::string> stores;  // full paths; `root` itself when it is a store
  struct Unreadable {
    std::string directory;
    std::string reason;
  };
  std::vector<Unreadable> unreadable;

  // A store's path below the root, "." for the root itself.
  std::string relative(std::string const& store) const;
};
StoreTree findStores(std::string const& root);

// The writer lock of the store in `directory`, as the kernel reports it; nullopt when
// the kernel's lock table cannot be read.
struct WriterLock {
  bool held = false;
  std::uint32_t processId = 0;  // the holder, when the kernel names it
};
std::optional<WriterLock> writerLockOf(std::string const& directory);

// The space the files directly in `directory` take on the file system (allocated
// blocks, so a sparse file counts what it holds).
std::uint64_t bytesOnDisk(std::string const& directory);

struct WipeOutcome {
  bool wiped = false;                    // every file of the store is gone
  bool held = false;                     // a writer holds the store: nothing was touched
  std::uint32_t processId = 0;           // that writer, when known
  std::string error;                     // why not wiped otherwise (files may be partly removed)
  std::optional<std::uint32_t> entries;  // what the store held, when its header said
  std::vector<std::string> removed;      // file names, in the order removed
  std::vector<std::string> kept;         // files and directories that are not the store's
};

// Removes every file of the store in `directory` when no writer holds it; other
// files and the directory itself stay.
WipeOutcome wipeStore(std::string const& directory);

// Removes `directory` and then each parent up to, not including, `root` while they
// are empty. Nothing happens to a directory that holds anything.
void removeEmptyDirectories(std::string const& directory, std::string const& root);

}  // namespace Tool
