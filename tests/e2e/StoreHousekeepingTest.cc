// Clearing up stores: `store list` and `store wipe`, which removes a store's files and
// never anything else.

#include "platform/sharedmem/OwnerFile.h"
#include "tests/e2e/E2eTest.h"

namespace {

// `store fill` makes the store's own directory only; the test makes the ones above.
void fill(std::string const& dir, int entries) {
  fs::create_directories(fs::path(dir).parent_path());
  auto run = runTool({"store", "fill", dir, "--entries", std::to_string(entries)});
  ASSERT_EQ(run.status, 0) << run.err;
}

std::vector<std::string> namesIn(std::string const& dir) {
  std::vector<std::string> names;
  for (auto const& [name, bytes] : snapshot(dir)) names.push_back(name);
  return names;
}

// A tree as a root collects it: two chips' stores, a store at the top, a directory
// that is no store, a file of the user's inside one store directory, and symbolic links
// to a store and to a tree outside it, never followed.
struct Tree {
  explicit Tree(TempDir const& root)
      : chip0(root.file("rev/Table/0")), chip1(root.file("rev/Table/1")), top(root.file("fill")) {
    fill(chip0, 10);
    fill(chip1, 20);
    fill(top, 30);
    fs::create_directories(root.file("notes"));
    std::ofstream(root.file("notes/readme")) << "not a store";
    std::ofstream(chip1 + "/mine.txt") << "the user's";
    fill(outside, 7);
    fs::create_symlink(outside, root.file("link"));
    fs::create_symlink(elsewhere.path(), root.file("linked-tree"));
  }
  TempDir elsewhere;
  std::string chip0, chip1, top, outside = elsewhere.file("store");
};

TEST(StoreWipe, AKilledWritersStoreIsExplainedInTheUsersWordsAndWipeRemovesItsFilesOnly) {
  TempDir root;
  std::string dir = root.file("store");
  fill(dir, 100);
  ASSERT_TRUE(fs::exists(dir + "/notifications"));
  std::fstream(dir + "/slots", std::ios::in | std::ios::out | std::ios::binary).seekp(558).put(1);
  auto check = runTool({"store", "check", dir});  // what a writer killed mid-change leaves
  expectOneLineError(check, 1, "stopped in the middle of a change (killed or crashed)");
  expectHas(check.err, {fmt::format("hwtables store wipe {}", dir)});
  auto wipe = runTool({"store", "wipe", dir});
  ASSERT_EQ(wipe.status, 0) << wipe.err;
  expectHas(wipe.out, {"the 100 entries it held are gone"});
  EXPECT_TRUE(fs::is_directory(dir) && namesIn(dir).empty());

  // A store a killed writer left while it made a new notification ring.
  fill(dir, 5);
  EXPECT_EQ(runTool({"store", "check", dir}).status, 0);
  std::ofstream(dir + "/notifications.new-4242") << "half a ring";
  std::ofstream(dir + "/mine.txt") << "the user's";
  auto again = runTool({"store", "wipe", dir, "--json"});
  ASSERT_EQ(again.status, 0) << again.err;
  expectMembers(json::parse(again.out), {{"occupancy", 5}, {"kept", {"mine.txt"}}});
  EXPECT_EQ(namesIn(dir), std::vector<std::string>{"mine.txt"});
}

TEST(StoreList, ShowsEveryStoreBelowTheRootAndWipeRefusesWhatIsNotAStore) {
  TempDir root;
  Tree tree(root);
  expectOneLineError(runTool({"store", "wipe", root.path()}), 2,
                     "is not a store; 3 stores are below it ('hwtables store wipe --recursive");
  expectOneLineError(runTool({"store", "wipe", root.file("notes")}), 2,
                     "holds none of a store's files");
  expectOneLineError(runTool({"store", "wipe", "--recursive", root.file("notes")}), 2,
                     "no stores below");
  SharedMem::OwnerFile writer(tree.chip1);
  ASSERT_TRUE(writer.tryLock());

  auto list = runTool({"store", "list", root.path(), "--json"});
  ASSERT_EQ(list.status, 0) << list.err;
  E2e::expectMembers(
      json::parse(list.out),
      {{"stores", json::array({{{"path", "fill"}, {"entries", 30}, {"writer", {{"held", false}}}},
                               {{"path", "rev/Table/0"}, {"entries", 10}},
                               {{"path", "rev/Table/1"},
                                {"entries", 20},
                                {"writer", {{"held", true}, {"processId", getpid()}}}}})}});
  EXPECT_GT(json::parse(list.out)["stores"][0]["bytesOnDisk"].get<std::uint64_t>(), 0u);

  expectHas(runTool({"store", "list", root.path()}).out, {"3 stores below", "1 held by a writer"});

  expectOneLineError(runTool({"store", "list", root.file("missing")}), 2, "no directory");
  auto empty = runTool({"store", "list", root.file("notes")});
  EXPECT_EQ(empty.status, 0) << empty.err;
  expectHas(empty.out, {"no stores below"});
  EXPECT_EQ(runTool({"store", "check", tree.chip0}).status, 0) << "nothing was touched";
}

TEST(StoreWipeRecursive, WipesWhatNoWriterHoldsKeepsTheRestAndNeverFollowsALinkOutOfTheTree) {
  TempDir root;
  Tree tree(root);
  auto held = E2e::snapshot(tree.chip0);
  {
    SharedMem::OwnerFile writer(tree.chip0);
    ASSERT_TRUE(writer.tryLock());
    auto wipe = runTool({"store", "wipe", "-r", root.path()});
    expectOneLineError(wipe, 1, "2 of 3 stores below");
    expectHas(wipe.err, {"1 kept (held by a writer)"});
    expectHas(wipe.out, {"kept   rev/Table/0: held by the writer another process",
                         "wiped  rev/Table/1: 20 entries gone; kept what is not the "
                         "store's: mine.txt"});
    EXPECT_EQ(E2e::snapshot(tree.chip0), held) << "a held store is never touched";
  }
  EXPECT_FALSE(fs::exists(tree.top)) << "a wiped store's empty directory goes";
  EXPECT_EQ(namesIn(tree.chip1), std::vector<std::string>{"mine.txt"});
  EXPECT_EQ(E2e::readAll(root.file("notes/readme")), "not a store");

  // Once its writer is gone, the last one goes too, with the directories it leaves
  // empty; the root stays.
  auto wipe = runTool({"store", "wipe", "--recursive", root.path(), "--json"});
  ASSERT_EQ(wipe.status, 0) << wipe.err;
  E2e::expectMembers(json::parse(wipe.out),
                     {{"result", "wiped"},
                      {"stores", json::array({{{"path", "rev/Table/0"}, {"occupancy", 10}}})}});
  EXPECT_FALSE(fs::exists(tree.chip0));
  EXPECT_TRUE(fs::exists(tree.chip1 + "/mine.txt"));
  EXPECT_TRUE(fs::is_directory(root.path()) && fs::is_symlink(root.file("link")));
  EXPECT_EQ(runTool({"store", "check", tree.outside}).status, 0) << "the store outside is whole";
}

TEST(StoreListPermissions, ADirectoryTheUserCannotReadMakesTheListIncomplete) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  TempDir root;
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
  fill(root.file("open"), 4);
  fill(root.file("closed/store"), 4);
  ASSERT_EQ(chmod(root.file("open").c_str(), 0755), 0);
  ASSERT_EQ(chmod(root.file("closed").c_str(), 0700), 0);
  constexpr uid_t kNobody = 65534;
  auto list = runTool({"store", "list", root.path()}, kNobody);
  expectOneLineError(list, 1, "the list is incomplete: 1 directory below");
  expectHas(list.out, {"open"});
  auto wipe = runTool({"store", "wipe", "-r", root.path()}, kNobody);
  EXPECT_EQ(wipe.status, 1) << wipe.err;
  EXPECT_EQ(runTool({"store", "check", root.file("closed/store")}).status, 0);
}

}  // namespace
