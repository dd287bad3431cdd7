// `hwtables tables` run as a separate process: the catalogue a machine reads.

#include "tests/e2e/E2eTest.h"

namespace {

json tableNamed(json const& catalogue, std::string const& name) {
  for (auto const& table : catalogue) {
    if (table["class"] == name) return table;
  }
  return {};
}

TEST(TablesTool, JsonListsTheThirteenTablesInLoadOrder) {
  auto run = E2e::runTool({"tables", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto catalogue = json::parse(run.out);
  ASSERT_EQ(catalogue.size(), 13u);
  for (std::size_t index = 0; index < catalogue.size(); ++index) {
    EXPECT_EQ(catalogue[index]["moduleOrder"], index + 1);
  }
  EXPECT_EQ(catalogue.front()["class"], "IppVttSpecialLabelValuesHwReg");
  EXPECT_EQ(catalogue.back()["class"], "IppVttSpecialLabelsProfileHwReg");

  auto mpls = tableNamed(catalogue, "IppaMplsSpecialLabelAttributesTblHwDirect");
  EXPECT_EQ(mpls["kind"], "memory");
  EXPECT_EQ(mpls["key"], (json{{"form", "array"},
                               {"arrayIndexMin", 2},
                               {"arrayIndexMax", 3},
                               {"entryIndexMin", 0},
                               {"entryIndexMax", 31}}));
  EXPECT_EQ(mpls["entryBytes"], 12);
  EXPECT_EQ(mpls["members"][0]["block"], 38);
  EXPECT_EQ(mpls["members"][0]["address"], 0xCC0040);
  EXPECT_EQ(mpls["hardwareBlock"], 243);

  auto pph = tableNamed(catalogue, "IppdPphAttributeByEeiHwDirect");
  EXPECT_EQ(pph["key"]["null"], 16);
  EXPECT_EQ(pph["members"][0]["address"], 0x2020000);

  auto values = tableNamed(catalogue, "IppVttSpecialLabelValuesHwReg");
  ASSERT_EQ(values["members"].size(), 2u);
  EXPECT_EQ(values["members"][1]["name"], "ippfVttSpecialLabelValues");
  EXPECT_EQ(values["members"][1]["address"], 0x1B3);
  EXPECT_EQ(values["fields"][2],
            (json{{"name", "vttSpecialLabelValue1"}, {"type", "U20"}, {"kind", "scalar"},
                  {"offset", 23}, {"width", 20}}));
}

TEST(TablesTool, NamedTableShowsItsFieldsAndUnknownNamesAreRefused) {
  auto run = E2e::runTool({"tables", "IppVttSpecialLabelsProfileHwReg"});
  ASSERT_EQ(run.status, 0) << run.err;
  E2e::expectHas(run.out, {"bos0LabelProfile(0..15)", "vttSpecialLabelsProfilesData"});
  E2e::expectOneLineError(E2e::runTool({"tables", "NoSuchTable"}), 2,
                          "unknown table 'NoSuchTable'");
}

}  // namespace
