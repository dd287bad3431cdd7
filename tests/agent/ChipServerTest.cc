#include <sys/socket.h>
#include <sys/un.h>

#include "platform/sim/ChipClient.h"
#include "platform/sim/ChipServer.h"
#include "platform/sim/ChipWire.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/e2e/E2eTest.h"

namespace {

using Sim::ChipClient;
using Sim::ChipError;
namespace Wire = Sim::Wire;

Vorl::Ptr<Pelcar::SchanCmd> rowWrite(U32 fap, U32 row, std::vector<U8> data) {
  return AgentTest::memoryWrite({fap}, row, std::move(data));
}

using AgentTest::listOf;

class ChipServerTest : public ::testing::Test {
 protected:
  void start(std::function<void(Sim::ChipServer::Options&)> const& adjust = {}) {
    Sim::ChipServer::Options options;
    options.socketPath = socket_;
    options.log = [this](std::string const& line) {
      std::lock_guard lock(mutex_);
      logged_.push_back(line);
    };
    if (adjust) adjust(options);
    server_ = std::make_unique<Sim::ChipServer>(options);
    thread_ = std::thread([this] { server_->run(); });
  }
  void TearDown() override {
    if (server_) {
      server_->stop();
      thread_.join();
      server_.reset();
    }
  }
  std::vector<std::string> logged() {
    std::lock_guard lock(mutex_);
    return logged_;
  }

