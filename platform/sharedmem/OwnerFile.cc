#include "platform/sharedmem/OwnerFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <fmt/format.h>

#include "platform/sharedmem/Checksum.h"
#include "platform/sharedmem/FileFaults.h"
#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/ProcessIdentity.h"
#include "platform/vorl/Exceptions.h"

namespace SharedMem {
namespace {

constexpr std::uint64_t kOwnerMagic = 0x52454E574F425448ull;  // "HTBOWNER" read little-endian
constexpr std::uint32_t kOwnerFormatVersion = 1;

struct OwnerRecord {
  std::uint64_t magic;
  std::uint32_t formatVersion;
  std::uint32_t sharedMemType;
  std::uint8_t wiped;
  std::uint8_t zero0[7];
  char valueTypeName[128];
  std::uint32_t shocketProcessId;
  char shocketName[84];
  std::uint64_t shocketStartTime;
  std::uint32_t checksum;
  std::uint32_t zero1;
};
static_assert(sizeof(OwnerRecord) == OwnerFile::kSize);
static_assert(offsetof(OwnerRecord, valueTypeName) == 24);
static_assert(offsetof(OwnerRecord, shocketProcessId) == 152);
static_assert(offsetof(OwnerRecord, shocketStartTime) == 240);
static_assert(offsetof(OwnerRecord, checksum) == 248);

// Attempts at locking the file the path names while others keep replacing it.
constexpr int kLockAttempts = 100;

std::string fixedText(char const* text, std::size_t bytes) {
  return std::string(text, ::strnlen(text, bytes));
}

void fixedTextIs(char* target, std::size_t bytes, std::string const& text) {
  std::memset(target, 0, bytes);
  std::memcpy(target, text.data(), std::min(text.size(), bytes - 1));
}

}  // namespace

std::string ShocketInfo::toString() const {
  return empty() ? std::string("none") : fmt::format("{}:{}", processId, name);
}

std::optional<OwnerFile::Peek> OwnerFile::peek(std::string const& root) {
  OwnerRecord record{};
  long done = readSmallFile(root + "/" + kFileName, &record, sizeof record);
  if (done < 0) return std::nullopt;
  Peek found;
  if (done == 0) {
    found.valid = true;
    return found;
  }
  found.valid = done == static_cast<long>(sizeof record) && record.magic == kOwnerMagic &&
                record.formatVersion == kOwnerFormatVersion &&
                record.checksum == checksum(&record, offsetof(OwnerRecord, checksum));
  if (!found.valid) return found;
  found.valueTypeName = fixedText(record.valueTypeName, sizeof record.valueTypeName);
  found.shocketInfo.processId = record.shocketProcessId;
  found.shocketInfo.name = fixedText(record.shocketName, sizeof record.shocketName);
  found.shocketInfo.startTime = record.shocketStartTime;
  found.wiped = record.wiped != 0;
  return found;
}

OwnerFile::OwnerFile(std::string root) : path_(std::move(root) + "/" + kFileName) {}

OwnerFile::~OwnerFile() {
  close();
}

void OwnerFile::open() {
  if (fd_ >= 0) return;
  int fd = FileFaults::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot open owner file {}: {}", path_, std::strerror(errno)));
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    throw Vorl::MemoryResourceException(fmt::format("{} is not a regular file", path_));
  }
  fd_ = fd;
  load();
}

bool OwnerFile::tryLock() {
  if (locked_) return true;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    open();
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return false;
    // A cleanup removes the file while holding its lock; whoever opened it before
    // then gets the lock of a file no path names, and a third process would lock a
    // new file under the same path: two writers. So the lock counts only when the
    // path still names the locked file.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd_, &held) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      locked_ = true;
      load();  // the previous owner may have changed the record until we held the lock
      return true;
    }
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
  throw Vorl::MemoryResourceException(
      fmt::format("cannot lock owner file {}: it keeps being replaced", path_));
}

void OwnerFile::unlock() {
  if (locked_ && fd_ >= 0) ::flock(fd_, LOCK_UN);
  locked_ = false;
}

void OwnerFile::close() {
  unlock();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void OwnerFile::load() {
  recordValid_ = false;
  OwnerRecord record{};
  ssize_t done = ::pread(fd_, &record, sizeof record, 0);
  if (done == 0) {  // new, empty file: nothing recorded yet
    recordValid_ = true;
    valueTypeName_.clear();
    sharedMemType_ = 0;
    wiped_ = false;
    shocketInfo_ = {};
    return;
  }
  if (done != static_cast<ssize_t>(sizeof record) || record.magic != kOwnerMagic ||
      record.formatVersion != kOwnerFormatVersion ||
      record.checksum != checksum(&record, offsetof(OwnerRecord, checksum))) {
    return;
  }
  recordValid_ = true;
  valueTypeName_ = fixedText(record.valueTypeName, sizeof record.valueTypeName);
  sharedMemType_ = record.sharedMemType;
  wiped_ = record.wiped != 0;
  shocketInfo_.processId = record.shocketProcessId;
  shocketInfo_.name = fixedText(record.shocketName, sizeof record.shocketName);
  shocketInfo_.startTime = record.shocketStartTime;
}

void OwnerFile::store() {
  if (fd_ < 0) open();
  OwnerRecord record{};
  record.magic = kOwnerMagic;
  record.formatVersion = kOwnerFormatVersion;
  record.sharedMemType = sharedMemType_;
  record.wiped = wiped_ ? 1 : 0;
  fixedTextIs(record.valueTypeName, sizeof record.valueTypeName, valueTypeName_);
  record.shocketProcessId = shocketInfo_.processId;
  fixedTextIs(record.shocketName, sizeof record.shocketName, shocketInfo_.name);
  record.shocketStartTime = shocketInfo_.startTime;
  record.checksum = checksum(&record, offsetof(OwnerRecord, checksum));
  if (int error = writeFully(fd_, &record, sizeof record, 0)) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot write owner file {}: {}", path_, std::strerror(error)));
  }
  recordValid_ = true;
}

bool OwnerFile::validate(std::string* reason) {
  if (fd_ < 0) {
    if (reason) *reason = "owner file not open";
    return false;
  }
  load();
  if (!recordValid_ && reason) *reason = fmt::format("damaged owner record in {}", path_);
  return recordValid_;
}

std::string OwnerFile::toString() const {
  if (!recordValid_) return fmt::format("{}: damaged", path_);
  return fmt::format("{}: valueType:\"{}\" sharedMemType:{} wiped:{} shocketInfo:{}", path_,
                     valueTypeName_, sharedMemType_, wiped_, shocketInfo_.toString());
}

void OwnerFile::valueTypeIs(std::string const& typeName, SharedMemType sharedMemType) {
  valueTypeName_ = typeName;
  sharedMemType_ = static_cast<std::uint32_t>(sharedMemType);
  store();
}

void OwnerFile::wipedIs(bool wiped) {
  wiped_ = wiped;
  store();
}

void OwnerFile::shocketInfoIs(ShocketInfo const& info) {
  shocketInfo_ = info;
  if (info.processId != 0 && info.startTime == 0) {
    shocketInfo_.startTime = ProcessIdentity::of(info.processId).startTime;
  }
  store();
}

void OwnerFile::remove() {
  removeFile(path_);
}

}  // namespace SharedMem
