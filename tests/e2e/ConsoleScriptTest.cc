// The agent's console as scripts and people at a terminal meet it.
#include <pty.h>

#include "tests/e2e/E2eTest.h"

namespace {

using Root = E2e::TempDir;

E2e::Run agentScript(Root const& root, std::string const& script) {
  return E2e::runAgentScript(root, script, {"--faps", "0"});
}

TEST(ConsoleScripts, CommentsBlankLinesAndAByteOrderMarkAreSkippedARefusedLineIsNamedTheOthersRun) {
  Root root;
  auto run = agentScript(root,
                         "\xEF\xBB\xBF# set up a row\r\n"
                         "\r\n"
                         "   \n"
                         "set IppdPphAttributeByEeiHwDirect 0 {value=9} fheiType=5  # PPH type\r\n"
                         "frobnicate now\n"
                         "schan IppdPphAttributeByEeiHwDirect 0 {value=9}\n"
                         "get IppdPphAttributeByEeiHwDirect 0 {value=9} extra\n"
                         "get IppdPphAttributeByEeiHwDirect 0 {value=15}\n"
                         "audit\n");
  EXPECT_EQ(run.status, 2);
  auto script = root.file("script");
  expectHas(run.err, {script + ":5: error: unknown command: frobnicate",
                      script + ":7: error: usage: get TABLE FAP KEY",
                      "hwtables: 2 command lines were refused (the first: frobnicate at " + script +
                          ":5); the others ran"});
  expectHas(run.out, {"fheiType = 5", "{entryKey={value=15}", "0 differ from the shadows"});
}

TEST(ConsoleScripts, AFailedCheckEndsTheRunWithStatusOne) {
  Root root;
  // A set changes the shadow only: until it is sent, the chip differs.
  auto run = agentScript(root,
                         "set IppdPphAttributeByEeiHwDirect 0 {value=9} fheiType=5\n"
                         "audit IppdPphAttributeByEeiHwDirect\n");
  EXPECT_EQ(run.status, 1) << run.err;
  expectHas(run.err,
            {root.file("script") + ":2: failed: the chip differs from the shadows in 1 entry",
             "hwtables: 1 command found a fault (the first: audit at"});
}

TEST(ConsoleScripts, AScriptThatCannotBeReadIsRefusedWithItsReasonBeforeAnyBringUp) {
  Root root;
  expectOneLineError(runTool({"agent", "--root", root.path(), "--script", root.file("none")}), 2,
                     "cannot read the script " + root.file("none") + ": No such file or directory");
  expectOneLineError(runTool({"agent", "--root", root.path(), "--script", root.path()}), 2,
                     "the script " + root.path() + " is a directory");
  if (::geteuid() != 0) {
    std::ofstream(root.file("secret")) << "help\n";
    ::chmod(root.file("secret").c_str(), 0);
    expectOneLineError(runTool({"agent", "--root", root.path(), "--script", root.file("secret")}),
                       2, "Permission denied");
  }
  for (auto const& entry : fs::directory_iterator(root.path())) {
    EXPECT_NE(entry.path().filename(), "bcm88490_a0") << "nothing was brought up";
  }
}

// The agent in a pseudo-terminal, as a person runs it.
class Terminal {
 public:
  explicit Terminal(std::string const& root) {
    std::string tool = E2e::toolPath();
    pid_ = ::forkpty(&fd_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::execl(tool.c_str(), tool.c_str(), "agent", "--faps", "0", "--root", root.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  Terminal(Terminal const&) = delete;
  Terminal& operator=(Terminal const&) = delete;

  bool started() const { return pid_ > 0; }
  void type(std::string const& keys) {
    ASSERT_EQ(::write(fd_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Everything the terminal shows until `text` appears (or 30 s pass).
  std::string readUntil(std::string const& text) { return E2e::readUntil(fd_, text); }
  // The agent's exit status; -1 when it has not ended within 30 s (it is killed).
  int finish() {
    int status = 0;
    for (int waited = 0; ::waitpid(pid_, &status, WNOHANG) == 0; ++waited) {
      if (waited == 3000) return -1;  // the destructor kills it
      ::usleep(10'000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

TEST(ConsoleTerminal, TabCompletesCommandsTablesAndFieldsTheUpArrowRecallsALineCtrlCEnds) {
  Root root;
  Terminal terminal(root.path());
  ASSERT_TRUE(terminal.started());
  ASSERT_NE(terminal.readUntil("hwtables> ").find("Tab completes"), std::string::npos);
  // "hel" + Tab: help; "get IppdPph" + Tab: the table; "fhei" + Tab offers both fields.
  terminal.type("hel\t\r");
  expectHas(terminal.readUntil("hwtables> "), {"dma-buffer BYTES"});
  terminal.type("set IppdPph\t0 {value=9} fheiT\t5\r");
  auto set = terminal.readUntil("hwtables> ");
  expectHas(set, {"{entryKey={value=9} dataByte0=05000000}", "fheiType = 5"});
  // Up arrow twice: the help line again.
  terminal.type("\x1b[A\x1b[A\r");
  expectHas(terminal.readUntil("hwtables> "), {"dma-buffer BYTES"});
  // Ctrl-C at the prompt ends the agent cleanly.
  terminal.type("hel\x03");
  EXPECT_EQ(terminal.finish(), 0);
}

}  // namespace
