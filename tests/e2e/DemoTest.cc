// `hwtables demo` run as a separate process: the registers land on the simulated chip
// exactly as their shadows hold them, and bad input is refused with one line.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

namespace {

struct Run {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs build/bin/hwtables with `args` and collects its exit status and output.
Run runTool(std::vector<std::string> args) {
  char const* dir = std::getenv("HWTABLES_BIN");
  std::string tool = std::string(dir ? dir : "build/bin") + "/hwtables";
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    std::vector<char*> argv{tool.data()};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  Run run;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && poll(fds, 2, -1) > 0) {
    for (int index = 0; index < 2; ++index) {
      if (fds[index].fd < 0 || fds[index].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(fds[index].fd, buffer, sizeof(buffer));
      if (got > 0) {
        sinks[index]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[index].fd);
        fds[index].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string hexOf(std::vector<unsigned> const& bytes) {
  std::string text;
  for (auto byte : bytes) text += fmt::format("{:02x}", byte);
  return text;
}

TEST(DemoTool, ProgramsAndVerifiesTheFourRegisters) {
  auto run = runTool({"demo"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  for (auto const* name : {"IppVttSpecialLabelValuesHwReg", "IppVttSpecialLabelsProfileHwReg",
                           "EtppPhpMapFwdCodeHwReg", "EtppCfgFheiMplsSwapRemarkMapHwReg"}) {
    EXPECT_NE(run.out.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(run.out.find("MISMATCH"), std::string::npos);
  // The chip's contents, read back and decoded into fields.
  for (auto const* text :
       {"IppVttSpecialLabelValuesHwReg  ff ff ef ff ff 37 00 00", "vttSpecialLabelValue0 = 0xfffff",
        "phpMapFwdCode = 0xfff453fff412", "bos0Label7Profile = 2   bos1Label7Profile = 6"}) {
    EXPECT_NE(run.out.find(text), std::string::npos) << text;
  }
  EXPECT_NE(run.out.find("4 registers programmed and verified on the simulated chip."),
            std::string::npos);
}

TEST(DemoTool, JsonCarriesEachShadowsBytesAndTheCommandsThatWroteThem) {
  auto run = runTool({"demo", "--json", "--faps", "2,5-6"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto document = nlohmann::json::parse(run.out);
  EXPECT_TRUE(document["ok"].get<bool>());
  EXPECT_EQ(document["faps"], nlohmann::json::array({2, 5, 6}));
  EXPECT_EQ(document["revision"], "bcm88490_a0");

  std::vector<unsigned> swapMap(32, 0);
  for (unsigned step = 0; step < 7; ++step) swapMap[6 + 2 * step] = step + 1;
  std::map<std::string, std::pair<std::string, std::size_t>> expected{
      {"IppVttSpecialLabelValuesHwReg", {"ffffefffff370000", 2}},
      {"IppVttSpecialLabelsProfileHwReg", {"899dd8b66dcbb66ddbb66ddb", 2}},
      {"EtppPhpMapFwdCodeHwReg", {"12f4ff53f4ff0000", 1}},
      {"EtppCfgFheiMplsSwapRemarkMapHwReg", {hexOf(swapMap), 1}},
  };
  ASSERT_EQ(document["tables"].size(), expected.size());
  for (auto const& table : document["tables"]) {
    auto name = table["table"].get<std::string>();
    ASSERT_TRUE(expected.contains(name)) << name;
    auto const& [data, members] = expected[name];
    EXPECT_TRUE(table["ok"].get<bool>()) << name;
    ASSERT_EQ(table["shadows"].size(), 3u);
    for (auto const& shadow : table["shadows"]) {
      ASSERT_EQ(shadow["entries"].size(), 1u);
      EXPECT_EQ(shadow["entries"][0]["data"], data) << name;
      EXPECT_EQ(shadow["servedFaps"], nlohmann::json::array({shadow["fapId"]}));
    }
    // One write per member per shadow, each to its shadow's FAP only, with its bytes.
    ASSERT_EQ(table["commands"].size(), members * 3) << name;
    for (auto const& cmd : table["commands"]) {
      EXPECT_EQ(cmd["kind"], "registerWrite");
      EXPECT_EQ(cmd["faps"].size(), 1u);
      EXPECT_EQ(cmd["data"], data);
    }
  }
}

TEST(DemoTool, BadInputIsRefusedWithOneLineAndNoOutput) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> cases{
      {{"demo", "--faps", "256"}, "FAP id 256 is above 255"},
      {{"demo", "--faps", "0,x"}, "'x' is not a FAP id"},
      {{"demo", "--faps", "127-129"}, "FAP id 128 is reserved"},
      {{"demo", "--revision", "sim24_a0"}, "chip type 24"},
      {{"demo", "--revision", "bcm88490_z9"}, "unknown revision 'bcm88490_z9'"},
  };
  for (auto const& testCase : cases) {
    auto run = runTool(testCase.args);
    EXPECT_EQ(run.status, 2) << testCase.message;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(run.err.rfind("hwtables: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(testCase.message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
}

}  // namespace
