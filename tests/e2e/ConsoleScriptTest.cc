// The agent's console as scripts and people at a terminal meet it, and as a program
// reading its JSON replies does.
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

TEST(AgentTool, BadLinesAreAnsweredWithTheNumbersAndTheSystemsMessageAndChangeNothing) {
  E2e::TempDir root("agent");
  std::string gets =
      "get IppaMplsSpecialLabelAttributesTblHwDirect 0 {arrayIndex=2 entryIndex=1}\n"
      "get IppVttSpecialLabelValuesHwReg 1 {value=0}\n"
      "get IppaTerminationProfileTableHwDirect 0 {value=3}\n";
  std::vector<std::pair<std::string, std::string>> bad{
      {"set IppaMplsSpecialLabelAttributesTblHwDirect 0 {arrayIndex=1 entryIndex=99} "
       "specialLabelType=1",
       "array 1 is outside 2..3"},
      {"set IppaTerminationProfileTableHwDirect 0 {value=3} hasCw=1 noSuchField=1",
       "has no field noSuchField"},
      // The runtime parser's own message is the reply's detail.
      {"set IppaTerminationProfileTableHwDirect 0 {value=3}junk hasCw=1", "unexpected text"},
      {"get IppVttSpecialLabelValuesHwReg 1 {value=2}", "row 2 is outside 0..0"},
      {"delete IppaTerminationProfileTableHwDirect 7 {value=3}", "has no shadow for FAP 7"},
      {"frobnicate", "unknown command: frobnicate"},
  };
  std::string script;
  for (auto const& [line, message] : bad) script += line + "\n";
  std::ofstream(root.file("bad")) << script << gets;
  std::ofstream(root.file("good")) << gets;

  auto badRun = runTool({"agent", "--json", "--root", root.path(), "--script", root.file("bad")});
  EXPECT_EQ(badRun.status, 2) << "a refused line makes the exit status 2";
  auto replies = jsonLines(badRun.out);
  ASSERT_EQ(replies.size(), 1 + bad.size() + 3);
  for (std::size_t index = 0; index < bad.size(); ++index) {
    auto const& reply = replies[1 + index];
    SCOPED_TRACE(bad[index].first);
    expectMembers(reply, {{"ok", false}, {"status", "refused"}});
    expectHas(reply["error"].get<std::string>() + " " + reply.value("detail", ""),
              {bad[index].second});
  }
  auto goodRun = runTool({"agent", "--json", "--root", root.path(), "--script", root.file("good")});
  ASSERT_EQ(goodRun.status, 0) << goodRun.err;
  auto expected = jsonLines(goodRun.out);
  for (std::size_t index = 0; index < 3; ++index) {
    EXPECT_EQ(replies[1 + bad.size() + index], expected[1 + index]);
  }
}

}  // namespace
