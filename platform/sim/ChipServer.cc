#include "platform/sim/ChipServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <random>
#include <vector>

#include <fmt/format.h>

#include "platform/sim/ChipRequests.h"
#include "platform/sim/ChipWire.h"
#include "platform/vorl/Exceptions.h"

namespace Sim {
namespace {

std::string errnoText(int error) {
  return std::strerror(error);
}

sockaddr_un addressOf(std::string const& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty()) throw ChipServerError("the chip's socket path is empty");
  if (path.size() >= sizeof address.sun_path) {
    throw ChipServerError(fmt::format("the socket path {} is longer than {} bytes", path,
                                      sizeof address.sun_path - 1));
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// Whether a chip answers on the socket at `path`.
bool someoneListens(sockaddr_un const& address) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = ::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0;
  ::close(fd);
  return answered;
}

// Makes room for the socket: nothing there, or a stale socket of ours that no chip
// answers on (removed). Anything else is refused.
void clearStaleSocket(std::string const& path, sockaddr_un const& address) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    throw ChipServerError(fmt::format("cannot look at {}: {}", path, errnoText(errno)));
  }
  if (!S_ISSOCK(status.st_mode)) {
    throw ChipServerError(fmt::format("{} exists and is not a socket; not replacing it", path));
  }
  if (status.st_uid != ::geteuid()) {
    throw ChipServerError(
        fmt::format("{} is a socket of user {}; not replacing it", path, status.st_uid));
  }
  if (someoneListens(address)) throw ChipServerError(fmt::format("a chip already serves {}", path));
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw ChipServerError(
        fmt::format("cannot remove the stale socket {}: {}", path, errnoText(errno)));
  }
}

// Replies a client has not taken yet, beyond which its next frames wait.
constexpr std::size_t kPendingReplyBytes = 1u << 20;
std::uint64_t newInstance() {
  std::random_device device;
  std::uint64_t instance = (std::uint64_t{device()} << 32) | device();
  return instance != 0 ? instance : 1;
}

}  // namespace

struct ChipServer::State {
  struct Client {
    int fd = -1;
    PeerCredentials peer;
    bool greeted = false;
    bool closeWhenFlushed = false;
    std::vector<U8> in;
    std::vector<U8> out;
    std::size_t outSent = 0;
  };

  Options options;
  AccessPolicy policy;
  int listenFd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  ino_t socketInode = 0;
  std::uint64_t instance = newInstance();
  std::uint64_t refused = 0;
  Chip chip;
  std::list<Client> clients;

  void log(std::string const& line) {
    if (options.log) {
      options.log(line);
    } else {
      std::fprintf(stderr, "hwtables chip: %s\n", line.c_str());
    }
  }

  static void queueError(Client& client, std::string const& text) {
    Wire::Encoder reply;
    reply.raw(text);
    auto frame = reply.frame(Wire::Type::error);
    client.out.insert(client.out.end(), frame.begin(), frame.end());
  }

  void accept();
  void receive(Client& client);
  void handleFrames(Client& client);
  void handle(Client& client, std::uint16_t type, U8 const* payload, std::size_t size);
  bool flush(Client& client);
  void close(Client& client) {
    if (client.fd >= 0) ::close(client.fd);
    client.fd = -1;
  }
};

