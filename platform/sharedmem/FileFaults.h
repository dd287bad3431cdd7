// Faults injected at the file layer, so that tests can make the system calls behind
// MappedFile and the small-file writes fail as a full or broken system would: no
// space (ENOSPC), a file too large (EFBIG), a mapping that cannot be made (ENOMEM),
// a write that comes out short.
//
// Production code never injects anything; the file layer asks take() before each
// call that can fail this way, which costs one relaxed atomic load when nothing is
// armed.
//
// Thread-safety: inject, clear and take may be called from any thread.
#pragma once

#include "platform/plugin/Export.h"

namespace SharedMem::FileFaults {

enum class Operation {
  reserve,  // reserving the space of a file (creation, growth): posix_fallocate
  map,      // mmap and mremap
  write,    // pwrite of the small files (owner record, restart identity)
};

// From now on, the call number `after` + 1 of `operation` and the `count` - 1 calls
// after it fail with `error` (for writes: the call writes half and reports it).
HWTABLES_API void inject(Operation operation, int error, unsigned after = 0, unsigned count = 1);
// Disarms every operation.
HWTABLES_API void clear();
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

}  // namespace SharedMem::FileFaults
