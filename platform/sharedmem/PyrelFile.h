// The restart-identity ("pyrel") file of a store directory.
//
// Holds the identity of the writer that last attached successfully and when it wrote
// it. A writer reuses the identity found here across restarts (so readers keep
// trusting intact files) and rewrites the file after every successful attach; readers
// take the identity from here and validate the store headers against it.
//
// Layout (little-endian, 32 bytes, written in place so a reader's one-page mapping
// sees updates):
//   0  u64  magic "HTBPYREL"
//   8  u32  format version (1)
//   12 u32  identity
//   16 u64  modification time, nanoseconds since the epoch
//   24 u32  checksum of bytes 0..23
//   28 u32  zero
// A short, torn or damaged file reads as "no identity".
//
// Thread-safety: none; the file itself tolerates concurrent readers (checksum).
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <optional>
#include <string>

#include "platform/sharedmem/PyrelId.h"

namespace SharedMem {

class HWTABLES_API PyrelFile {
 public:
  static constexpr char const* kFileName = "pyrel";
  static constexpr std::size_t kSize = 32;

  struct Contents {
    PyrelId identity;
    std::uint64_t modificationTime = 0;
  };

  explicit PyrelFile(std::string root) : path_(std::move(root) + "/" + kFileName) {}

  std::string const& path() const { return path_; }
  std::optional<Contents> read() const;
  // As read(); when the file is there but cannot be read (no descriptor left, no
  // permission, an I/O error), `error` is the system's reason, else 0. A store must
  // not take an identity it could not read for one that is absent or damaged.
  std::optional<Contents> read(int& error) const;
  // The contents of one record's kSize bytes (a copy of the file or of its mapping);
  // none when the record is damaged or of another format.
  static std::optional<Contents> decode(void const* bytes);
  // Writes the identity with the current time; returns what it wrote.
  Contents write(PyrelId identity) const;
  void remove() const;

 private:
  std::string path_;
};

}  // namespace SharedMem