ChipServer::ChipServer(Options options) : state_(std::make_unique<State>()) {
  auto& state = *state_;
  state.options = std::move(options);
  state.policy = AccessPolicy{::geteuid(), state.options.group};
  if (!state.options.peerOf) state.options.peerOf = socketPeer;
  state.chip.logLimitIs(state.options.logLimit);
  state.chip.faultPlanIs(state.options.faults);
  auto const& path = state.options.socketPath;
  auto address = addressOf(path);
  clearStaleSocket(path, address);

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw ChipServerError(
        fmt::format("cannot make the server's wake-up pipe: {}", errnoText(errno)));
  }
  state.wakeRead = wake[0];
  state.wakeWrite = wake[1];
  state.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (state.listenFd < 0) {
    auto error = errno;
    ::close(wake[0]);
    ::close(wake[1]);
    throw ChipServerError(fmt::format("cannot make a socket: {}", errnoText(error)));
  }
  // The socket file is born without access for others: no moment exists in which a
  // stranger could connect.
  mode_t previous = ::umask(state.options.group ? 0117 : 0177);
  int bound = ::bind(state.listenFd, reinterpret_cast<sockaddr const*>(&address), sizeof address);
  int bindError = errno;
  ::umask(previous);
  std::string failure;
  if (bound != 0) {
    failure = fmt::format("cannot bind {}: {}", path, errnoText(bindError));
  } else if (state.options.group &&
             ::chown(path.c_str(), static_cast<uid_t>(-1), *state.options.group) != 0) {
    failure =
        fmt::format("cannot give {} to group {}: {}", path, *state.options.group, errnoText(errno));
  } else if (::listen(state.listenFd, 16) != 0) {
    failure = fmt::format("cannot listen on {}: {}", path, errnoText(errno));
  }
  struct stat status {};
  if (failure.empty() && ::lstat(path.c_str(), &status) == 0) state.socketInode = status.st_ino;
  if (!failure.empty()) {
    if (bound == 0) ::unlink(path.c_str());
    ::close(state.listenFd);
    ::close(wake[0]);
    ::close(wake[1]);
    throw ChipServerError(failure);
  }
}

ChipServer::~ChipServer() {
  auto& state = *state_;
  for (auto& client : state.clients) state.close(client);
  if (state.listenFd >= 0) ::close(state.listenFd);
  struct stat status {};
  auto const& path = state.options.socketPath;
  // Only the socket this server made is removed, never one that replaced it.
  if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
      status.st_ino == state.socketInode) {
    ::unlink(path.c_str());
  }
  ::close(state.wakeRead);
  ::close(state.wakeWrite);
}

std::string const& ChipServer::socketPath() const {
  return state_->options.socketPath;
}
std::uint64_t ChipServer::instance() const {
  return state_->instance;
}
Chip& ChipServer::chip() {
  return state_->chip;
}
std::uint64_t ChipServer::refusedPeers() const {
  return state_->refused;
}

void ChipServer::stop() {
  char byte = 1;
  // A full pipe already holds a wake-up: nothing is lost when this write fails.
  [[maybe_unused]] auto written = ::write(state_->wakeWrite, &byte, 1);
}

void ChipServer::run(std::function<bool()> const& stopRequested) {
  auto& state = *state_;
  std::vector<pollfd> fds;
  std::vector<State::Client*> polled;
  for (;;) {
    if (stopRequested && stopRequested()) return;
    fds.clear();
    polled.clear();
    fds.push_back({state.wakeRead, POLLIN, 0});
    fds.push_back({state.listenFd, POLLIN, 0});
    for (auto& client : state.clients) {
      // A client with replies still to take is not read from: its input waits in the
      // kernel, and the server's memory stays bounded.
      short events = client.out.size() > client.outSent ? POLLOUT : POLLIN;
      fds.push_back({client.fd, events, 0});
      polled.push_back(&client);
    }
    int ready = ::poll(fds.data(), fds.size(), stopRequested ? 100 : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw ChipServerError(fmt::format("poll failed: {}", errnoText(errno)));
    }
    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(state.wakeRead, drain, sizeof drain) > 0) {
      }
      return;
    }
    if (fds[1].revents & POLLIN) state.accept();
    for (std::size_t index = 0; index < polled.size(); ++index) {
      auto& client = *polled[index];
      auto events = fds[index + 2].revents;
      if (events == 0 || client.fd < 0) continue;
      if (events & POLLOUT) {
        // Frames that waited for these replies to be taken are handled now.
        if (state.flush(client) && client.out.empty()) state.handleFrames(client);
      } else if (events & (POLLIN | POLLHUP | POLLERR)) {
        state.receive(client);
      }
    }
    state.clients.remove_if([](State::Client const& client) { return client.fd < 0; });
  }
}

