#include <fstream>
#include <sstream>

#include "platform/sharedmem/CoreDump.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;

// Whether each mapping of a file in `root` is kept out of core dumps, by file name.
std::map<std::string, bool> excludedMappingsOf(std::string const& root) {
  std::map<std::string, bool> excluded;
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  std::string current;  // file of the mapping whose lines are being read
  while (std::getline(smaps, line)) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first == "VmFlags:") {
      if (current.empty()) continue;
      std::string flag;
      bool dontDump = false;
      while (words >> flag) dontDump = dontDump || flag == "dd";
      excluded[current] = dontDump;
    } else if (first.find('-') != std::string::npos && first.back() != ':') {
      std::string permissions, offset, device, inode, path;
      words >> permissions >> offset >> device >> inode >> path;
      current = path.starts_with(root + "/") ? path.substr(root.size() + 1) : std::string();
    }
  }
  return excluded;
}

Brell::MapDescriptor withCoreDumpMode(int mode) {
  Brell::MapDescriptor descriptor;
  descriptor.maxSize = 100000;
  descriptor.coreDumpMode = mode;
  return descriptor;
}

// Modes 1 and 3 keep the slot and bucket files out of core dumps, through growth (which
// maps them anew); mode 0 leaves them to the process's dump filter, which dumps shared
// file mappings.
TEST(CoreDump, TheDescriptorsModeDecidesWhetherTheStoreIsDumpedThroughGrowth) {
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

TEST(CoreDump, AnUnknownModeIsRefusedBeforeAnyFileIsMade) {
  TempDir root;
  EXPECT_THAT([&] { Writer8 writer("core", withCoreDumpMode(2), root.path()); },
              ::testing::ThrowsMessage<Vorl::InvalidInitializeException>(
                  ::testing::StrEq("core-dump mode 2 of collection core is not 0, 1 or 3")));
  EXPECT_TRUE(std::filesystem::is_empty(root.path()));
}

}  // namespace
