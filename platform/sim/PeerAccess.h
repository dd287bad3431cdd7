// Who may use a chip process: its owner, and the members of one group if the chip
// was given one.
//
// The socket is made without access for others (ChipServer), and every connection's
// peer is checked again with its kernel credentials (SO_PEERCRED), so a socket whose
// mode was widened later still refuses strangers. peerRefusal() is the rule alone,
// a pure function, so it can be tested for users the test cannot become.
//
// Thread-safety: pure functions, and lookups in the system's user and group
// databases (reentrant forms).
#pragma once

#include "platform/plugin/Export.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace Sim {

struct HWTABLES_API PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct HWTABLES_API AccessPolicy {
  uid_t owner = 0;
  std::optional<gid_t> group;
};

// Empty when the peer may use the chip, otherwise why not. A peer of the owner's
// user is allowed; with a group, so is a peer whose primary group it is or whose
// user belongs to it.
HWTABLES_API std::string peerRefusal(PeerCredentials const& peer, AccessPolicy const& policy);

// The credentials of the peer of a connected Unix socket; nothing when the kernel
// gives none.
HWTABLES_API std::optional<PeerCredentials> socketPeer(int fd);

// A group by name or decimal number; nothing when there is no such group.
HWTABLES_API std::optional<gid_t> groupNamed(std::string const& name);

// Whether the user `uid` belongs to the group `gid` (primary or supplementary).
HWTABLES_API bool userInGroup(uid_t uid, gid_t gid);

}  // namespace Sim
