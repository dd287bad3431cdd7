#include "tests/fuzz/FuzzInput.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace Fuzz {

ScratchDirectory& ScratchDirectory::instance() {
  static ScratchDirectory directory;
  return directory;
}

ScratchDirectory::ScratchDirectory() {
  for (char const* parent : {"/dev/shm", "/tmp"}) {
    std::string pattern = std::string(parent) + "/hwtables-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch directory in /dev/shm or /tmp");
}

ScratchDirectory::~ScratchDirectory() {
  empty();
  ::rmdir(path_.c_str());
}

void ScratchDirectory::empty() const {
  DIR* directory = ::opendir(path_.c_str());
  if (directory == nullptr) return;
  while (dirent* entry = ::readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    ::unlink((path_ + "/" + name).c_str());
  }
  ::closedir(directory);
}

void ScratchDirectory::write(char const* name, std::string_view bytes) const {
  std::string file = path_ + "/" + name;
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + file);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0) {
      ::close(fd);
      throw std::runtime_error("cannot write " + file);
    }
    done += static_cast<std::size_t>(written);
  }
  ::close(fd);
}

}  // namespace Fuzz
