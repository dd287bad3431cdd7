#include "platform/sharedmem/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "platform/sharedmem/FileFaults.h"
#include "platform/vorl/Exceptions.h"

namespace SharedMem {
namespace {

// O_NONBLOCK keeps an open of a planted FIFO from hanging; it changes nothing for regular files.
constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

void checkRegular(int fd, std::string const& path) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    int error = errno;
    ::close(fd);
    throw Vorl::MemoryResourceException(
        fmt::format("cannot stat {}: {}", path, std::strerror(error)));
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(fd);
    throw Vorl::MemoryResourceException(fmt::format("{} is not a regular file", path));
  }
}

}  // namespace

MappedFile::MappedFile(MappedFile&& other) noexcept {
  *this = std::move(other);
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    unmap();
    close();
    path_ = std::move(other.path_);
    heap_ = other.heap_;
    heapOpen_ = std::exchange(other.heapOpen_, false);
    writable_ = other.writable_;
    fd_ = std::exchange(other.fd_, -1);
    base_ = std::exchange(other.base_, nullptr);
    mappedSize_ = std::exchange(other.mappedSize_, 0);
    coreDumpMode_ = other.coreDumpMode_;
  }
  return *this;
}

MappedFile::~MappedFile() {
  unmap();
  close();
}

MappedFile MappedFile::inDirectory(std::string root, std::string name) {
  return MappedFile(root + "/" + name, false);
}

MappedFile MappedFile::onHeap(std::string name) {
  return MappedFile(std::move(name), true);
}

void MappedFile::fail(std::string const& what, int error) const {
  throw Vorl::MemoryResourceException(fmt::format("{} {}: {}", what, path_, std::strerror(error)));
}

bool MappedFile::exists() const {
  if (heap_) return heapOpen_;
  struct stat status {};
  return ::lstat(path_.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool MappedFile::open(Access access) {
  close();
  writable_ = access == Access::readWrite;
  if (heap_) {
    if (!heapOpen_) return false;
    return true;
  }
  int fd = FileFaults::open(path_.c_str(), (writable_ ? O_RDWR : O_RDONLY) | kOpenFlags);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    fail("cannot open", errno);
  }
  checkRegular(fd, path_);
  fd_ = fd;
  return true;
}

void MappedFile::create() {
  close();
  writable_ = true;
  if (heap_) {
    heapOpen_ = true;
    return;
  }
  int fd = FileFaults::open(path_.c_str(), O_RDWR | O_CREAT | kOpenFlags, 0644);
  if (fd < 0) fail("cannot create", errno);
  checkRegular(fd, path_);
  fd_ = fd;
}

void MappedFile::remove() {
  unmap();
  close();
  if (heap_) {
    heapOpen_ = false;
    return;
  }
  removeFile(path_);
}

std::uint64_t MappedFile::fileSize() const {
  if (heap_) return mappedSize_;
  if (fd_ < 0) return 0;
  struct stat status {};
  if (::fstat(fd_, &status) != 0) fail("cannot stat", errno);
  return static_cast<std::uint64_t>(status.st_size);
}

std::uint64_t MappedFile::firstHole() const {
  if (heap_ || fd_ < 0) return fileSize();
  off_t hole = ::lseek(fd_, 0, SEEK_HOLE);
  if (hole < 0) return fileSize();
  return static_cast<std::uint64_t>(hole);
}

void MappedFile::fileSizeIs(std::uint64_t bytes) {
  if (heap_) return;
  if (fd_ < 0) fail("cannot resize closed file", EBADF);
  if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) fail("cannot resize", errno);
}

