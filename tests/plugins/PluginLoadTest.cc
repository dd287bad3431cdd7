#include "store/StoreFiles.h"
#include "tests/plugins/PluginTestSupport.h"

namespace {

namespace fs = std::filesystem;
using PluginTest::kPluginFile;
using PluginTest::pluginPath;
using PluginTest::TempDirectory;

void loadThePlugin() {
  auto errors = Plugin::loadPluginDirectory(Plugin::defaultPluginDirectory());
  ASSERT_TRUE(errors.empty()) << errors.front().toString();
}

struct Counts {
  std::size_t tables = 0;
  std::size_t readers = 0;
  std::size_t tablePlugins = 0;
  std::size_t typeModules = 0;
  bool operator==(Counts const&) const = default;
};

Counts countsFrom(std::string const& source) {
  Counts counts;
  for (auto const& record : Framework::TableRegistry::singleton().tables()) {
    counts.tables += record->source == source;
  }
  for (auto const& reader : Tessar::HwTableHolderContext::singleton().readerSources()) {
    counts.readers += reader.source == source;
  }
  for (auto const& [name, from] : Tessar::HwTablePlugin::DefaultHwTableLoader().pluginSources()) {
    counts.tablePlugins += from == source;
  }
  counts.typeModules = Vorl::loadedModules().size();
  return counts;
}

std::size_t revisionsOfTheChip() {
  std::size_t count = 0;
  for (auto const& revision : Hardware::Sand::knownFapRevisions()) {
    count += revision.chipType() == Hardware::bcm88490_a0ChipType;
  }
  return count;
}

TEST(PluginLoading, ThePluginRegistersEveryTableAndEveryReaderOfEveryRevisionOnce) {
  loadThePlugin();
  auto loaded = Plugin::loadedPlugins();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(std::tuple(loaded[0].path, loaded[0].name), std::tuple(pluginPath(), "bcm88490_a0"));
  EXPECT_FALSE(loaded[0].version.empty());

  auto counts = countsFrom(pluginPath());
  ASSERT_GT(revisionsOfTheChip(), 0u);
  EXPECT_GT(counts.tablePlugins, 0u);
  EXPECT_EQ(counts, (Counts{13, 13 * revisionsOfTheChip(), counts.tablePlugins, 13}));
  // Every table can be decoded (its description has its fields) and every memory
  // table's store opened without its types.
  for (auto const& record : Framework::TableRegistry::singleton().tables()) {
    EXPECT_FALSE(record->info->fields.empty()) << record->info->className;
    EXPECT_NE(record->audit, nullptr) << record->info->className;
    EXPECT_EQ(record->store.openShadow != nullptr, record->isMemory()) << record->info->className;
  }
}

// Loading it again, by another spelling of its path or through its directory, is a
// no-op; a copy under another name is refused for each table and registers nothing.
TEST(PluginLoading, LoadingThePluginAgainChangesNothingAndACopyUnderAnotherNameIsRefused) {
  loadThePlugin();
  auto before = countsFrom(pluginPath());
  auto again = Plugin::loadPlugin(pluginPath());
  EXPECT_EQ(again.outcome, Plugin::LoadOutcome::alreadyLoaded);
  EXPECT_FALSE(again.error);
  auto otherSpelling = fs::path(Plugin::defaultPluginDirectory()) / ".." / "plugins" / kPluginFile;
  EXPECT_EQ(Plugin::loadPlugin(otherSpelling.string()).outcome, Plugin::LoadOutcome::alreadyLoaded);
  EXPECT_TRUE(Plugin::loadPluginDirectory(Plugin::defaultPluginDirectory()).empty());

  TempDirectory directory;
  auto copy = directory.path() / "copy.so";
  fs::copy_file(pluginPath(), copy);
  auto result = Plugin::loadPlugin(copy.string());
  ASSERT_EQ(result.outcome, Plugin::LoadOutcome::failed);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->path, fs::canonical(copy).string());
  EXPECT_NE(result.error->reason.find("twice (already registered by " + pluginPath() + ")"),
            std::string::npos)
      << result.error->reason;
  EXPECT_EQ(countsFrom(pluginPath()), before);
  EXPECT_EQ(countsFrom(fs::canonical(copy).string()), (Counts{0, 0, 0, before.typeModules}));
  EXPECT_EQ(Plugin::loadedPlugins().size(), 1u);
}

TEST(PluginLoading, FilesThatAreNotPluginsAreEachReportedInOneLineAndTheRestStillLoad) {
  TempDirectory directory;
  std::ofstream(directory.path() / "a-text.so") << "not a shared object\n";
  std::ofstream(directory.path() / "empty.so");
  std::ofstream(directory.path() / "notes.txt") << "ignored: not *.so\n";
  // A real shared object without the marker: the store library.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void const*>(&Brell::defaultRoot), &info), 0);
  fs::copy_file(info.dli_fname, directory.path() / "b-store.so");
  fs::create_symlink(pluginPath(), directory.path() / "z-plugin.so");

  auto errors = Plugin::loadPluginDirectory(directory.path().string());
  ASSERT_EQ(errors.size(), 3u);
  std::sort(errors.begin(), errors.end(),
            [](auto const& left, auto const& right) { return left.path < right.path; });
  EXPECT_EQ(fs::path(errors[0].path).filename(), "a-text.so");
  EXPECT_EQ(fs::path(errors[1].path).filename(), "b-store.so");
  EXPECT_EQ(errors[1].reason, "not a hwtables plug-in (no hwtablesPluginInfo symbol)");
  EXPECT_EQ(fs::path(errors[2].path).filename(), "empty.so");
  // The plug-in behind the link loaded (or was loaded already): its tables are there.
  EXPECT_EQ(countsFrom(pluginPath()).tables, 13u);
}

TEST(PluginDirectory, ComesFromTheChoiceTheEnvironmentOrTheLibraryAndIfMissingIsOneClearError) {
  for (auto const& [path, text] :
       {std::pair<std::string, std::string>{"/nonexistent/hwtables/plugins", "does not exist"},
        {pluginPath(), "not a directory"}}) {
    EXPECT_THAT([&] { Plugin::loadPluginDirectory(path); },
                ::testing::ThrowsMessage<Vorl::InvalidInitializeException>(
                    ::testing::StrEq("plug-in directory " + path + ": " + text)));
  }
  auto missing = Plugin::loadPlugin("/nonexistent/x.so");
  EXPECT_EQ(missing.outcome, Plugin::LoadOutcome::failed);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->toString(), "/nonexistent/x.so: No such file or directory");

  // The directory comes from the choice, then the environment, then next to the library.
  ::unsetenv("HWTABLES_PLUGIN_DIR");
  auto byDefault = Plugin::pluginDirectory();
  EXPECT_EQ(fs::path(byDefault).filename(), "plugins");
  EXPECT_EQ(fs::path(byDefault).parent_path().filename(), "hwtables");
  EXPECT_TRUE(fs::exists(fs::path(byDefault) / kPluginFile)) << byDefault;
  ::setenv("HWTABLES_PLUGIN_DIR", "/from/environment", 1);
  EXPECT_EQ(Plugin::pluginDirectory(), "/from/environment");
  EXPECT_EQ(Plugin::pluginDirectory("/chosen"), "/chosen");
  ::setenv("HWTABLES_PLUGIN_DIR", "", 1);
  EXPECT_EQ(Plugin::pluginDirectory(), byDefault);
  ::unsetenv("HWTABLES_PLUGIN_DIR");
}

}  // namespace
