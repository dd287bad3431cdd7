// A connection to a chip process (ChipServer.h): what an agent's command path and
// the `hwtables chip` commands use to reach the chip's cells.
//
// The constructor connects and says hello; each call then sends one request (or,
// for lists larger than one frame, several) and waits for its reply. A request the
// chip refuses (a bad command) raises ChipError of kind `refused` and leaves the
// chip as it was; the connection goes on. A chip that goes away (killed, restarted)
// or breaks the protocol raises `gone` or `protocol`, and every later call raises
// the same: the caller learns the chip is gone instead of waiting for it. Each reply
// is awaited for at most the timeout given (`timeout`).
//
// Thread-safety: one thread per client.
#pragma once

#include "platform/plugin/Export.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/pelcar/SchanCmd.h"
#include "platform/sim/SimChip.h"

namespace Sim {

class HWTABLES_API ChipError : public std::runtime_error {
 public:
  enum class Kind {
    unreachable,  // nothing serves the socket, or this user may not connect to it
    gone,         // the chip closed the connection
    refused,      // the chip refused a request (nothing of it was applied)
    timeout,      // no reply in time
    protocol,     // the chip's reply is not one of this protocol
  };
  ChipError(Kind kind, std::string const& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct HWTABLES_API ChipDigest {
  std::uint64_t digest = 0;
  std::uint64_t cells = 0;
  std::uint64_t commandsExecuted = 0;
  std::uint64_t instance = 0;
};

class HWTABLES_API ChipClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  // Connects and says hello. Throws ChipError (unreachable, refused, protocol, timeout).
  explicit ChipClient(std::string socketPath, std::chrono::milliseconds timeout = kDefaultTimeout);
  ~ChipClient();
  ChipClient(ChipClient const&) = delete;
  ChipClient& operator=(ChipClient const&) = delete;

  std::string const& socketPath() const { return socketPath_; }
  // The chip's instance: drawn when the chip process started.
  std::uint64_t instance() const { return instance_; }
  pid_t chipProcess() const { return chipProcess_; }

  // Executes the write commands of the list, in order. A list that fits one frame is
  // checked whole before any of it is applied; a longer one goes in several frames,
  // each checked whole. Returns what the chip made of them: the commands a fault plan
  // made fail (FaultPlan.h), indexed in the whole list. A null list sends nothing.
  WriteOutcome write(Vorl::Ptr<Pelcar::SchanCmds> const& cmds);
  // The bytes of every read, back to back in order (several frames when they do not
  // fit one).
  std::vector<U8> read(std::vector<CellRead> const& reads);
  // Every written cell (of one FAP, or of all).
  std::vector<std::pair<CellAddress, Cell>> cells(std::optional<U32> fapId = std::nullopt);
  ChipDigest digest();
  std::vector<FlippedBit> flipBits(U32 count, std::uint64_t seed);
  // Empties the chip; returns the number of cells it held.
  std::uint64_t reset();

  // One raw request: the frame as given, the reply's type and payload as received.
  // For tests of what the chip does with bad frames.
  std::pair<std::uint16_t, std::vector<U8>> exchange(std::vector<U8> const& frame);

 private:
  std::vector<U8> request(std::vector<U8> const& frame, std::uint16_t type);
  // Empty when everything was sent, otherwise why not (the chip closed the connection).
  std::string sendAll(std::vector<U8> const& bytes);
  void receiveExactly(U8* into, std::size_t size);
  [[noreturn]] void broken(ChipError::Kind kind, std::string const& message);

  std::string socketPath_;
  std::chrono::milliseconds timeout_;
  int fd_ = -1;
  std::optional<ChipError> broken_;
  std::uint64_t instance_ = 0;
  pid_t chipProcess_ = 0;
};

}  // namespace Sim
