#include "store/VanquoRing.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "platform/sharedmem/Checksum.h"
#include "platform/sharedmem/FileFaults.h"
#include "platform/sharedmem/MappedFile.h"
#include "platform/vorl/Exceptions.h"
#include "store/Link.h"

namespace Vanquo {
namespace {

namespace Faults = SharedMem::FileFaults;

constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// The system's page size, never below the format's unit.
std::size_t systemPage() {
  return std::max<std::size_t>(kPageSize, SharedMem::MappedFile::pageSize());
}

std::uint32_t headerChecksum(unsigned char const* header) {
  unsigned char copy[RingOffset::checksummed];
  std::memcpy(copy, header, sizeof copy);
  std::memset(copy + RingOffset::checksum, 0, 4);
  return SharedMem::checksum(copy, sizeof copy);
}

[[noreturn]] void failCreate(std::string const& what, std::string const& path, int error) {
  throw Vorl::MemoryResourceException(fmt::format("{} {}: {}", what, path, std::strerror(error)));
}

// Writes the header of a new ring, its head and its writer into `base`. Nobody maps
// the file before it is renamed into place, so plain stores suffice here.
void formatRing(unsigned char* base, RingHeader const& header, SharedMem::ProcessIdentity writer) {
  std::memcpy(base + RingOffset::magic, &kRingMagic, 8);
  std::memcpy(base + RingOffset::version, &kRingFormatVersion, 4);
  std::memcpy(base + RingOffset::capacity, &header.capacity, 4);
  std::uint32_t entryOffset = kEntryOffset;
  std::memcpy(base + RingOffset::entryOffset, &entryOffset, 4);
  std::uint32_t pyrelValue = header.pyrel.value();
  std::memcpy(base + RingOffset::pyrel, &pyrelValue, 4);
  std::memcpy(base + RingOffset::created, &header.created, 8);
  std::memcpy(base + RingOffset::waitOffset, &header.waitOffset, 4);
  std::uint32_t sum = headerChecksum(base);
  std::memcpy(base + RingOffset::checksum, &sum, 4);
  std::uint64_t head = 1;
  std::memcpy(base + RingOffset::head, &head, 8);
  std::uint64_t writerStart = writer.startTime;
  std::uint64_t writerProcess = writer.processId;
  std::memcpy(base + RingOffset::writerStart, &writerStart, 8);
  std::memcpy(base + RingOffset::writerProcess, &writerProcess, 8);
}

}  // namespace

RingFile::RingFile(RingFile&& other) noexcept {
  *this = std::move(other);
}

RingFile& RingFile::operator=(RingFile&& other) noexcept {
  if (this != &other) {
    close();
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
    waitPage_ = std::exchange(other.waitPage_, nullptr);
    waitPageMapped_ = std::exchange(other.waitPageMapped_, false);
    writable_ = other.writable_;
    header_ = other.header_;
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

RingFile RingFile::create(std::string const& path, std::uint32_t capacity, SharedMem::PyrelId pyrel,
                          SharedMem::ProcessIdentity writer) {
  if (!validCapacity(capacity)) {
    throw Vorl::RangeException(
        fmt::format("notification ring capacity {} is not a power of two "
                    "between {} and {}",
                    capacity, kMinCapacity, kMaxCapacity));
  }
  std::string temporary = fmt::format("{}.new-{}", path, ::getpid());
  ::unlink(temporary.c_str());
  int fd = Faults::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0644);
  if (fd < 0) failCreate("cannot create", temporary, errno);
  std::size_t page = systemPage();
  std::size_t size = ringFileSize(capacity, page);
  auto waitOffset = static_cast<std::uint32_t>(waitOffsetFor(capacity, page));
  // Reserve every page now: on a full tmpfs this fails cleanly, whereas a sparse
  // file would fail later with SIGBUS on the first store into a missing page.
  int error = Faults::reserve(fd, 0, static_cast<off_t>(size));
  if (error == ENOSPC && ::unlink(path.c_str()) == 0) {
    // On a full file system the previous writer's ring may hold the space a new one
    // needs. Its writer is gone (the caller holds the owner lock), so it goes first;
    // a reader still mapping it sees its writer identity cleared and waits.
    error = Faults::reserve(fd, 0, static_cast<off_t>(size));
  }
  if (error != 0) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw Vorl::MemoryResourceException(
        fmt::format("cannot reserve {} bytes for {}: {}", size, temporary, std::strerror(error)));
  }
  void* address = Faults::map(size, PROT_READ | PROT_WRITE, fd, 0);
  if (address == MAP_FAILED) {
    error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    failCreate("cannot map", temporary, error);
  }
  struct stat status {};
  ::fstat(fd, &status);
  ::close(fd);
  auto* base = static_cast<unsigned char*>(address);
  auto created = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  formatRing(base, RingHeader{capacity, waitOffset, pyrel, created}, writer);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    ::munmap(address, size);
    ::unlink(temporary.c_str());
    failCreate("cannot rename into place", path, error);
  }
  RingFile ring;
  ring.base_ = base;
  ring.size_ = size;
  ring.writable_ = true;
  ring.waitPage_ = base + waitOffset;
  ring.header_ = RingHeader{capacity, waitOffset, pyrel, created};
  ring.device_ = status.st_dev;
  ring.inode_ = status.st_ino;
  return ring;
}

