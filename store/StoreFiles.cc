#include "store/StoreFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "platform/ordex/EntityManager.h"
#include "platform/sharedmem/FileFaults.h"
#include "platform/sharedmem/MappedFile.h"
#include "platform/vorl/Exceptions.h"

namespace Brell {
namespace {

std::string join(std::string const& root, char const* name) {
  return root + "/" + name;
}

bool environmentFlag(char const* name) {
  char const* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

std::vector<FileSpace> fileSpace(std::string const& directory) {
  std::vector<FileSpace> files;
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return files;
  while (dirent* entry = ::readdir(listing)) {
    struct stat status {};
    if (::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      continue;
    }
    files.push_back(FileSpace{entry->d_name, static_cast<std::uint64_t>(status.st_size),
                              static_cast<std::uint64_t>(status.st_blocks) * 512});
  }
  ::closedir(listing);
  std::sort(files.begin(), files.end(),
            [](FileSpace const& left, FileSpace const& right) { return left.name < right.name; });
  return files;
}

std::uint64_t allocatedBytes(std::vector<FileSpace> const& files) {
  std::uint64_t total = 0;
  for (auto const& file : files) total += file.allocated;
  return total;
}

std::string defaultRoot() {
  return Ordex::EntityManager::defaultStoreRoot();
}

namespace Util {

bool runningOnPhysicalDut() {
  return environmentFlag("HWTABLES_PHYSICAL_DUT");
}

bool strictValidation() {
  return environmentFlag("HWTABLES_STRICT_VALIDATION");
}

void writeCorruptionFile(std::string const& root, std::string const& reason) {
  try {
    std::string path = join(root, kCorruptionFileName);
    SharedMem::removeFile(path);  // a fresh file, never a planted link's target
    SharedMem::writeSmallFile(path, reason.data(), reason.size());
  } catch (Vorl::Exception const&) {
    // Best effort: the reader reports the corruption by its exception as well.
  }
}

void removeCorruptionFile(std::string const& root) {
  SharedMem::removeFile(join(root, kCorruptionFileName));
}

std::string readCorruptionFile(std::string const& root) {
  char buffer[4096];
  long done = SharedMem::readSmallFile(join(root, kCorruptionFileName), buffer, sizeof buffer);
  return done > 0 ? std::string(buffer, static_cast<std::size_t>(done)) : std::string();
}

void writeControlFile(std::string const& root) {
  // Empty: its presence is the mark, and an empty file takes no page of a tmpfs. One
  // left by an earlier writer with text in it is emptied.
  std::string path = join(root, kControlFileName);
  int fd =
      SharedMem::FileFaults::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot write {}: {}", path, std::strerror(errno)));
  }
  struct stat status {};
  bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  int error = regular && status.st_size != 0 && ::ftruncate(fd, 0) != 0 ? errno : 0;
  ::close(fd);
  if (!regular) throw Vorl::MemoryResourceException(fmt::format("{} is not a regular file", path));
  if (error != 0) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot empty {}: {}", path, std::strerror(error)));
  }
}

void removeControlFile(std::string const& root) {
  SharedMem::removeFile(join(root, kControlFileName));
}

bool atomicsSupported() {
  return std::atomic_ref<std::uint64_t>::is_always_lock_free;
}

}  // namespace Util

}  // namespace Brell