  // A socket at the chip's path, connected (a connection that speaks bytes, not the
  // protocol) or bound (what a killed chip leaves).
  int rawSocket(bool bind = false) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::strcpy(address.sun_path, socket_.c_str());
    auto* at = reinterpret_cast<sockaddr*>(&address);
    EXPECT_EQ(bind ? ::bind(fd, at, sizeof address) : ::connect(fd, at, sizeof address), 0);
    return fd;
  }
  static std::vector<U8> helloFrame(std::uint16_t version = Wire::kVersion) {
    Wire::Encoder hello;
    hello.raw(Wire::kMagic);
    hello.u16(version);
    hello.u16(0);
    return hello.frame(Wire::Type::hello);
  }
  // Reads one reply frame; its type, or -1 when the connection closed first.
  static int replyType(int fd, std::string* text = nullptr) {
    auto receive = [fd](U8* into, std::size_t size) {
      for (std::size_t got = 0; got < size;) {
        auto done = ::recv(fd, into + got, size - got, 0);
        if (done <= 0) return false;
        got += static_cast<std::size_t>(done);
      }
      return true;
    };
    U8 header[Wire::kHeaderBytes];
    if (!receive(header, sizeof header)) return -1;
    auto parsed = Wire::header(header);
    std::vector<U8> payload(parsed.length);
    if (!receive(payload.data(), payload.size())) return -1;
    if (text) text->assign(payload.begin(), payload.end());
    return parsed.type;
  }
  static void sendBytes(int fd, std::vector<U8> const& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  AgentTest::TempDir dir_;
  std::string socket_ = dir_.file("chip.sock");
  std::unique_ptr<Sim::ChipServer> server_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> logged_;
};

constexpr int kError = 0xffff;

TEST_F(ChipServerTest, BadFramesGetErrorRepliesAndUntrustworthyFramingClosesThatConnectionOnly) {
  start();
  ChipClient bystander(socket_);
  int fd = rawSocket();
  sendBytes(fd, helloFrame());
  EXPECT_EQ(replyType(fd), (Wire::kReply | 1));

  auto frameOf = [](Wire::Type type, auto&& fill) {
    Wire::Encoder frame;
    fill(frame);
    return frame.frame(type);
  };
  // Each frame and what its error reply says: an unknown type; five commands announced,
  // none there; a count that would allocate gigabytes if trusted; bytes left over; a
  // read larger than a reply may be; too many bit flips.
  for (auto const& [frame, says] : std::vector<std::pair<std::vector<U8>, std::string>>{
           {frameOf(static_cast<Wire::Type>(42), [](auto&) {}), "unknown request type 42"},
           {frameOf(Wire::Type::write, [](auto& f) { f.u32(5); }), "do not fit"},
           {frameOf(Wire::Type::read, [](auto& f) { f.u32(0xffffffffu); }), "do not fit"},
           {frameOf(Wire::Type::write, [](auto& f) { f.u32(0), f.u8(7); }), "left over"},
           {frameOf(Wire::Type::read,
                    [](auto& f) {
                      Wire::encodeReads(f, {Sim::CellRead{0, 38, 0x770000, 0, 0, 0x10000000, 64}});
                    }),
            "exceed one frame"},
           {frameOf(Wire::Type::flipBits, [](auto& f) { f.u32(2000000), f.u64(1); }),
            "at most 1000000"}}) {
    std::string text;
    sendBytes(fd, frame);
    EXPECT_EQ(replyType(fd, &text), kError) << says;
    expectHas(text, {says});
  }
  Wire::Encoder digest;
  auto digestFrame = digest.frame(Wire::Type::digest);
  sendBytes(fd, digestFrame);
  EXPECT_EQ(replyType(fd), (Wire::kReply | 5)) << "the connection still works";
  ::close(fd);

  // Framing that cannot be trusted closes that connection only.
  struct Framing {
    std::string name;
    std::vector<std::vector<U8>> frames;
  };
  Wire::Encoder oversized;
  auto oversizedFrame = oversized.frame(Wire::Type::write);
  std::fill_n(oversizedFrame.begin(), 4, 0xff);  // a length of 4 GiB - 1
  std::vector<Framing> framings{
      {"oversized length", {helloFrame(), oversizedFrame}},
      {"no hello first", {digestFrame}},
      {"another version", {helloFrame(Wire::kVersion + 1)}},
      {"garbage hello", {std::vector<U8>{3, 0, 0, 0, 1, 0, 0, 0, 'a', 'b', 'c'}}},
  };
  for (auto const& each : framings) {
    fd = rawSocket();
    int last = 0;
    for (auto const& frame : each.frames) {
      sendBytes(fd, frame);
      last = replyType(fd);
    }
    EXPECT_EQ(last, kError) << each.name;
    EXPECT_EQ(replyType(fd), -1) << each.name << ": the connection is closed";
    ::close(fd);
  }
  EXPECT_EQ(bystander.digest().cells, 0u);
  ChipClient newcomer(socket_);
  EXPECT_EQ(newcomer.digest().cells, 0u);
}

TEST_F(ChipServerTest, AClientGoneMidFrameOrAListWithOneBadCommandLeavesNothingBehind) {
  start();
  int fd = rawSocket();
  sendBytes(fd, helloFrame());
  ASSERT_EQ(replyType(fd), (Wire::kReply | 1));
  Wire::Encoder write;
  Wire::encodeWrites(write, {rowWrite(0, 3, {1, 2, 3, 4}), rowWrite(0, 4, {5, 6, 7, 8})});
  auto frame = write.frame(Wire::Type::write);
  frame.resize(frame.size() - 3);  // the last bytes never leave
  sendBytes(fd, frame);
  ::close(fd);
  ChipClient client(socket_);
  for (int wait = 0; wait < 500 && logged().empty(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(client.digest().cells, 0u);
  ASSERT_FALSE(logged().empty());
  expectHas(logged().front(), {"went away in the middle of a frame"});

  // A list with one bad command is refused whole.
  auto bad = rowWrite(1, 5, {9, 9, 9, 9});
  bad->data.resize(bad->data.size() - 1);  // three bytes for a four-byte row
  try {
    client.write(listOf({rowWrite(0, 3, {1, 2, 3, 4}), bad}));
    ADD_FAILURE() << "a list with a bad command was accepted";
  } catch (ChipError const& error) {
    EXPECT_EQ(error.kind(), ChipError::Kind::refused);
  }
  EXPECT_EQ(client.digest().cells, 0u) << "nothing of the refused list was applied";
  client.write(listOf({rowWrite(0, 3, {1, 2, 3, 4}), rowWrite(1, 3, {1, 2, 3, 4})}));
  EXPECT_EQ(client.digest().cells, 2u);
  auto bytes = client.read({Sim::CellRead{1, 38, 0x770000, 0, 2, 2, 4}});
  EXPECT_EQ(bytes, (std::vector<U8>{0, 0, 0, 0, 1, 2, 3, 4}));
}

// A file in the socket's place, and a path too long for a socket, are refused through
// the tool (ChipToolTest.cc); here, the stale socket of a killed chip and a live one.
TEST_F(ChipServerTest, AStaleSocketIsReplacedALiveOneNeverAndAPeerOfAnotherUserIsRefused) {
  ::close(rawSocket(true));  // a socket nobody answers on any more
  std::atomic<int> connections{0};
  start([&](Sim::ChipServer::Options& options) {
    // The seam of the credential check: the first peer claims to be another user.
    options.peerOf = [&connections](int fd) {
      auto peer = Sim::socketPeer(fd);
      if (peer && connections++ == 0) peer->uid += 4242;
      return peer;
    };
  });
  try {
    ChipClient stranger(socket_);
    ADD_FAILURE() << "a stranger was let in";
  } catch (ChipError const& error) {
    expectHas(error.what(), {"not the chip's owner"});
  }
  ChipClient owner(socket_);
  EXPECT_EQ(owner.digest().cells, 0u);
  EXPECT_EQ(server_->refusedPeers(), 1u);
  ASSERT_EQ(logged().size(), 1u);
  expectHas(logged()[0], {"refused a connection from pid"});
  Sim::ChipServer::Options options;
  options.socketPath = socket_;
  EXPECT_THROW(Sim::ChipServer{options}, Sim::ChipServerError) << "a live chip is never replaced";
  EXPECT_EQ(ChipClient(socket_).digest().cells, 0u);
}

TEST(PeerAccess, OnlyTheOwnerAndTheGroupMayConnect) {
  Sim::AccessPolicy ownerOnly{1000, std::nullopt};
  EXPECT_EQ(Sim::peerRefusal({1, 1000, 1000}, ownerOnly), "");
  EXPECT_NE(Sim::peerRefusal({1, 1001, 1000}, ownerOnly), "");
  EXPECT_NE(Sim::peerRefusal({1, 0, 0}, ownerOnly), "") << "not even root, unless it owns the chip";
  Sim::AccessPolicy withGroup{1000, 4711};
  EXPECT_EQ(Sim::peerRefusal({1, 1001, 4711}, withGroup), "");
  auto refusal = Sim::peerRefusal({1, 1001, 1001}, withGroup);
  expectHas(refusal, {"nor in its group (4711)"});
}

}  // namespace