void ChipServer::State::accept() {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        log(fmt::format("accept failed: {}", errnoText(errno)));
      }
      return;
    }
    Client client;
    client.fd = fd;
    std::string refusal;
    auto peer = options.peerOf(fd);
    if (!peer) {
      refusal = "the peer's credentials are not available";
    } else {
      client.peer = *peer;
      refusal = peerRefusal(*peer, policy);
    }
    if (refusal.empty() && clients.size() >= options.maxClients) {
      refusal = fmt::format("the chip serves {} clients already", options.maxClients);
    }
    if (!refusal.empty()) {
      ++refused;
      log(fmt::format("refused a connection from pid {} uid {} gid {}: {}", client.peer.pid,
                      client.peer.uid, client.peer.gid, refusal));
      queueError(client, "connection refused: " + refusal);
      flush(client);
      close(client);
      continue;
    }
    clients.push_back(std::move(client));
  }
}

void ChipServer::State::receive(Client& client) {
  U8 chunk[65536];
  for (;;) {
    auto got = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (got > 0) {
      client.in.insert(client.in.end(), chunk, chunk + got);
      // Frames are handled as they complete, so a client never holds more than one
      // frame's bytes here.
      handleFrames(client);
      if (client.fd < 0 || client.out.size() > client.outSent) return;
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (got < 0 && errno == EINTR) continue;
    if (!client.in.empty()) {
      log(fmt::format("client pid {} went away in the middle of a frame; its {} bytes were dropped",
                      client.peer.pid, client.in.size()));
    }
    close(client);
    return;
  }
}

void ChipServer::State::handleFrames(Client& client) {
  std::size_t offset = 0;
  while (client.fd >= 0 && !client.closeWhenFlushed &&
         client.out.size() - client.outSent < kPendingReplyBytes &&
         client.in.size() - offset >= Wire::kHeaderBytes) {
    auto header = Wire::header(client.in.data() + offset);
    if (header.length > Wire::kMaxPayload) {
      // The length cannot be trusted: the rest of the stream cannot be framed.
      queueError(client, fmt::format("a frame of {} bytes exceeds the largest, {}; closing",
                                     header.length, Wire::kMaxPayload));
      client.closeWhenFlushed = true;
      break;
    }
    if (client.in.size() - offset - Wire::kHeaderBytes < header.length) break;
    handle(client, header.type, client.in.data() + offset + Wire::kHeaderBytes, header.length);
    offset += Wire::kHeaderBytes + header.length;
  }
  client.in.erase(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(offset));
  if (client.closeWhenFlushed) client.in.clear();
  if (client.out.size() > client.outSent || client.closeWhenFlushed) flush(client);
}

void ChipServer::State::handle(Client& client, std::uint16_t type, U8 const* payload,
                               std::size_t size) {
  Wire::Decoder in(payload, size);
  Wire::Encoder reply;
  try {
    if (!client.greeted) {
      answerHello(type, in, reply, instance);
      client.greeted = true;
    } else {
      answerRequest(chip, type, in, reply, instance);
    }
  } catch (Wire::WireError const& error) {
    queueError(client, error.what());
    if (!client.greeted) client.closeWhenFlushed = true;
    return;
  } catch (Vorl::Exception const& error) {  // a command the chip refused
    queueError(client, error.what());
    return;
  } catch (std::bad_alloc const&) {
    queueError(client, "the chip ran out of memory for this request");
    return;
  }
  auto frame = reply.frame(static_cast<std::uint16_t>(type | Wire::kReply));
  client.out.insert(client.out.end(), frame.begin(), frame.end());
}

// Sends what the client's replies still hold; false when the client is gone.
bool ChipServer::State::flush(Client& client) {
  while (client.outSent < client.out.size()) {
    auto sent = ::send(client.fd, client.out.data() + client.outSent,
                       client.out.size() - client.outSent, MSG_NOSIGNAL);
    if (sent > 0) {
      client.outSent += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    close(client);
    return false;
  }
  client.out.clear();
  client.outSent = 0;
  if (client.closeWhenFlushed) close(client);
  return client.fd >= 0;
}

std::string defaultChipSocket() {
  if (char const* path = std::getenv("HWTABLES_CHIP_SOCKET"); path != nullptr && *path != '\0') {
    return path;
  }
  if (char const* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && *runtime != '\0') {
    struct stat status {};
    if (::stat(runtime, &status) == 0 && S_ISDIR(status.st_mode)) {
      return std::string(runtime) + "/hwtables-chip.sock";
    }
  }
  return fmt::format("/tmp/hwtables-chip-{}.sock", ::geteuid());
}

}  // namespace Sim
