// One vocabulary across the tool's commands: errors, keys, field values, help, names,
// and the catalogue that names the tables.

#include "tests/e2e/E2eTest.h"

namespace {

TEST(VocabularyErrors, OneLineWithTheNumbersLongInputCutShortAndJsonWithJson) {
  TempDir root;
  std::string longName(5000, 'x');
  for (auto args :
       std::vector<std::vector<std::string>>{{"tables", longName}, {"demo", "--faps", longName}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_LT(run.err.size(), 400u) << run.err;
    expectHas(run.err, {"... ("});
  }
  // With --json an error is one JSON document on stderr, the system's text kept.
  for (auto args : std::vector<std::vector<std::string>>{
           {"tables", "NoSuchTable", "--json"}, {"store", "check", root.file("none"), "--json"}}) {
    auto run = runTool(args);
    ASSERT_NE(run.status, 0);
    auto error = json::parse(run.err);
    EXPECT_EQ(error["exitStatus"], run.status);
    EXPECT_FALSE(error["error"].get<std::string>().empty());
  }
}

// `store get` finds a key as dump prints it, as a number (decimal or 0x) or as bytes
// (--bytes), says how it read it, and says when the store does not hold it.
TEST(VocabularyKeys, StoreGetTakesTheKeyAsDumpPrintsItAndSaysHowItReadIt) {
  TempDir root;
  auto dir = root.file("store");
  ASSERT_EQ(
      runTool({"store", "fill", dir, "--entries", "20", "--remove", "5", "--seed", "5"}).status, 0);
  auto entry = json::parse(runTool({"store", "dump", dir, "--json"}).out)["entries"][0];
  auto got = runTool({"store", "get", dir, entry["key"], "--json"});
  ASSERT_EQ(got.status, 0) << got.err;
  expectMembers(json::parse(got.out), {{"found", true}, {"keyReadAs", "bytes"}, {"entry", entry}});

  std::uint32_t kept = E2e::fillKeys(5, 20)[19];
  std::string keyHex = E2e::hexWord(kept);
  auto number = runTool({"store", "get", dir, std::to_string(kept)});
  EXPECT_EQ(number.status, 0) << number.err;
  expectHas(number.out, {fmt::format("the number {}, whose key bytes are {}", kept, keyHex)});
  EXPECT_EQ(runTool({"store", "get", dir, keyHex, "--bytes"}).status, 0);
  EXPECT_EQ(runTool({"store", "get", dir, fmt::format("{:#x}", kept)}).status, 0);
  // Eight decimal digits are key bytes too: the canonical form wins, and says so.
  auto both = runTool({"store", "get", dir, "12345678"});
  EXPECT_EQ(both.status, 1);
  expectHas(both.out, {"the key bytes, as dump prints them (--number reads it as a number)"});

  auto removed = E2e::fillKeys(5, 1)[0];
  expectOneLineError(runTool({"store", "get", dir, std::to_string(removed)}), 1, "holds no key");
  expectOneLineError(runTool({"store", "get", dir, "4294967296"}), 2, "nor a 32-bit number");
  expectOneLineError(runTool({"store", "get", dir, "0a", "--bytes"}), 2, "is not 4 bytes in hex");
}

TEST(VocabularyHelp, NoCommandOrAMistypedOneListsTheCommandsNamesTheNearestAndHelpNamesOne) {
  for (auto args : std::vector<std::vector<std::string>>{{}, {"store"}}) {
    auto run = runTool(args);
    EXPECT_EQ(std::tuple(run.status, run.out, run.err.rfind("hwtables: ", 0)),
              std::tuple(2, "", 0u));
    expectHas(run.err, {args.empty() ? "\n  agent" : "\n  check"});
  }
  expectHas(runTool({"help", "store", "fill"}).out, {"--entries"});
  expectOneLineError(runTool({"help", "stor"}), 2,
                     "no command 'stor' in 'hwtables' (did you mean 'store'?)");
  auto nested = runTool({"store", "chek", "/nowhere"});
  expectOneLineError(nested, 2, "unknown command 'chek' (did you mean 'check'?)");
  expectHas(nested.err, {"wipe"});  // the commands there are
  auto version = runTool({"--version"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out.rfind("hwtables ", 0), 0u) << version.out;
}

TEST(VocabularyNames, TableNamesMatchIgnoringCaseUnknownOnesGetTheNearestAndShowNeedsAStore) {
  auto run = runTool({"tables", "ippabsplprofiletblhwdirect", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(json::parse(run.out)[0]["class"], "IppaBsplProfileTblHwDirect");
  expectOneLineError(runTool({"show", "IppaBspl"}), 2,
                     "unknown table 'IppaBspl' (did you mean 'IppaBsplProfileTblHwDirect'?)");
  expectOneLineError(runTool({"watch", "NoSuchTable"}), 2, "unknown table 'NoSuchTable'");
  expectOneLineError(runTool({"show", "EtppPhpMapFwdCodeHwReg"}), 2, "is a register");
  auto missing = runTool({"show", "IppaBsplProfileTblHwDirect", "--root", "/nonexistent-root"});
  EXPECT_EQ(missing.status, 1);
  expectHas(missing.err, {"no store"});
  // The catalogue shows the rows a single-index key names apart from its null value.
  auto catalogue = runTool({"tables", "IppaTerminationProfileTableHwDirect"});
  expectHas(catalogue.out, {"value 0..7 (null 8)"});
}

// `hwtables tables` and `hwtables describe`: the catalogue a machine reads.
TEST(TablesTool, JsonListsTheThirteenTablesInLoadOrderANamedOneWithItsFieldsAndItsTypes) {
  auto run = runTool({"tables", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto catalogue = json::parse(run.out);
  ASSERT_EQ(catalogue.size(), 13u);
  std::map<std::string, json> named;
  for (std::size_t index = 0; index < catalogue.size(); ++index) {
    EXPECT_EQ(catalogue[index]["moduleOrder"], index + 1);
    named[catalogue[index]["class"]] = catalogue[index];
  }
  // The key and the members' addresses a machine reads, for a table keyed by an array.
  expectMembers(named["IppaMplsSpecialLabelAttributesTblHwDirect"],
                {{"kind", "memory"},
                 {"key", {{"form", "array"}, {"arrayIndexMin", 2}, {"entryIndexMax", 31}}},
                 {"members", {{{"block", 38}, {"address", 0xCC0040}}}}});
  EXPECT_EQ(named["IppVttSpecialLabelValuesHwReg"]["fields"][2],
            (json{{"name", "vttSpecialLabelValue1"},
                  {"type", "U20"},
                  {"kind", "scalar"},
                  {"offset", 23},
                  {"width", 20}}));

  auto text = runTool({"tables", "IppVttSpecialLabelsProfileHwReg"});
  ASSERT_EQ(text.status, 0) << text.err;
  expectHas(text.out, {"bos0LabelProfile(0..15)", "vttSpecialLabelsProfilesData"});
  expectOneLineError(runTool({"tables", "NoSuchTable"}), 2, "unknown table 'NoSuchTable'");

  // `describe`: the table module's types in order.
  auto described = runTool({"describe", "IppaTerminationProfileTableHwDirect", "--json"});
  ASSERT_EQ(described.status, 0) << described.err;
  auto module = json::parse(described.out);
  ASSERT_EQ(module["types"].size(), 9u);
  EXPECT_EQ(module["types"][4]["name"],
            "bcm88490_a0::IppaTerminationProfileTableHwDirect::Shadow::EntryStorage");
  expectOneLineError(runTool({"describe", "NoSuchTable"}), 2, "unknown table 'NoSuchTable'");
}

}  // namespace
