#include "store/StoreFiles.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/ordex/EntityManager.h"
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
  static constexpr char kText[] = "hwtables store\n";
  SharedMem::writeSmallFile(join(root, kControlFileName), kText, sizeof kText - 1);
}

void removeControlFile(std::string const& root) {
  SharedMem::removeFile(join(root, kControlFileName));
}

bool atomicsSupported() {
  return std::atomic_ref<std::uint64_t>::is_always_lock_free;
}

}  // namespace Util

}  // namespace Brell
