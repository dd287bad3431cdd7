// `hwtables tables` run as a separate process: the catalogue a machine reads.

#include "tests/e2e/E2eTest.h"

namespace {

TEST(TablesTool, JsonListsTheThirteenTablesInLoadOrderAndANamedOneWithItsFields) {
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
}

}  // namespace
