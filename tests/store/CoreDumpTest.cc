#include <fstream>

#include "platform/sharedmem/CoreDump.h"
#include "tests/store/StoreTestSupport.h"

namespace CoreDumpTests {

using namespace StoreTest;

// Whether each mapping of a file in `root` is kept out of core dumps, by file name.
std::map<std::string, bool> excludedMappingsOf(std::string const& root) {
  std::map<std::string, bool> excluded;
  std::ifstream smaps("/proc/self/smaps");
  std::string current;  // file of the mapping whose lines are being read
  for (std::string line; std::getline(smaps, line);) {
    auto space = line.find(' ');
    if (line.starts_with("VmFlags:") && !current.empty()) {
      excluded[current] = (line + " ").find(" dd ") != std::string::npos;
    } else if (space != std::string::npos && space > 0 && line[space - 1] != ':') {
      auto at = line.find(root + "/");  // a mapping's first line: range, ..., path
      current = at == std::string::npos ? "" : line.substr(at + root.size() + 1);
    }
  }
  return excluded;
}

Brell::MapDescriptor withCoreDumpMode(int mode) {
  Brell::MapDescriptor descriptor = sized(100000);
  descriptor.coreDumpMode = mode;
  return descriptor;
}

// Modes 1 and 3 keep the slot and bucket files out of core dumps, through growth (which
// maps them anew); mode 0 leaves them to the process's dump filter, which dumps shared
// file mappings.
TEST(CoreDump, TheDescriptorsModeDecidesWhetherTheStoreIsDumpedThroughGrowthAndAnUnknownOneIsRefused) {
  TempDir empty;
  EXPECT_THAT([&] { Writer8 writer("core", withCoreDumpMode(2), empty.path()); },
              ::testing::ThrowsMessage<Vorl::InvalidInitializeException>(
                  ::testing::StrEq("core-dump mode 2 of collection core is not 0, 1 or 3")));
  EXPECT_TRUE(std::filesystem::is_empty(empty.path())) << "refused before any file is made";
  for (int mode : {0, 1, 3}) {
    SCOPED_TRACE(mode);
    TempDir root;
    Attached8 writer("core", withCoreDumpMode(mode), root.path());
    for (int round = 0; round < 2; ++round) {
      auto excluded = excludedMappingsOf(root.path());
      ASSERT_TRUE(excluded.contains("slots") && excluded.contains("buckets"));
      EXPECT_EQ(excluded["slots"], mode != 0);
      EXPECT_EQ(excluded["buckets"], mode != 0);
      StoreTest::fill(writer, 0, 5000);  // the slot and bucket tables grow and are mapped anew
    }
  }
  auto filter = SharedMem::coreDumpFilter();
  ASSERT_TRUE(filter) << "no /proc/self/coredump_filter";
  EXPECT_NE(*filter & SharedMem::kDumpFileBackedShared, 0u);
}

}  // namespace CoreDumpTests
