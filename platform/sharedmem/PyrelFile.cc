#include "platform/sharedmem/PyrelFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/sharedmem/Checksum.h"
#include "platform/sharedmem/MappedFile.h"

namespace SharedMem {
namespace {

constexpr std::uint64_t kPyrelMagic = 0x4C45525950425448ull;  // "HTBPYREL" read little-endian
constexpr std::uint32_t kPyrelFormatVersion = 1;

struct PyrelRecord {
  std::uint64_t magic;
  std::uint32_t formatVersion;
  std::uint32_t identity;
  std::uint64_t modificationTime;
  std::uint32_t checksum;
  std::uint32_t zero;
};
static_assert(sizeof(PyrelRecord) == PyrelFile::kSize);
static_assert(offsetof(PyrelRecord, identity) == 12);
static_assert(offsetof(PyrelRecord, modificationTime) == 16);
static_assert(offsetof(PyrelRecord, checksum) == 24);

}  // namespace

std::optional<PyrelFile::Contents> PyrelFile::decode(void const* bytes) {
  PyrelRecord record;
  std::memcpy(&record, bytes, sizeof record);
  if (record.magic != kPyrelMagic || record.formatVersion != kPyrelFormatVersion ||
      record.checksum != checksum(&record, offsetof(PyrelRecord, checksum))) {
    return std::nullopt;
  }
  return Contents{PyrelId(record.identity), record.modificationTime};
}

std::optional<PyrelFile::Contents> PyrelFile::read() const {
  int error = 0;
  return read(error);
}

std::optional<PyrelFile::Contents> PyrelFile::read(int& error) const {
  error = 0;
  PyrelRecord record{};
  // A concurrent rewrite can be seen half done; a few tries get a whole record.
  for (int attempt = 0; attempt < 3; ++attempt) {
    long done = readSmallFile(path_, &record, sizeof record);
    if (done < 0 && errno != ENOENT && errno != ELOOP && errno != EINVAL) error = errno;
    if (done != static_cast<long>(sizeof record)) return std::nullopt;
    if (auto contents = decode(&record)) return contents;
  }
  return std::nullopt;
}

PyrelFile::Contents PyrelFile::write(PyrelId identity) const {
  PyrelRecord record{};
  record.magic = kPyrelMagic;
  record.formatVersion = kPyrelFormatVersion;
  record.identity = identity.value();
  record.modificationTime =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  record.checksum = checksum(&record, offsetof(PyrelRecord, checksum));
  writeSmallFile(path_, &record, sizeof record);
  return Contents{identity, record.modificationTime};
}

void PyrelFile::remove() const {
  removeFile(path_);
}

}  // namespace SharedMem
