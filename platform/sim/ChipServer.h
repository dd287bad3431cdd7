// A simulated chip in a process of its own, serving agents over a Unix socket.
//
// A real chip keeps its tables when the agent that programs it dies; so does this
// one: the chip's cells live in the server's process, and an agent reaches them
// through the socket the way a driver reaches hardware. The server is one thread
// around poll(2): it accepts connections, reads each client's frames (ChipWire.h)
// into that client's buffer, and handles a frame only once all of it has arrived.
// A request is applied whole or not at all: a write request's commands are all
// checked before the first is applied, and a client that goes away in the middle
// of a frame leaves nothing of it behind. Clients are served in turn; one that
// sends garbage gets an error reply (or, when its framing cannot be trusted any
// more, a closed connection), and the others go on being served.
//
// Access: the socket file is created (under a umask) with no access for others:
// mode 0600, or 0660 with the given group as its group. Every new connection's peer
// is checked with its kernel credentials (PeerAccess.h); a refused peer gets one
// error frame, is logged, and is disconnected.
//
// The socket path: an existing file there is replaced only when it is a socket of
// this user that no chip answers on any more (left by a chip that was killed);
// anything else there is refused, never removed. The server removes its socket when
// it is destroyed, if the file is still the one it made.
//
// A chip that is killed loses its cells: a new one starts empty (docs/chip-process.md).
//
// Thread-safety: run() on one thread; stop() from any thread or a signal handler.
#pragma once

#include "platform/plugin/Export.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/sim/PeerAccess.h"
#include "platform/sim/SimChip.h"

namespace Sim {

// The server could not be set up (bad socket path, socket in use); nothing was left
// behind.
struct HWTABLES_API ChipServerError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class HWTABLES_API ChipServer {
 public:
  struct Options {
    std::string socketPath;
    std::optional<gid_t> group;
    // The credentials of a new connection's peer: SO_PEERCRED (socketPeer) unless a
    // test puts a stand-in here.
    std::function<std::optional<PeerCredentials>(int fd)> peerOf;
    // One line per notable event (a refused peer, a client gone mid-frame); stderr
    // when not set.
    std::function<void(std::string const&)> log;
    std::size_t maxClients = 64;
    // Commands the chip's log keeps (Chip::logLimitIs).
    std::size_t logLimit = 0;
    // Faults the chip shows on purpose (FaultPlan.h); none by default.
    std::optional<FaultPlan> faults;
  };

  // Binds and listens. Throws ChipServerError when the socket cannot be made.
  explicit ChipServer(Options options);
  ~ChipServer();
  ChipServer(ChipServer const&) = delete;
  ChipServer& operator=(ChipServer const&) = delete;

  // Serves until stop() is called or `stopRequested` (polled a few times a second,
  // when given) returns true.
  void run(std::function<bool()> const& stopRequested = {});
  void stop();

  std::string const& socketPath() const;
  std::uint64_t instance() const;
  Chip& chip();
  // Peers refused so far.
  std::uint64_t refusedPeers() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Where a chip serves when no path is given: $HWTABLES_CHIP_SOCKET, else
// $XDG_RUNTIME_DIR/hwtables-chip.sock when that directory exists, else
// /tmp/hwtables-chip-<uid>.sock.
HWTABLES_API std::string defaultChipSocket();

}  // namespace Sim
