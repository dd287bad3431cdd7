// Each case needs a process that has not loaded the plug-in yet, so each runs in a
// process of its own (a "threadsafe" death test runs the binary again) and reports by
// its exit status, naming the first fault on stderr.
#include "tests/plugins/PluginTestSupport.h"

namespace {

namespace fs = std::filesystem;
using PluginTest::pluginPath;

struct Registered {
  std::size_t tables = 0;
  std::size_t typeModules = 0;
  std::size_t readers = 0;
  std::vector<Vorl::String> tablePlugins;
};

Registered registered() {
  return {Framework::TableRegistry::singleton().tables().size(), Vorl::loadedModules().size(),
          Tessar::HwTableHolderContext::singleton().readerRegistrations().size(),
          Tessar::HwTablePlugin::DefaultHwTableLoader().pluginNames()};
}

int fault(std::string const& what) {
  std::cerr << "FAULT: " << what << std::endl;
  return 1;
}

// What a refused plug-in left registered, or "" when it left nothing but `plugins`.
std::string leftBehind(std::vector<Vorl::String> const& plugins = {}) {
  auto after = registered();
  if (after.tables != 0) return std::to_string(after.tables) + " tables left";
  if (after.typeModules != 0) return std::to_string(after.typeModules) + " type records left";
  if (after.readers != 0) return std::to_string(after.readers) + " reader factories left";
  if (after.tablePlugins != plugins) return std::to_string(after.tablePlugins.size()) + " table plug-ins";
  return "";
}

// The file offset of the exported object `name` in the shared object `image`.
std::size_t offsetOfSymbol(std::string const& image, char const* name) {
  Elf64_Ehdr header;
  std::memcpy(&header, image.data(), sizeof header);
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), image.data() + header.e_shoff, header.e_shnum * sizeof(Elf64_Shdr));
  for (auto const& table : sections) {
    if (table.sh_type != SHT_DYNSYM) continue;
    char const* names = image.data() + sections[table.sh_link].sh_offset;
    for (std::size_t at = 0; at < table.sh_size / sizeof(Elf64_Sym); ++at) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, image.data() + table.sh_offset + at * sizeof symbol, sizeof symbol);
      if (std::strcmp(names + symbol.st_name, name) != 0) continue;
      auto const& home = sections.at(symbol.st_shndx);
      return home.sh_offset + (symbol.st_value - home.sh_addr);
    }
  }
  return 0;
}

// A copy of the plug-in whose marker names the next plug-in interface.
int loadACopyWithTheWrongMarker() {
  std::string image = PluginTest::pluginBytes();
  if (image.size() < sizeof(Elf64_Ehdr)) return fault("the plug-in cannot be read");
  std::size_t marker = offsetOfSymbol(image, Plugin::kMarkerSymbol);
  if (marker == 0) return fault("no marker in the plug-in");
  std::uint32_t version = Plugin::kAbiVersion + 1;
  std::memcpy(image.data() + marker + offsetof(Plugin::PluginInfo, abiVersion), &version,
              sizeof version);
  auto copy = fs::temp_directory_path() / ("hwtables-wrong-marker-" + std::to_string(::getpid()) + ".so");
  std::ofstream(copy, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));

  auto result = Plugin::loadPlugin(copy.string());
  fs::remove(copy);
  if (result.outcome != Plugin::LoadOutcome::failed || !result.error) return fault("it loaded");
  auto expected = "built for plug-in interface " + std::to_string(version) + ", this library has " +
                  std::to_string(Plugin::kAbiVersion);
  if (result.error->reason != expected) return fault("reason: " + result.error->reason);
  if (auto left = leftBehind(); !left.empty()) return fault(left);
  if (!Plugin::loadedPlugins().empty()) return fault("listed as loaded");
  return 0;
}

// The fifth module's table plug-in name is taken: the four modules before it and the
// fifth's own table and type-runtime record are withdrawn, and once the name is free
// the same file loads in full.
int loadWithATablePluginNameTaken() {
  auto const taken = Vorl::String("bcm88490_a0::IppfTerminationProfileTableHwDirectPlugin");
  auto& loader = Tessar::HwTablePlugin::DefaultHwTableLoader();
  loader.registerPlugin(taken, [](Tessar::HwTableHolderContext&) {});

  auto result = Plugin::loadPlugin(pluginPath());
  if (result.outcome != Plugin::LoadOutcome::failed || !result.error) return fault("it loaded");
  if (result.error->reason != "plug-in " + taken + " is already registered") {
    return fault("reason: " + result.error->reason);
  }
  if (auto left = leftBehind({taken}); !left.empty()) return fault(left);

  loader.unregisterPlugin(taken);
  auto again = Plugin::loadPlugin(pluginPath());
  if (again.outcome != Plugin::LoadOutcome::loaded) {
    return fault("not loaded again: " + (again.error ? again.error->reason : std::string()));
  }
  auto full = registered();
  if (full.tables != 13 || full.typeModules != 13 || full.readers == 0) {
    return fault("loaded again with " + std::to_string(full.tables) + " tables, " +
                 std::to_string(full.typeModules) + " type records");
  }
  return 0;
}

class PluginRefusal : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PluginRefusal, APluginForAnotherInterfaceOrWhoseRegistrationIsRefusedLeavesNothing) {
  EXPECT_EXIT(std::exit(loadACopyWithTheWrongMarker()), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(std::exit(loadWithATablePluginNameTaken()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
