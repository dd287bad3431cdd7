#include "platform/sim/ChipClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "platform/sim/ChipWire.h"

namespace Sim {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMilliseconds(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

ChipClient::ChipClient(std::string socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) {
    throw ChipError(ChipError::Kind::unreachable,
                    fmt::format("'{}' is not a socket path (1 to {} bytes)", socketPath_,
                                sizeof address.sun_path - 1));
  }
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    throw ChipError(ChipError::Kind::unreachable,
                    fmt::format("cannot make a socket: {}", std::strerror(errno)));
  }
  if (::connect(fd_, reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0) {
    auto error = errno;
    ::close(fd_);
    fd_ = -1;
    throw ChipError(ChipError::Kind::unreachable,
                    fmt::format("no chip to reach at {}: {}", socketPath_, std::strerror(error)));
  }
  Wire::Encoder hello;
  hello.raw(Wire::kMagic);
  hello.u16(Wire::kVersion);
  hello.u16(0);
  try {
    auto reply =
        request(hello.frame(Wire::Type::hello), static_cast<std::uint16_t>(Wire::Type::hello));
    Wire::Decoder in(reply);
    std::string magic(reinterpret_cast<char const*>(in.raw(Wire::kMagic.size())),
                      Wire::kMagic.size());
    auto version = in.u16();
    in.u16();
    instance_ = in.u64();
    chipProcess_ = static_cast<pid_t>(in.u32());
    in.finish("hello reply");
    if (magic != Wire::kMagic || version != Wire::kVersion) {
      broken(ChipError::Kind::protocol,
             fmt::format("the chip at {} speaks protocol version {}, not {}", socketPath_, version,
                         Wire::kVersion));
    }
  } catch (Wire::WireError const& error) {
    ::close(fd_);
    fd_ = -1;
    throw ChipError(
        ChipError::Kind::protocol,
        fmt::format("the chip at {} answered hello wrongly: {}", socketPath_, error.what()));
  } catch (...) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    throw;
  }
}

ChipClient::~ChipClient() {
  if (fd_ >= 0) ::close(fd_);
}

void ChipClient::broken(ChipError::Kind kind, std::string const& message) {
  broken_.emplace(kind, message);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  throw *broken_;
}

std::string ChipClient::sendAll(std::vector<U8> const& bytes) {
  auto deadline = Clock::now() + timeout_;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    auto done = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (done > 0) {
      sent += static_cast<std::size_t>(done);
      continue;
    }
    if (done < 0 && errno == EINTR) continue;
    if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd wait{fd_, POLLOUT, 0};
      if (::poll(&wait, 1, remainingMilliseconds(deadline)) == 0) {
        broken(ChipError::Kind::timeout, fmt::format("the chip at {} took no request for {} ms",
                                                     socketPath_, timeout_.count()));
      }
      continue;
    }
    return std::strerror(errno);
  }
  return {};
}

