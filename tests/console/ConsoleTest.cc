// The agent's console in process: what only code in the agent's process can bring
// about (an entry stored under a key the chip has no row for), fields, completion.

#include "framework/ModuleTypes.h"
#include "platform/tessar/HwTableBase.h"
#include "tests/e2e/E2eTest.h"
#include "tools/hwtables/AgentSession.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/BringUpOptions.h"
#include "tools/hwtables/Plugins.h"

namespace {

using Tool::AgentReply;
using Tool::ReplyStatus;

constexpr char const* kTermination = "IppaTerminationProfileTableHwDirect";

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    Tool::loadPlugins();
    HwAgent::Options options;
    options.storeRoot = root_.path();
    session_ = std::make_unique<Tool::AgentSession>(options);
  }

  AgentReply run(std::string const& line) { return session_->handle(line); }

  // What another program in the agent's process may do: the library stores an entry
  // under any key its key type takes, `null` included.
  void setThroughTheLibrary(std::string const& table, U8 fap, std::string const& key) {
    auto held =
        session_->agent().tableManager().tableColl({table, Tool::parseRevision("bcm88490_a0")});
    std::any object = Vorl::Ptr<Vorl::Node>(held);
    auto tableType = held->typeData();
    Vorl::TypeDescriptor keyType{tableType.module, Framework::ModuleTypes::entryKey};
    Vorl::TypeDescriptor entryType{tableType.module, Framework::ModuleTypes::entry};
    std::any shadowKey = static_cast<U64>(Tessar::HwShadowKey::of(fap, 0).value());
    auto call = [](Vorl::TypeDescriptor type, std::any& on, char const* name,
                   Vorl::Arguments args) {
      std::any result;
      EXPECT_EQ(Vorl::attributeAccess(type, on, type.info().attribute(name)->id,
                                      Vorl::AttributeOp::call, args, result),
                Vorl::AttributeAnswer::done)
          << name;
      return result;
    };
    auto entry = call(tableType, object, "getEntry", {shadowKey, keyType.info().fromText(key)});
    call(entryType, entry, "hasCwIs", {U64{1}});
    call(tableType, object, "setEntry", {shadowKey, entry});
  }

  TempDir root_{"console"};
  std::unique_ptr<Tool::AgentSession> session_;
};

void expectRefused(AgentReply const& reply, std::string const& text) {
  EXPECT_EQ(reply.status, ReplyStatus::refused) << reply.problem;
  EXPECT_NE(reply.problem.find(text), std::string::npos) << reply.problem;
  EXPECT_EQ(reply.problem.find("AssertionError"), std::string::npos) << reply.problem;
  auto json = reply.toJson("command");
  EXPECT_FALSE(json["ok"].get<bool>());
  expectMembers(json, {{"status", "refused"}, {"error", reply.problem}});
}

TEST_F(Console, AnEntryHeldUnderAKeyTheChipHasNoRowForIsNeverPassedOffAsWritten) {
  // Refused at set: nothing is held.
  expectRefused(run(std::string("set ") + kTermination + " 0 {value=8} hasCw=1"),
                "row 8 is outside 0..7");
  expectRefused(run(std::string("get ") + kTermination + " 0 {value=8}"), "row 8 is outside 0..7");

  // An entry another program stored under the null key is held, never downloaded.
  setThroughTheLibrary(kTermination, 0, "{value=8}");
  auto download = run("download all");
  EXPECT_EQ(download.status, ReplyStatus::failed);
  expectMembers(download.json,
                {{"notWritten", json::array({{{"reason", "row 8 is outside 0..7"}, {"fap", 0}}})}});
  expectHas(download.problem, {"never written"});
  auto audit = run("audit");
  EXPECT_EQ(audit.status, ReplyStatus::failed);
  EXPECT_EQ(std::tuple(audit.json["differences"].size(), audit.json["notWritten"].size()),
            std::tuple(0u, 1u));
  EXPECT_TRUE(run(std::string("audit ") + kTermination + " 1").ok()) << "FAP 1 holds no such entry";
  auto held = run(std::string("get ") + kTermination + " 0 {value=8}");
  ASSERT_TRUE(held.ok()) << held.problem;
  EXPECT_EQ(held.json["heldNotDownloaded"], "row 8 is outside 0..7");
  // Another process reading the store marks the entry the same way.
  auto shown = runTool({"show", kTermination, "--faps", "0", "--json", "--root", root_.path()});
  ASSERT_EQ(shown.status, 0) << shown.err;
  auto entries = json::parse(shown.out)["shadows"][0]["entries"];
  auto stray = std::find_if(entries.begin(), entries.end(),
                            [](auto const& entry) { return entry["key"]["entryIndex"] == 8; });
  ASSERT_NE(stray, entries.end()) << entries.dump();
  expectMembers(*stray, {{"downloadable", false}, {"neverDownloaded", "row 8 is outside 0..7"}});
  EXPECT_TRUE(run(std::string("delete ") + kTermination + " 0 {value=8}").ok());
  EXPECT_TRUE(run("download all").ok());
  EXPECT_TRUE(run("audit").ok());
}

