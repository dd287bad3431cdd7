#include "tests/fuzz/FuzzInput.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
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
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::empty() const {
  std::error_code ignored;
  for (auto const& entry : std::filesystem::directory_iterator(path_, ignored)) {
    std::filesystem::remove(entry.path(), ignored);
  }
}

void ScratchDirectory::write(char const* name, std::string_view bytes) const {
  std::ofstream file(path_ + "/" + name, std::ios::binary | std::ios::trunc);
  if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    throw std::runtime_error("cannot write " + path_ + "/" + name);
  }
}

}  // namespace Fuzz
