// The restart-identity ("pyrel") file of a store, mapped read-only by a shadow.
//
// A shadow keeps the file's one page mapped so that a new writer's wipe (a new
// identity) is seen on the next notification without a system call. The record is
// decoded by its owner, SharedMem::PyrelFile; this class only maps it and copies it
// out of shared memory in 8-byte loads.
//
// Thread-safety: the shadow's thread only; the writer rewrites the file in place, and a
// rewrite seen half done fails the record's checksum and is read again.
#pragma once

#include <optional>
#include <string>

#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/PyrelFile.h"
#include "platform/vorl/Exceptions.h"
#include "platform/vorl/Toggle.h"
#include "store/Debug.h"
#include "store/Link.h"

namespace Brell {

class PyrelMapping {
 public:
  explicit PyrelMapping(std::string const& root)
      : file_(SharedMem::MappedFile::inDirectory(root, SharedMem::PyrelFile::kFileName)) {}

  // Maps the file (again: a new writer may have made a new one); false, traced, when
  // it is missing or cannot be mapped.
  bool map() {
    unmap();
    try {
      if (!file_.open(SharedMem::MappedFile::Access::readOnly)) {
        VORL_TRACE(Debug::shadowStore(), kDebugLevel, "failed to map pyrel: {}", "no such file");
        return false;
      }
      file_.coreDumpModeIs(Vorl::getToggleState("SharedMem.json", "CoreDumpSharedFiles")
                               ? SharedMem::CoreDumpMode::include
                               : SharedMem::CoreDumpMode::excludeShared);
      file_.mapSize(SharedMem::PyrelFile::kSize);
    } catch (Vorl::MemoryResourceException const& error) {
      VORL_TRACE(Debug::shadowStore(), kDebugLevel, "failed to map pyrel: {}", error.what());
      file_.close();
      return false;
    }
    return true;
  }

  void unmap() {
    file_.unmap();
    file_.close();
  }

  // The identity in the file now (none when unmapped, while it is being rewritten or
  // when it is damaged).
  std::optional<SharedMem::PyrelId> identity() const {
    auto const* base = static_cast<unsigned char const*>(file_.base());
    if (base == nullptr) return std::nullopt;
    // A rewrite in progress can be seen half done; a few tries get a whole record.
    for (int attempt = 0; attempt < 4; ++attempt) {
      unsigned char copy[SharedMem::PyrelFile::kSize];
      copyFromShared(copy, base, sizeof copy);
      if (auto contents = SharedMem::PyrelFile::decode(copy)) return contents->identity;
    }
    return std::nullopt;
  }

  std::size_t mappedSize() const { return file_.mappedSize(); }

 private:
  SharedMem::MappedFile file_;
};

}  // namespace Brell