TEST_F(Console, FieldsAreDecodedOnceAndShownAsNumbersCommentsAreSkippedAndWordsComplete) {
  auto pph = run("get IppdPphAttributeByEeiHwDirect 0 {value=15}");
  ASSERT_TRUE(pph.ok()) << pph.problem;
  expectMembers(pph.json, {{"fields", {{"fheiSize", 2}}}, {"key", {{"entryIndex", 15}}}});

  // The 256-bit map is shown (nothing else describes its bits), and set as it prints.
  std::string map = "0x" + std::string(62, '0') + "a5";
  ASSERT_TRUE(
      run("set EtppCfgFheiMplsSwapRemarkMapHwReg 1 {value=0} cfgFheiMplsSwapRemarkMap=" + map)
          .ok());
  auto swap = run("get EtppCfgFheiMplsSwapRemarkMapHwReg 1 {value=0}");
  EXPECT_EQ(swap.json["fields"]["cfgFheiMplsSwapRemarkMap"], map);
  expectRefused(
      run("set EtppCfgFheiMplsSwapRemarkMapHwReg 1 {value=0} cfgFheiMplsSwapRemarkMap=0x1" +
          std::string(64, '0')),
      "wider than cfgFheiMplsSwapRemarkMap (256 bits)");

  expectRefused(run("set IppVttSpecialLabelValuesHwReg 1 {value=0} vttSpecialLabelValue0=0x100000"),
                "value 1048576 is outside 0..1048575 for vttSpecialLabelValue0 (20 bits)");
  expectRefused(run(std::string("set ") + kTermination + " 0 {value=3} hasCW=1"),
                "(did you mean 'hasCw'?)");
  // A key after its type name, and table names in any case.
  auto typed = run(std::string("set ippaterminationprofiletablehwdirect 0 bcm88490_a0::") +
                   kTermination + "::EntryKey{value=3} hasCw=0");
  ASSERT_TRUE(typed.ok()) << typed.problem;
  expectRefused(
      run(std::string("get ") + kTermination +
          " 0 bcm88490_a0::IppaBsplProfileTblHwDirect::EntryKey{arrayIndex=2 entryIndex=0}"),
      "its keys are bcm88490_a0::IppaTerminationProfileTableHwDirect::EntryKey");

  // Comments, blank lines and completion.
  EXPECT_EQ(Tool::commandWords("get T 0 {value=1}  # the first row").size(), 4u);
  EXPECT_TRUE(run("# nothing to do").lines.empty());

  auto has = [](std::vector<std::string> const& words, std::string const& word) {
    return std::find(words.begin(), words.end(), word) != words.end();
  };
  EXPECT_TRUE(has(session_->completions({}), "dma-buffer"));
  EXPECT_TRUE(has(session_->completions({"set"}), kTermination));
  EXPECT_EQ(session_->completions({"get", kTermination}), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(session_->completions({"get", kTermination, "0"}), std::vector<std::string>{"{value="});
  EXPECT_TRUE(has(session_->completions({"set", kTermination, "0", "{value=3}"}), "hasCw="));
}

TEST_F(Console, ReconcileWritesOnlyWhatDiffersInItsScopeAndRefusesWhatTheAgentDoesNotHold) {
  constexpr char const* kEei = "IppdPphAttributeByEeiHwDirect";
  for (auto const* fap : {"0", "1"}) {
    ASSERT_TRUE(run(fmt::format("set {} {} {{value=9}} fheiType=5", kEei, fap)).ok());
  }
  auto one = run(fmt::format("reconcile {} 0", kEei));
  ASSERT_TRUE(one.ok()) << one.problem;
  expectMembers(one.json,
                {{"entries", json::array({json::object()})}, {"total", {{"rowsWritten", 1}}}});
  // FAP 1's row; FAP 0's is written already. Then nothing differs, nothing is sent.
  expectMembers(run("reconcile").json, {{"total", {{"rowsWritten", 1}, {"rowsDiffering", 1}}}});
  expectMembers(run("reconcile all").json, {{"clean", true}, {"total", {{"commandsSent", 0}}}});

  expectRefused(run(fmt::format("reconcile {} 7", kEei)), "has no shadow for FAP 7");
}

}  // namespace
