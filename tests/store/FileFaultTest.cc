// Faults injected at the file layer on every path that resizes or maps, and a real
// full file system on a small tmpfs: a clear error, nothing changed, never SIGBUS.
#include <sys/mount.h>

#include <cerrno>

#include "platform/sharedmem/FileFaults.h"
#include "platform/vorl/Exceptions.h"
#include "tests/store/StoreTestSupport.h"

namespace FileFaultTests {

namespace Faults = SharedMem::FileFaults;
using namespace StoreTest;

template <class Matcher>
auto throwsResourceError(Matcher matcher) {
  return ::testing::ThrowsMessage<Vorl::MemoryResourceException>(matcher);
}

struct Fault {
  char const* name;
  Faults::Operation operation;
  int error;
};

Fault const kGrowthFaults[] = {{"no space", Faults::Operation::reserve, ENOSPC},
                               {"file too large", Faults::Operation::reserve, EFBIG},
                               {"mapping refused", Faults::Operation::map, ENOMEM}};

TEST(StoreFileFaults, SlotGrowthThatCannotGetItsSpaceChangesNothing) {
  for (auto const& fault : kGrowthFaults) {
    SCOPED_TRACE(fault.name);
    TempDir root;
    Attached8 writer("growth", sized(100000), root.path());
    std::uint32_t full = writer.capacity();
    fill(writer, 0, full);
    ASSERT_EQ(writer.capacity(), full);
    auto fileBytes = std::filesystem::file_size(root.file("slots"));
    {
      Faults::Scope scope;
      Faults::inject(fault.operation, fault.error);
      EXPECT_THAT([&] { writer.write(Value8::make(full, full + 1), true); },
                  throwsResourceError(::testing::AllOf(
                      ::testing::StartsWith(fmt::format(
                          "failed to resize {} from {} to {} slots, needed {} bytes. Reason: ",
                          root.file("slots"), full, 2 * full, *Brell::slotFileSize(2 * full, 24))),
                      ::testing::HasSubstr(std::strerror(fault.error)))));
    }
    EXPECT_FALSE(writer.slotTable().criticalSection());
    EXPECT_EQ(writer.members(), full);
    EXPECT_EQ(writer.capacity(), full);
    if (fault.operation == Faults::Operation::reserve) {
      EXPECT_EQ(std::filesystem::file_size(root.file("slots")), fileBytes) << "length given back";
    }
    EXPECT_TRUE(writer.validate());
    expectFilled(writer, 0, full);
    fill(writer, full, full + 1);  // the space is there again
    EXPECT_EQ(writer.capacity(), 2 * full);
  }
}

TEST(StoreFileFaults, BucketSplitWithoutSpaceKeepsTheWriteAndTriesAgainLater) {
  TempDir root;
  Attached8 writer("buckets", sized(2000, true), root.path());
  // Splits up to 512 buckets stay in the bucket file's first page; the next needs space.
  fill(writer, 0, 512);
  std::uint32_t buckets = writer.buckets();
  ASSERT_EQ(buckets, 512u);
  {
    Faults::Scope scope;
    Faults::inject(Faults::Operation::reserve, ENOSPC);
    fill(writer, buckets, buckets + 1);
  }
  EXPECT_EQ(writer.buckets(), buckets);
  EXPECT_FALSE(writer.slotTable().criticalSection());
  EXPECT_TRUE(writer.validate());
  fill(writer, buckets + 1, buckets + 2);
  EXPECT_EQ(writer.buckets(), 2 * buckets);
  expectFilled(writer, 0, buckets + 2);
  EXPECT_TRUE(writer.validate());
}

TEST(StoreFileFaults, CompactionWhoseMappingCannotShrinkStillCompletes) {
  TempDir root;
  Attached8 writer("shrink", sized(1024), root.path());
  fill(writer, 0, 1024);
  std::uint32_t key = 0;
  while (writer.members() > 256) writer.remove(key++, nullptr);
  {
    Faults::Scope scope;
    Faults::inject(Faults::Operation::map, ENOMEM, 0, 100);
    writer.remove(key++, nullptr);  // compacts to 512 slots
  }
  EXPECT_EQ(writer.capacity(), 512u);
  EXPECT_FALSE(writer.slotTable().criticalSection());
  EXPECT_TRUE(writer.validate());
  expectFilled(writer, key, 1024);
  fill(writer, 0, key);  // and grows again over the kept mapping
  expectFilled(writer, 0, 1024);
  EXPECT_TRUE(writer.validate());
}

TEST(StoreFileFaults, ShortWritesOfTheSmallFilesAreContinued) {
  TempDir root;
  {
    Attached8 writer("short", sized(1000), root.path());
    fill(writer, 0, 50);
  }
  {
    Faults::Scope scope;
    // Every write of the owner record and the restart identity comes out short once.
    Faults::inject(Faults::Operation::write, ENOSPC, 0, 1);
    Attached8 writer("short", sized(1000), root.path());
    expectFilled(writer, 0, 50);
  }
  {
    Faults::Scope scope;
    Faults::inject(Faults::Operation::write, ENOSPC, 0, 1000);  // nothing gets written
    Writer8 writer("short", sized(1000), root.path());
    EXPECT_THAT([&] { writer.initialize("test"); },
                throwsResourceError(::testing::HasSubstr("No space left on device")));
  }
  Attached8 writer("short", sized(1000), root.path());
  EXPECT_TRUE(writer.validate());
}

// A tmpfs of a few pages mounted for one test, unmounted and removed afterwards.
struct SmallTmpfs {
  explicit SmallTmpfs(std::size_t bytes) {
    if (::mkdtemp(path.data()) == nullptr) return;
    std::string options = fmt::format("size={}", bytes);
    mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted) error = std::strerror(errno);
  }
  ~SmallTmpfs() {
    if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    ::rmdir(path.c_str());
  }
  std::string path = "/tmp/hwtables-tmpfs-XXXXXX";
  std::string error = "no directory";
  bool mounted = false;
};

TEST(StoreFullFileSystem, TheWriterStopsWithAnErrorAndKeepsEveryEntry) {
  // Room for a small notification ring (a few pages) and a few growths of the slot
  // table: the table is configured large, its ring is not.
  SmallTmpfs tmpfs(512 * 1024);
  Brell::MapDescriptor descriptor = sized(1000000);
  descriptor.notificationCapacity = 1024;
  if (!tmpfs.mounted) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << tmpfs.error
                 << "); the injected faults above cover the same paths";
  }
  std::string root = tmpfs.path + "/store";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  std::uint32_t written = 0;
  std::string message;
  {
    Attached8 writer("full", descriptor, root);
    try {
      for (; written < 1000000; ++written) writer.write(Value8::make(written, written + 1), true);
    } catch (Vorl::MemoryResourceException const& error) {
      message = error.what();
    }
    EXPECT_NE(message.find("failed to resize"), std::string::npos) << message;
    EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
    EXPECT_GT(written, 1000u);
    EXPECT_FALSE(writer.slotTable().criticalSection());
    EXPECT_EQ(writer.members(), written);
    EXPECT_TRUE(writer.validate());
    // Updates and removals need no space and keep working.
    writer.write(Value8::make(0, 1), true);
    EXPECT_TRUE(writer.remove(1, nullptr));
    writer.write(Value8::make(1, 2), true);
  }
  Attached8 writer("full", descriptor, root);
  EXPECT_EQ(writer.members(), written) << "kept, not wiped";
  expectFilled(writer, 2, written);
  writer.cleanup();
}

}  // namespace FileFaultTests
