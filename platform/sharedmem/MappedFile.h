// One file of a store directory, mapped into this process.
//
// A MappedFile is either file-backed (a regular file in a root directory, shared
// with other processes) or heap-backed (an anonymous private mapping, for stores that
// live in one process only). Writers open files read-write and map them shared;
// readers open them read-only and map them PROT_READ, so a reader can never change
// a store.
//
// Safety rules kept here so no caller can forget them:
// - every open uses O_NOFOLLOW | O_CLOEXEC: a symbolic link planted in the root is
//   refused (ELOOP), never followed, and descriptors do not leak into exec'd children;
// - only regular files are accepted (a FIFO or device planted in the root is refused);
// - the mapping never extends past the end of the file: mapSize() checks the file's
//   length first, so touching the mapping cannot raise SIGBUS unless someone else
//   truncates the file (the store's writer never does; see releaseTail());
// - a writer's file has its space reserved (posix_fallocate) before a mapping grows
//   over it: a file system that is full refuses the growth with ENOSPC here instead
//   of faulting with SIGBUS at the first store into a page it cannot supply. A failed
//   reservation leaves the file's length as it was.
//
// Tests make these calls fail on purpose through FileFaults.h.
//
// Failures throw Vorl::MemoryResourceException with the system's reason.
// Thread-safety: none; one owner thread.
#pragma once

#include "platform/plugin/Export.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace SharedMem {

// How a mapping takes part in core dumps: 0 included; 1 and 3 excluded (1 is the
// shared-files choice, 3 the full-core-dump choice turned off).
enum class CoreDumpMode : int { include = 0, excludeShared = 1, exclude = 3 };

class HWTABLES_API MappedFile {
 public:
  enum class Access { readOnly, readWrite };

  MappedFile() = default;
  MappedFile(MappedFile const&) = delete;
  MappedFile& operator=(MappedFile const&) = delete;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  ~MappedFile();

  // A file-backed wrapper for `name` in directory `root`; nothing is opened yet.
  static MappedFile inDirectory(std::string root, std::string name);
  // A heap-backed wrapper (anonymous private memory); `name` is for messages only.
  static MappedFile onHeap(std::string name);
  // The system's page size: mappings, reservations and released ranges come in pages.
  static std::uint32_t pageSize();

  bool heap() const { return heap_; }
  std::string const& path() const { return path_; }
  bool isOpen() const { return fd_ >= 0 || (heap_ && heapOpen_); }

  // True when the file exists as a regular file (a link in its place reads false).
  bool exists() const;
  // Opens an existing file; false when it does not exist. Throws on any other error
  // (a symbolic link, not a regular file, no permission).
  bool open(Access access);
  // Creates the file (or opens it when present) read-write with length 0 when new.
  void create();
  // Removes the file; absent is fine. A heap wrapper just releases its memory.
  void remove();

  std::uint64_t fileSize() const;
  // The offset of the first hole (a range the file claims but holds no data for),
  // or the file size when there is none. A file system that cannot tell reports no
  // hole.
  std::uint64_t firstHole() const;
  // Sets the file length; the writer only ever lengthens (see releaseTail).
  void fileSizeIs(std::uint64_t bytes);

  // Maps the first `bytes` of the file (replacing any mapping). The file must be at
  // least that long. Returns the base address.
  void* mapSize(std::size_t bytes);
  // Grows or shrinks the mapping, reserving the file's space first when it grows
  // (a file opened read-write is lengthened as needed). The base address may change.
  void* remapSize(std::size_t bytes);
  // Gives the memory of the file's bytes [from, end of file) back to the system
  // without shortening the file: a reader that still maps them reads zeros instead
  // of faulting. Heap wrappers do nothing. Returns false when the file system
  // cannot do it (the bytes then simply stay).
  bool releaseTail(std::uint64_t from);
  void unmap();
  void close();

  void* base() const { return base_; }
  std::size_t mappedSize() const { return mappedSize_; }

  void coreDumpModeIs(CoreDumpMode mode);
  CoreDumpMode coreDumpMode() const { return coreDumpMode_; }

 private:
  MappedFile(std::string path, bool heap) : path_(std::move(path)), heap_(heap) {}
  void applyCoreDumpMode();
  // Reserves the file's bytes [from, to), lengthening it when shorter.
  void reserve(std::uint64_t from, std::uint64_t to);
  [[noreturn]] void fail(std::string const& what, int error) const;

  std::string path_;
  bool heap_ = false;
  bool heapOpen_ = false;
  bool writable_ = false;
  int fd_ = -1;
  void* base_ = nullptr;
  std::size_t mappedSize_ = 0;
  CoreDumpMode coreDumpMode_ = CoreDumpMode::include;
};

// Reads up to `bytes` from the start of a regular file without following links;
// returns the number read, or -1 with errno set.
HWTABLES_API long readSmallFile(std::string const& path, void* buffer, std::size_t bytes);
// Writes `bytes` at offset 0 of a regular file (created when absent, never through a
// link); throws Vorl::MemoryResourceException on failure.
HWTABLES_API void writeSmallFile(std::string const& path, void const* buffer, std::size_t bytes);
// Writes all `bytes` at `offset`, continuing after short writes; 0, or the error.
HWTABLES_API int writeFully(int fd, void const* buffer, std::size_t bytes, std::uint64_t offset);
// Removes a file (not following links: a link itself is removed); absent is fine.
HWTABLES_API void removeFile(std::string const& path);

}  // namespace SharedMem
