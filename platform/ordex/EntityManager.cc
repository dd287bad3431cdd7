#include "platform/ordex/EntityManager.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Ordex {

std::string EntityManager::defaultStoreRoot() {
  char const* root = std::getenv("HWTABLES_ROOT");
  return root != nullptr && *root != '\0' ? std::string(root) : std::string("/dev/shm/hwtables");
}

EntityManager::EntityManager(std::string storeRoot) : storeRoot_(std::move(storeRoot)) {
  if (storeRoot_.empty()) throw Vorl::RangeException("the store root is empty");
}

std::string EntityManager::directoryOf(std::string const& shadowPath) const {
  std::filesystem::path relative(shadowPath);
  if (shadowPath.empty() || relative.is_absolute()) {
    throw Vorl::RangeException(fmt::format("bad shadow path '{}'", shadowPath));
  }
  for (auto const& part : relative) {
    if (part == "..") throw Vorl::RangeException(fmt::format("bad shadow path '{}'", shadowPath));
  }
  return (std::filesystem::path(storeRoot_) / relative).string();
}

std::string EntityManager::mount(std::string const& shadowPath) {
  auto directory = directoryOf(shadowPath);
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    throw Vorl::MemoryResourceException(
        fmt::format("cannot create store directory {}: {}", directory, error.message()));
  }
  mounted_.insert(shadowPath);
  return directory;
}

void EntityManager::unmount(std::string const& shadowPath) { mounted_.erase(shadowPath); }

}  // namespace Ordex