namespace {

// The fields of a ring file's header.
struct RingFields {
  std::uint64_t magic;
  std::uint32_t version, capacity, entryOffset, pyrel, checksum, waitOffset;
  std::uint64_t created;
};

RingFields decodeRingHeader(unsigned char const* header) {
  RingFields fields{};
  std::memcpy(&fields.magic, header + RingOffset::magic, 8);
  std::memcpy(&fields.version, header + RingOffset::version, 4);
  std::memcpy(&fields.capacity, header + RingOffset::capacity, 4);
  std::memcpy(&fields.entryOffset, header + RingOffset::entryOffset, 4);
  std::memcpy(&fields.pyrel, header + RingOffset::pyrel, 4);
  std::memcpy(&fields.created, header + RingOffset::created, 8);
  std::memcpy(&fields.checksum, header + RingOffset::checksum, 4);
  std::memcpy(&fields.waitOffset, header + RingOffset::waitOffset, 4);
  return fields;
}

// Why `header` read from a file of `fileSize` bytes is not a ring's, or empty.
std::string ringHeaderProblem(unsigned char const* header, std::uint64_t fileSize) {
  RingFields fields = decodeRingHeader(header);
  std::size_t entriesEnd = kEntryOffset + std::size_t{fields.capacity} * 8;
  if (fields.magic != kRingMagic) return "bad magic";
  if (fields.version != kRingFormatVersion) {
    return fmt::format("format version {} (this reader reads version {})", fields.version,
                       kRingFormatVersion);
  }
  if (fields.checksum != headerChecksum(header)) return "bad header checksum";
  if (!validCapacity(fields.capacity) || fields.entryOffset != kEntryOffset) {
    return fmt::format("bad capacity {} or entry offset {}", fields.capacity, fields.entryOffset);
  }
  if (fields.waitOffset % kPageSize != 0 || fields.waitOffset < entriesEnd ||
      fields.waitOffset - entriesEnd >= 65536) {
    return fmt::format("bad wait offset {} for {} entries", fields.waitOffset, fields.capacity);
  }
  if (fileSize < std::uint64_t{fields.waitOffset} + kPageSize) {
    return fmt::format("{} bytes hold no ring of {} entries", fileSize, fields.capacity);
  }
  return {};
}

// A reader writes only the wait page, through a mapping of that page alone, opened
// anew for writing; null when it may not (it then sleeps in short steps) or when the
// path no longer names the file it mapped.
unsigned char* mapWaitPage(std::string const& path, struct stat const& mapped,
                           std::uint32_t waitOffset) {
  if (waitOffset % SharedMem::MappedFile::pageSize() != 0) return nullptr;
  int writeFd = Faults::open(path.c_str(), O_RDWR | kOpenFlags);
  if (writeFd < 0) return nullptr;
  void* page = MAP_FAILED;
  struct stat writeStatus {};
  if (::fstat(writeFd, &writeStatus) == 0 && writeStatus.st_ino == mapped.st_ino &&
      writeStatus.st_dev == mapped.st_dev) {
    page = Faults::map(kPageSize, PROT_READ | PROT_WRITE, writeFd, static_cast<off_t>(waitOffset));
  }
  ::close(writeFd);
  return page == MAP_FAILED ? nullptr : static_cast<unsigned char*>(page);
}

}  // namespace

