// The agent's console as scripts and people at a terminal meet it.
#include "tests/e2e/E2eTest.h"

namespace {

E2e::Run agentScript(TempDir const& root, std::string const& script) {
  return E2e::runAgentScript(root, script, {"--faps", "0"});
}

TEST(ConsoleScripts, CommentsBlankLinesAndAByteOrderMarkAreSkippedARefusedLineIsNamedTheOthersRun) {
  TempDir root;
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
  TempDir root;
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
  TempDir root;
  expectOneLineError(runTool({"agent", "--root", root.path(), "--script", root.file("none")}), 2,
                     "cannot read the script " + root.file("none") + ": No such file or directory");
  if (::geteuid() != 0) {
    std::ofstream(root.file("secret")) << "help\n";
    ::chmod(root.file("secret").c_str(), 0);
    expectOneLineError(runTool({"agent", "--root", root.path(), "--script", root.file("secret")}),
                       2, "Permission denied");
  }
  EXPECT_FALSE(fs::exists(root.file("bcm88490_a0"))) << "nothing was brought up";
}

}  // namespace
