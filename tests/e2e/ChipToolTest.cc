// `hwtables chip`: a chip process and its socket.

#include "tests/e2e/E2eTest.h"

namespace {

class ChipTool : public ::testing::Test {
 protected:
  void serve(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"chip", "serve", "--socket", socket_});
    chip_ = std::make_unique<E2e::LiveTool>(extra, "chip serving on " + socket_);
  }
  std::vector<std::string> on(std::vector<std::string> args) {
    args.insert(args.end(), {"--socket", socket_});
    return args;
  }
  E2e::TempDir dir_{"chip"};
  std::string socket_ = dir_.file("chip.sock");
  std::unique_ptr<E2e::LiveTool> chip_;
};

TEST_F(ChipTool, ServesUntilStoppedOnASocketOnlyItsOwnerReaches) {
  ::chmod(dir_.path().c_str(), 0755);  // the directory lets others in; the socket must not
  serve();
  struct stat status {};
  ASSERT_EQ(::stat(socket_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  if (::geteuid() == 0) {
    expectOneLineError(runTool(on({"chip", "digest"}), 65534), 1, "Permission denied");
  }
  // Its companions (digest, flip-bits) are the journal's and the README's; reset empties it.
  expectHas(runTool(on({"chip", "reset"})).out, {"0 cells removed"});
  auto stopped = chip_->stop();
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  expectHas(stopped.out, {"chip stopped"});
  EXPECT_FALSE(fs::exists(socket_)) << "the chip removes its socket";
}

TEST_F(ChipTool, BadInputIsRefusedAndAMissingChipIsAFailure) {
  expectOneLineError(runTool(on({"chip", "flip-bits", "0"})), 2, "");
  expectOneLineError(runTool({"chip", "digest", "--socket", std::string(200, 'x')}), 2,
                     "longer than");
  expectOneLineError(runTool(on({"chip", "digest"})), 1, "no chip to reach");
  expectOneLineError(runTool(on({"chip", "serve", "--group", "no-such-group-here"})), 2,
                     "no group");
  std::ofstream(socket_) << "precious";
  expectOneLineError(runTool(on({"chip", "serve"})), 2, "not a socket");
  EXPECT_EQ(E2e::readAll(socket_), "precious");
}

}  // namespace
