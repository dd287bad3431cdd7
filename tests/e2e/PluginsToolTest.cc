// `hwtables plugins` and `--plugin-dir`: the tool's tables come from the plug-in it
// loads, and a plug-in directory that is missing or holds no table plug-in is a clear
// error, never an empty success.

#include "tests/e2e/E2eTest.h"

namespace {

TEST(PluginsTool, ADirectoryMissingOrWithoutTablesIsAnErrorAndBadFilesDoNotStopTheOthers) {
  E2e::expectOneLineError(runTool({"tables", "--plugin-dir", "/nonexistent/plugins"}), 2,
                          "plug-in directory /nonexistent/plugins: does not exist");
  TempDir root;
  E2e::TempDir directory("plugins");
  for (auto args :
       std::vector<std::vector<std::string>>{{"demo", "--root", root.path()}, {"show", "all"}}) {
    args.insert(args.end(), {"--plugin-dir", directory.path()});
    expectOneLineError(
        runTool(args), 2,
        "no tables: the plug-in directory " + directory.path() + " holds no table plug-in");
  }
  expectOneLineError(runTool({"plugins", "--plugin-dir", directory.path()}), 1, "no plug-in in");
  EXPECT_TRUE(fs::is_empty(root.path())) << "nothing was brought up";
  std::ofstream(directory.file("broken.so")) << "not a shared object\n";
  auto broken = runTool({"tables", "--plugin-dir", directory.path()});
  EXPECT_EQ(broken.status, 2);
  expectHas(broken.err, {"failed to load: " + directory.file("broken.so")});

  // With (through a link) the real plug-in beside the broken file: the tables are all
  // there and the broken file is named once on stderr.
  auto real = fs::path(E2e::toolPath()).parent_path().parent_path() / "lib" / "hwtables" /
              "plugins" / "hwtables-bcm88490_a0.so";
  fs::create_symlink(real, directory.file("hwtables-bcm88490_a0.so"));
  auto tables = runTool({"tables", "--plugin-dir", directory.path(), "--json"});
  ASSERT_EQ(tables.status, 0) << tables.err;
  EXPECT_EQ(json::parse(tables.out).size(), 13u);
  expectOneLineError(tables, 0, "hwtables: plug-in " + directory.file("broken.so") + ": ");

  auto listed = runTool({"plugins", "--plugin-dir", directory.path()});
  EXPECT_EQ(listed.status, 1);
  expectHas(listed.out, {"failed: " + directory.file("broken.so")});
}

TEST(PluginsTool, ListsThePluginWhatItRegisteredAndWithSymbolsWhatItExports) {
  auto run = runTool({"plugins", "--json", "--symbols"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto document = json::parse(run.out);
  ASSERT_EQ(document["plugins"].size(), 1u) << run.out;
  EXPECT_TRUE(document["failed"].empty());
  auto const& plugin = document["plugins"][0];
  expectMembers(plugin,
                {{"name", "bcm88490_a0"}, {"readerFactories", 13u * plugin["revisions"].size()}});
  EXPECT_EQ(plugin["tables"].size(), 13u);
  // Which symbols the plug-in exports is the plug-ins' tests' part; here, how the tool
  // lists them, and only when asked.
  EXPECT_FALSE(plugin["symbols"].empty());
  EXPECT_FALSE(json::parse(runTool({"plugins", "--json"}).out)["plugins"][0].contains("symbols"));
  auto text = runTool({"plugins", "--symbols"});
  ASSERT_EQ(text.status, 0) << text.err;
  expectHas(text.out,
            {"hwtables-bcm88490_a0.so (bcm88490_a0 ", "    object   hwtablesPluginInfo\n"});
}

}  // namespace
