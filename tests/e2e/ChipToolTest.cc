// `hwtables chip`: a chip process that serves until stopped, its companions against
// it, the socket kept from strangers, and bad input refused.

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

TEST_F(ChipTool, ServesUntilStoppedAndItsCompanionsWorkOnIt) {
  serve();
  {  // cells written the way an agent writes them
    Sim::ChipClient client(socket_);
    auto cmds = Pelcar::schanCmdsFactory();
    auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
    cmd->kind = Pelcar::SchanCmdKind::memoryWrite;
    cmd->fapmask = Pelcar::Fapmask::of({0, 1});
    cmd->block = 38;
    cmd->address = 0x770000;
    cmd->row = 3;
    cmd->entrySize = 4;
    cmd->data = {0x16, 0, 0, 0};
    cmds->cmdEnq(cmd);
    client.write(cmds);
  }
  auto digest = runTool(on({"chip", "digest", "--json"}));
  ASSERT_EQ(digest.status, 0) << digest.err;
  auto document = nlohmann::json::parse(digest.out);
  EXPECT_EQ(document["cells"], 2);

  auto show = runTool(on({"chip", "show", "--fap", "1"}));
  ASSERT_EQ(show.status, 0) << show.err;
  expectHas(show.out, {"IppaTerminationProfileTableHwDirect", "1 cells written"});

  auto flips = runTool(on({"chip", "flip-bits", "3", "--seed", "5", "--json"}));
  ASSERT_EQ(flips.status, 0) << flips.err;
  EXPECT_EQ(nlohmann::json::parse(flips.out)["flipped"].size(), 3u);
  auto flipped = nlohmann::json::parse(runTool(on({"chip", "digest", "--json"})).out);
  EXPECT_NE(flipped["digest"], document["digest"]);

  auto reset = runTool(on({"chip", "reset"}));
  ASSERT_EQ(reset.status, 0) << reset.err;
  expectHas(reset.out, {"2 cells removed"});

  auto stopped = chip_->stop();
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  expectHas(stopped.out, {"chip stopped"});
  EXPECT_FALSE(std::filesystem::exists(socket_)) << "the chip removes its socket";
}

TEST_F(ChipTool, BadInputIsRefusedAndAMissingChipIsAFailure) {
  E2e::expectOneLineError(runTool(on({"chip", "flip-bits", "0"})), 2, "");
  E2e::expectOneLineError(runTool({"chip", "digest", "--socket", std::string(200, 'x')}), 2,
                          "longer than");
  E2e::expectOneLineError(runTool(on({"chip", "digest"})), 1, "no chip to reach");
  E2e::expectOneLineError(runTool(on({"chip", "serve", "--group", "no-such-group-here"})), 2,
                          "no group");
  std::ofstream(socket_) << "precious";
  E2e::expectOneLineError(runTool(on({"chip", "serve"})), 2, "not a socket");
  EXPECT_EQ(E2e::readAll(socket_), "precious");
}

TEST_F(ChipTool, AnotherUserCannotReachTheChip) {
  ::chmod(dir_.path().c_str(), 0755);  // the directory lets others in; the socket must not
  serve();
  struct stat status {};
  ASSERT_EQ(::stat(socket_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  auto stranger = runTool(on({"chip", "digest"}), 65534);
  E2e::expectOneLineError(stranger, 1, "Permission denied");
  EXPECT_EQ(runTool(on({"chip", "digest"})).status, 0) << "the owner is still served";
}

}  // namespace
