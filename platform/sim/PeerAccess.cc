#include "platform/sim/PeerAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <vector>

#include <fmt/format.h>

namespace Sim {

bool userInGroup(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  if (entry.pw_gid == gid) return true;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<std::size_t>(count));
  for (auto member : groups) {
    if (member == gid) return true;
  }
  return false;
}

std::string peerRefusal(PeerCredentials const& peer, AccessPolicy const& policy) {
  if (peer.uid == policy.owner) return {};
  if (policy.group && (peer.gid == *policy.group || userInGroup(peer.uid, *policy.group))) {
    return {};
  }
  if (policy.group) {
    return fmt::format("user {} is neither the chip's owner ({}) nor in its group ({})", peer.uid,
                       policy.owner, *policy.group);
  }
  return fmt::format("user {} is not the chip's owner ({})", peer.uid, policy.owner);
}

std::optional<PeerCredentials> socketPeer(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

std::optional<gid_t> groupNamed(std::string const& name) {
  if (name.empty()) return std::nullopt;
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr) {
    return entry.gr_gid;
  }
  unsigned long number = 0;
  auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (error != std::errc() || end != name.data() + name.size()) return std::nullopt;
  if (::getgrgid_r(static_cast<gid_t>(number), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return entry.gr_gid;
}

}  // namespace Sim