bool RingFile::open(std::string const& path, bool writable, std::string* reason) {
  close();
  int fd = -1;
  auto fail = [&](std::string text) {
    if (fd >= 0) ::close(fd);
    if (reason) *reason = std::move(text);
    return false;
  };
  fd = Faults::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | kOpenFlags);
  if (fd < 0) return fail(fmt::format("cannot open {}: {}", path, std::strerror(errno)));
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return fail(fmt::format("{} is not a regular file", path));
  }
  auto fileSize = static_cast<std::uint64_t>(status.st_size);
  if (fileSize < RingOffset::checksummed) {
    return fail(fmt::format("{} is too short for a ring: {} bytes", path, fileSize));
  }
  unsigned char header[RingOffset::checksummed];
  if (::pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    return fail(fmt::format("cannot read {}", path));
  }
  if (std::string problem = ringHeaderProblem(header, fileSize); !problem.empty()) {
    return fail(fmt::format("{} is not a valid notification ring: {}", path, problem));
  }
  RingFields fields = decodeRingHeader(header);
  std::size_t size = std::size_t{fields.waitOffset} + kPageSize;
  int protection = PROT_READ | (writable ? PROT_WRITE : 0);
  void* address = Faults::map(size, protection, fd, 0);
  if (address == MAP_FAILED) {
    return fail(fmt::format("cannot map {}: {}", path, std::strerror(errno)));
  }
  ::close(fd);
  base_ = static_cast<unsigned char*>(address);
  size_ = size;
  writable_ = writable;
  if (writable) {
    waitPage_ = base_ + fields.waitOffset;
  } else {
    waitPage_ = mapWaitPage(path, status, fields.waitOffset);
    waitPageMapped_ = waitPage_ != nullptr;
  }
  header_ = RingHeader{fields.capacity, fields.waitOffset, SharedMem::PyrelId(fields.pyrel),
                       fields.created};
  device_ = status.st_dev;
  inode_ = status.st_ino;
  return true;
}

void RingFile::close() {
  if (waitPageMapped_ && waitPage_ != nullptr) ::munmap(waitPage_, kPageSize);
  if (base_ != nullptr) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
  waitPage_ = nullptr;
  waitPageMapped_ = false;
  writable_ = false;
  header_ = RingHeader{};
}

bool sameFile(std::string const& path, std::uint64_t device, std::uint64_t inode) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return false;
  return S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_dev) == device &&
         static_cast<std::uint64_t>(status.st_ino) == inode;
}

void futexWait(void const* address, std::uint32_t expected, std::chrono::nanoseconds timeout) {
  if (timeout.count() <= 0) return;
  struct timespec relative {};
  relative.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
  relative.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
  // Not FUTEX_PRIVATE_FLAG: the word lives in a file mapping shared by processes,
  // and the kernel keys shared futexes by file and offset, not by address.
  ::syscall(SYS_futex, const_cast<void*>(address), FUTEX_WAIT, expected, &relative, nullptr, 0);
}

void futexWakeAll(void const* address) {
  ::syscall(SYS_futex, const_cast<void*>(address), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace Vanquo
