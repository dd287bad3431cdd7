// `hwtables chip`: a chip process, its companions against it, and its socket.

#include "platform/sim/ChipClient.h"
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

TEST_F(ChipTool, ServesUntilStoppedOnASocketOnlyItsOwnerReachesAndItsCompanionsWorkOnIt) {
  ::chmod(dir_.path().c_str(), 0755);  // the directory lets others in; the socket must not
  serve();
  struct stat status {};
  ASSERT_EQ(::stat(socket_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  if (::geteuid() == 0) {
    expectOneLineError(runTool(on({"chip", "digest"}), 65534), 1, "Permission denied");
  }
  {  // cells written the way an agent writes them
    auto cmds = Pelcar::schanCmdsFactory();
    auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
    cmd->kind = Pelcar::SchanCmdKind::memoryWrite;
    cmd->fapmask = Pelcar::Fapmask::of({0, 1});
    std::tie(cmd->block, cmd->address, cmd->row, cmd->entrySize) = std::tuple(38, 0x770000, 3, 4);
    cmd->data = {0x16, 0, 0, 0};
    cmds->cmdEnq(cmd);
    Sim::ChipClient(socket_).write(cmds);
  }
  auto digest = json::parse(runTool(on({"chip", "digest", "--json"})).out);
  EXPECT_EQ(digest["cells"], 2);
  auto flips = runTool(on({"chip", "flip-bits", "3", "--seed", "5", "--json"}));
  EXPECT_EQ(json::parse(flips.out)["flipped"].size(), 3u) << flips.err;
  EXPECT_NE(json::parse(runTool(on({"chip", "digest", "--json"})).out)["digest"], digest["digest"]);
  expectHas(runTool(on({"chip", "reset"})).out, {"2 cells removed"});

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
