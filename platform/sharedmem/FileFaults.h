// Faults injected at the file layer, so that tests can make the system calls behind
// MappedFile, the notification ring and the small-file writes fail as a full or
// broken system would: no space (ENOSPC), a file too large (EFBIG), a mapping that
// cannot be made (ENOMEM), a file that cannot be opened (EMFILE, EACCES), a write
// that comes out short.
//
// Production code never injects anything; the file layer makes these calls through
// the functions at the bottom, which ask take() first and cost one relaxed atomic
// load when nothing is armed.
//
// Thread-safety: inject, clear, seen and take may be called from any thread.
#pragma once

#include "platform/plugin/Export.h"

#include <sys/types.h>

#include <cstddef>

namespace SharedMem::FileFaults {

enum class Operation {
  reserve,  // reserving the space of a file (creation, growth): posix_fallocate
  map,      // mmap and mremap
  write,    // pwrite of the small files (owner record, restart identity)
  open,     // opening or creating a file of a store
};
inline constexpr Operation kOperations[] = {Operation::reserve, Operation::map, Operation::write,
                                            Operation::open};

// From now on, the call number `after` + 1 of `operation` and the `count` - 1 calls
// after it fail with `error` (for writes: the call writes half and reports it).
HWTABLES_API void inject(Operation operation, int error, unsigned after = 0, unsigned count = 1);
// Disarms every operation.
HWTABLES_API void clear();
// How many calls of `operation` were made since it was last armed, up to and
// including its last failure: fewer than `after` + 1 means the fault never came.
HWTABLES_API unsigned seen(Operation operation);
// For the file layer: 0, or the error the current call of `operation` fails with.
HWTABLES_API int take(Operation operation);

// Disarms every operation when it goes out of scope.
class HWTABLES_API Scope {
 public:
  Scope() = default;
  Scope(Scope const&) = delete;
  Scope& operator=(Scope const&) = delete;
  ~Scope() { clear(); }
};

// The system calls the file layer makes, each failing first when a test armed it;
// results and errors as the system's own (errno set where the system sets it).
HWTABLES_API int open(char const* path, int flags, mode_t mode = 0);
// posix_fallocate: 0 or the error.
HWTABLES_API int reserve(int fd, off_t offset, off_t length);
// mmap of a file, MAP_SHARED.
HWTABLES_API void* map(std::size_t bytes, int protection, int fd, off_t offset);
HWTABLES_API void* remap(void* address, std::size_t oldBytes, std::size_t newBytes);

}  // namespace SharedMem::FileFaults