void ChipClient::receiveExactly(U8* into, std::size_t size) {
  auto deadline = Clock::now() + timeout_;
  std::size_t got = 0;
  while (got < size) {
    pollfd wait{fd_, POLLIN, 0};
    int ready = ::poll(&wait, 1, remainingMilliseconds(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      broken(ChipError::Kind::timeout, fmt::format("the chip at {} did not answer within {} ms",
                                                   socketPath_, timeout_.count()));
    }
    auto done = ::recv(fd_, into + got, size - got, MSG_DONTWAIT);
    if (done > 0) {
      got += static_cast<std::size_t>(done);
      continue;
    }
    if (done < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    broken(ChipError::Kind::gone,
           done == 0
               ? fmt::format("the chip at {} is gone: it closed the connection", socketPath_)
               : fmt::format("the chip at {} is gone: {}", socketPath_, std::strerror(errno)));
  }
}

std::pair<std::uint16_t, std::vector<U8>> ChipClient::exchange(std::vector<U8> const& frame) {
  if (broken_) throw *broken_;
  // A chip that closed the connection may have said why before it did: its reply is
  // read even when the request could not be sent.
  auto sendError = sendAll(frame);
  U8 headerBytes[Wire::kHeaderBytes];
  try {
    receiveExactly(headerBytes, sizeof headerBytes);
  } catch (ChipError const&) {
    if (sendError.empty()) throw;
    broken(ChipError::Kind::gone,
           fmt::format("the chip at {} is gone: {}", socketPath_, sendError));
  }
  auto header = Wire::header(headerBytes);
  if (header.length > Wire::kMaxPayload) {
    broken(ChipError::Kind::protocol,
           fmt::format("the chip at {} sent a reply of {} bytes", socketPath_, header.length));
  }
  std::vector<U8> payload(header.length);
  receiveExactly(payload.data(), payload.size());
  return {header.type, std::move(payload)};
}

std::vector<U8> ChipClient::request(std::vector<U8> const& frame, std::uint16_t type) {
  auto [replyType, payload] = exchange(frame);
  if (replyType == static_cast<std::uint16_t>(Wire::Type::error)) {
    std::string text(payload.begin(), payload.end());
    throw ChipError(ChipError::Kind::refused,
                    fmt::format("the chip refused {}: {}", Wire::typeName(type), text));
  }
  if (replyType != (type | Wire::kReply)) {
    broken(ChipError::Kind::protocol,
           fmt::format("the chip at {} answered {} with a {} reply", socketPath_,
                       Wire::typeName(type), Wire::typeName(replyType)));
  }
  return std::move(payload);
}

WriteOutcome ChipClient::write(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) {
  WriteOutcome outcome;
  if (!cmds || cmds->empty()) return outcome;
  std::vector<Vorl::Ptr<Pelcar::SchanCmd>> batch;
  std::size_t batchBytes = 4;
  auto sendBatch = [&] {
    if (batch.empty()) return;
    Wire::Encoder out;
    try {
      Wire::encodeWrites(out, batch);
    } catch (Wire::WireError const& error) {
      throw ChipError(ChipError::Kind::refused, error.what());
    }
    auto reply =
        request(out.frame(Wire::Type::write), static_cast<std::uint16_t>(Wire::Type::write));
    try {
      Wire::Decoder in(reply);
      auto commands = in.u32();
      in.u64();
      if (commands != batch.size()) {
        throw Wire::WireError(
            fmt::format("{} commands answered of the {} sent", commands, batch.size()));
      }
      for (auto fault : Wire::decodeFaults(in, commands)) {
        fault.index += outcome.commands;
        outcome.faults.push_back(std::move(fault));
      }
      in.finish("write reply");
      outcome.commands += commands;
    } catch (Wire::WireError const& error) {
      broken(ChipError::Kind::protocol,
             fmt::format("the chip at {} sent a bad write reply: {}", socketPath_, error.what()));
    }
    batch.clear();
    batchBytes = 4;
  };
  for (auto const& cmd : *cmds) {
    if (!cmd) throw ChipError(ChipError::Kind::refused, "command list holds a null command");
    auto bytes = Wire::encodedWriteBytes(*cmd);
    if (batchBytes + bytes > Wire::kMaxPayload) sendBatch();
    batch.push_back(cmd);
    batchBytes += bytes;
  }
  sendBatch();
  return outcome;
}

std::vector<U8> ChipClient::read(std::vector<CellRead> const& reads) {
  std::vector<U8> bytes;
  std::vector<CellRead> batch;
  std::uint64_t replyBytes = 0;
  auto sendBatch = [&] {
    if (batch.empty()) return;
    Wire::Encoder out;
    Wire::encodeReads(out, batch);
    auto reply = request(out.frame(Wire::Type::read), static_cast<std::uint16_t>(Wire::Type::read));
    if (reply.size() != replyBytes) {
      broken(ChipError::Kind::protocol,
             fmt::format("the chip answered {} bytes for reads of {}", reply.size(), replyBytes));
    }
    bytes.insert(bytes.end(), reply.begin(), reply.end());
    batch.clear();
    replyBytes = 0;
  };
  for (auto const& cellRead : reads) {
    if (cellRead.bytes() > Wire::kMaxPayload) {
      throw ChipError(ChipError::Kind::refused,
                      fmt::format("a read of {} bytes exceeds one frame", cellRead.bytes()));
    }
    if (replyBytes + cellRead.bytes() > Wire::kMaxPayload ||
        (batch.size() + 1) * Wire::kReadBytes + 4 > Wire::kMaxPayload) {
      sendBatch();
    }
    batch.push_back(cellRead);
    replyBytes += cellRead.bytes();
  }
  sendBatch();
  return bytes;
}

std::vector<std::pair<CellAddress, Cell>> ChipClient::cells(std::optional<U32> fapId) {
  Wire::Encoder out;
  out.u32(fapId ? *fapId : Wire::kAllFaps);
  auto reply = request(out.frame(Wire::Type::cells), static_cast<std::uint16_t>(Wire::Type::cells));
  try {
    Wire::Decoder in(reply);
    return Wire::decodeCells(in);
  } catch (Wire::WireError const& error) {
    broken(ChipError::Kind::protocol, error.what());
  }
}

ChipDigest ChipClient::digest() {
  Wire::Encoder out;
  auto reply =
      request(out.frame(Wire::Type::digest), static_cast<std::uint16_t>(Wire::Type::digest));
  try {
    Wire::Decoder in(reply);
    ChipDigest digest;
    digest.digest = in.u64();
    digest.cells = in.u64();
    digest.commandsExecuted = in.u64();
    digest.instance = in.u64();
    in.finish("digest reply");
    return digest;
  } catch (Wire::WireError const& error) {
    broken(ChipError::Kind::protocol, error.what());
  }
}

std::vector<FlippedBit> ChipClient::flipBits(U32 count, std::uint64_t seed) {
  Wire::Encoder out;
  out.u32(count);
  out.u64(seed);
  auto reply =
      request(out.frame(Wire::Type::flipBits), static_cast<std::uint16_t>(Wire::Type::flipBits));
  try {
    Wire::Decoder in(reply);
    return Wire::decodeFlipped(in);
  } catch (Wire::WireError const& error) {
    broken(ChipError::Kind::protocol, error.what());
  }
}

std::uint64_t ChipClient::reset() {
  Wire::Encoder out;
  auto reply = request(out.frame(Wire::Type::reset), static_cast<std::uint16_t>(Wire::Type::reset));
  try {
    Wire::Decoder in(reply);
    auto removed = in.u64();
    in.finish("reset reply");
    return removed;
  } catch (Wire::WireError const& error) {
    broken(ChipError::Kind::protocol, error.what());
  }
}

}  // namespace Sim