void* MappedFile::mapSize(std::size_t bytes) {
  unmap();
  if (bytes == 0) return nullptr;
  int protection = PROT_READ | (writable_ ? PROT_WRITE : 0);
  void* address;
  if (heap_) {
    address = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else {
    if (fd_ < 0) fail("cannot map closed file", EBADF);
    if (fileSize() < bytes) {
      throw Vorl::MemoryResourceException(
          fmt::format("cannot map {} bytes of {}: the file has only {}", bytes, path_, fileSize()));
    }
    address = FileFaults::map(bytes, protection, fd_, 0);
  }
  if (address == MAP_FAILED) fail("cannot map", errno);
  base_ = address;
  mappedSize_ = bytes;
  applyCoreDumpMode();
  return base_;
}

void* MappedFile::remapSize(std::size_t bytes) {
  if (!heap_ && writable_ && bytes > mappedSize_) reserve(mappedSize_, bytes);
  if (base_ == nullptr) return mapSize(bytes);
  if (bytes == mappedSize_) return base_;
  if (!heap_ && bytes > mappedSize_ && fileSize() < bytes) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot map {} bytes of {}: the file has only {}", bytes, path_, fileSize()));
  }
  void* address = FileFaults::remap(base_, mappedSize_, bytes);
  if (address == MAP_FAILED) fail("cannot remap", errno);
  base_ = address;
  mappedSize_ = bytes;
  applyCoreDumpMode();
  return base_;
}

void MappedFile::reserve(std::uint64_t from, std::uint64_t to) {
  if (heap_ || to <= from) return;
  if (fd_ < 0) fail("cannot reserve space for closed file", EBADF);
  std::uint64_t before = fileSize();
  int error = FileFaults::reserve(fd_, static_cast<off_t>(from), static_cast<off_t>(to - from));
  if (error == 0) return;
  // A partial reservation may have lengthened the file; give the length back so that
  // nothing changed.
  if (fileSize() > before) (void)!::ftruncate(fd_, static_cast<off_t>(before));
  throw Vorl::MemoryResourceException(fmt::format("cannot reserve bytes {} to {} of {}: {}", from,
                                                  to, path_, std::strerror(error)));
}

std::uint32_t MappedFile::pageSize() {
  static std::uint32_t const size = static_cast<std::uint32_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

bool MappedFile::releaseTail(std::uint64_t from) {
  if (heap_ || fd_ < 0) return true;
  std::uint64_t size = fileSize();
  std::uint64_t page = pageSize();
  std::uint64_t start = (from + page - 1) / page * page;
  if (start >= size) return true;
  return ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(start),
                     static_cast<off_t>(size - start)) == 0;
}

void MappedFile::unmap() {
  if (base_ != nullptr) ::munmap(base_, mappedSize_);
  base_ = nullptr;
  mappedSize_ = 0;
}

void MappedFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void MappedFile::coreDumpModeIs(CoreDumpMode mode) {
  coreDumpMode_ = mode;
  applyCoreDumpMode();
}

void MappedFile::applyCoreDumpMode() {
  if (base_ == nullptr) return;
  ::madvise(base_, mappedSize_,
            coreDumpMode_ == CoreDumpMode::include ? MADV_DODUMP : MADV_DONTDUMP);
}

long readSmallFile(std::string const& path, void* buffer, std::size_t bytes) {
  int fd = FileFaults::open(path.c_str(), O_RDONLY | kOpenFlags);
  if (fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  ssize_t done = ::pread(fd, buffer, bytes, 0);
  int error = errno;
  ::close(fd);
  errno = error;
  return static_cast<long>(done);
}

void writeSmallFile(std::string const& path, void const* buffer, std::size_t bytes) {
  int fd = FileFaults::open(path.c_str(), O_RDWR | O_CREAT | kOpenFlags, 0644);
  if (fd < 0) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot write {}: {}", path, std::strerror(errno)));
  }
  checkRegular(fd, path);
  int error = writeFully(fd, buffer, bytes, 0);
  ::close(fd);
  if (error != 0) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot write {}: {}", path, std::strerror(error)));
  }
}

int writeFully(int fd, void const* buffer, std::size_t bytes, std::uint64_t offset) {
  auto const* next = static_cast<unsigned char const*>(buffer);
  while (bytes > 0) {
    std::size_t chunk = bytes;
    if (int fault = FileFaults::take(FileFaults::Operation::write)) {
      chunk = bytes / 2;  // the system wrote only part of it
      if (chunk == 0) return fault;
    }
    ssize_t done = ::pwrite(fd, next, chunk, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (done == 0) return EIO;
    next += done;
    offset += static_cast<std::uint64_t>(done);
    bytes -= static_cast<std::size_t>(done);
  }
  return 0;
}

void removeFile(std::string const& path) {
  ::unlink(path.c_str());
}

}  // namespace SharedMem
