// `hwtables agent` driven by scripts, and `hwtables describe`.

#include "tests/e2e/E2eTest.h"

namespace {

TEST(AgentTool, AScriptThroughAPipeProgramsReadsBackAndAudits) {
  TempDir root("agent");
  LiveTool agent({"agent", "--json", "--faps", "0-1", "--root", root.path()}, "",
                 root.file("commands"));
  agent.send(
      "set IppdPphAttributeByEeiHwDirect 1 {value=9} fheiType=5 fheiSize=3\n"
      "set IppaBsplProfileTblHwDirect 0 {arrayIndex=3 entryIndex=20} "
      "curMplsSpecialLabelProfile=0x7\n"
      "delete IppdPphAttributeByEeiHwDirect 1 {value=2}\n"
      "download all\n"
      "read IppdPphAttributeByEeiHwDirect 1\n"
      "audit\n");
  auto replies = jsonLines(agent.waitFor("\"command\":\"audit\""));
  ASSERT_EQ(replies.size(), 7u) << agent.said();
  for (auto const& reply : replies) EXPECT_TRUE(reply.value("ok", true)) << reply;
  // The read-back holds the new row 9 and no longer the deleted row 2.
  std::string read = replies[5]["entries"].dump();
  expectHas(read, {"{entryKey={value=9} dataByte0=35000000}"});
  expectLacks(read, {"{value=2}"});
  EXPECT_TRUE(replies[6]["differences"].empty()) << replies[6].dump();

  agent.send("quit\n");
  auto run = agent.stop(0);
  EXPECT_EQ(run.status, 0) << run.err;
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

TEST(DescribeTool, ListsTheModulesTypesInOrderWithTheirAttributeIds) {
  auto run = runTool({"describe", "IppaTerminationProfileTableHwDirect", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto module = json::parse(run.out);
  ASSERT_EQ(module["types"].size(), 9u);
  EXPECT_EQ(module["types"][4]["name"],
            "bcm88490_a0::IppaTerminationProfileTableHwDirect::Shadow::EntryStorage");
  expectOneLineError(runTool({"describe", "NoSuchTable"}), 2, "unknown table 'NoSuchTable'");
}

}  // namespace
