#include "platform/ordex/EntityManager.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Ordex {

namespace {

std::string userName(uid_t user) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return fmt::format("user {} (uid {})", found->pw_name, user);
  }
  return fmt::format("uid {}", user);
}

// Why `path` cannot hold `user`'s stores, or empty when it can: it does not exist yet
// (the first writer creates it), or it is a directory of the user's own.
std::string unusableReason(std::string const& path, uid_t user) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? std::string()
                           : fmt::format("cannot be examined ({})", std::strerror(errno));
  }
  if (S_ISLNK(status.st_mode)) return "is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "is not a directory";
  if (status.st_uid != user) return "belongs to " + userName(status.st_uid);
  return {};
}

}  // namespace

StoreRootChoice EntityManager::chooseStoreRoot(std::string const& sharedRoot, uid_t user) {
  std::string sharedReason = unusableReason(sharedRoot, user);
  if (sharedReason.empty()) return {sharedRoot, {}};
  std::string perUser = fmt::format("{}-{}", sharedRoot, user);
  std::string perUserReason = unusableReason(perUser, user);
  if (!perUserReason.empty()) {
    throw Vorl::NoPermissionException(
        fmt::format("no store root for {}: {} {} and {} {}; set HWTABLES_ROOT or pass --root",
                    userName(user), sharedRoot, sharedReason, perUser, perUserReason));
  }
  return {perUser, fmt::format("the shared store root {} {}; the stores of {} are in {} "
                               "(HWTABLES_ROOT or --root choose another)",
                               sharedRoot, sharedReason, userName(user), perUser)};
}

std::string EntityManager::defaultStoreRoot() {
  char const* root = std::getenv("HWTABLES_ROOT");
  if (root != nullptr && *root != '\0') return root;
  auto choice = chooseStoreRoot(kSharedStoreRoot, ::geteuid());
  static std::atomic<bool> noted{false};
  if (!choice.note.empty() && !noted.exchange(true)) {
    std::fprintf(stderr, "hwtables: note: %s\n", choice.note.c_str());
  }
  return choice.path;
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

void EntityManager::unmount(std::string const& shadowPath) {
  mounted_.erase(shadowPath);
}

}  // namespace Ordex
