#include "platform/sharedmem/OwnerFile.h"
#include "platform/sharedmem/ProcessIdentity.h"
#include "store/StoreInspector.h"
#include "tests/store/StoreTestSupport.h"

namespace FailureTests {

using namespace StoreTest;

TEST(StoreCallbacks, AThrowingCallbackLeavesTheStoreWholeWritableAndReattachable) {
  TempDir root;
  bool failing = false;
  std::vector<std::uint32_t> delivered;
  auto notify = [&](std::uint32_t slot) {
    delivered.push_back(slot);
    if (failing) throw std::runtime_error("callback failed");
  };
  {
    Attached8 writer("callbacks", sized(1024), root.path(), notify);
    fill(writer, 0, 1024);
    ASSERT_EQ(writer.capacity(), 1024u);

    failing = true;
    EXPECT_THROW(writer.write(Value8::make(7, 99), true), std::runtime_error);
    EXPECT_FALSE(writer.slotTable().criticalSection());
    bool found = false;
    EXPECT_EQ(writer.lookup(7, found, nullptr)->generation(), 99u);

    // Removals down to a compaction: the callback fails for every slot, yet each
    // removal and the whole compaction complete, and every changed slot is told.
    std::uint32_t key = 0;
    while (writer.members() > 255) {
      delivered.clear();
      EXPECT_THROW(writer.remove(key++, nullptr), std::runtime_error);
    }
    EXPECT_EQ(writer.capacity(), 512u);
    EXPECT_GT(delivered.size(), 2u) << "moved slots are delivered too";
    EXPECT_TRUE(writer.validate());
    expectFilled(writer, key, 1024);

    failing = false;
    writer.write(Value8::make(5000, 1), true);
    EXPECT_TRUE(holds(writer, 5000));
    writer.detach(false);
  }
  Attached8 next("callbacks", sized(1024), root.path());
  EXPECT_EQ(next.members(), 256u) << "reattached, not wiped";
}

TEST(StoreKilledWriter, AnOddSequenceWithTheBitClearIsSettledOnAttach) {
  TempDir root;
  {
    Attached8 writer("sequence", sized(100), root.path());
    writer.write(Value8::make(1, 1), true);
    writer.detach(false);
  }
  // What a writer killed between the sequence store and the flag store leaves.
  auto sequence = readWord<std::uint64_t>(root.file("slots"), 72);
  ASSERT_EQ(sequence % 2, 0u);
  patchWord<std::uint64_t>(root.file("slots"), 72, sequence + 1);

  Attached8 writer("sequence", sized(100), root.path());
  EXPECT_TRUE(holds(writer, 1)) << "nothing had changed: no wipe";
  EXPECT_EQ(readWord<std::uint64_t>(root.file("slots"), 72) % 2, 0u);
  Brell::StoreInspector::Options options;
  options.maxWaitMilliseconds = 200;
  auto report = Brell::StoreInspector(root.path(), options).check();
  EXPECT_TRUE(report.writerAlive);
  EXPECT_EQ(report.result, "ok") << report.reason;
}

TEST(StoreKilledWriter, AReusedProcessIdIsNotTakenForTheWriter) {
  TempDir root;
  SharedMem::OwnerFile owner(root.path());
  ASSERT_TRUE(owner.tryLock());
  auto self = SharedMem::ProcessIdentity::self();
  ASSERT_NE(self.startTime, 0u);

  owner.shocketInfoIs({self.processId, "writer"});
  EXPECT_EQ(SharedMem::OwnerFile::peek(root.path())->shocketInfo.startTime, self.startTime)
      << "the start time is recorded with the process id";
  EXPECT_TRUE(Brell::StoreInspector(root.path()).check().writerAlive);

  // The same id, but another process's start time: the recorded writer is gone.
  owner.shocketInfoIs({self.processId, "writer", self.startTime + 1});
  EXPECT_FALSE(Brell::StoreInspector(root.path()).check().writerAlive);
}

TEST(StoreOwnership, ALockOnARemovedOwnerFileIsLetGoForTheFileThePathNames) {
  TempDir root;
  SharedMem::OwnerFile first(root.path());
  first.open();
  // A cleanup elsewhere removes the owner file after `first` opened it.
  ::unlink(root.file("owner").c_str());
  ASSERT_TRUE(first.tryLock());
  struct stat named {};
  ASSERT_EQ(::stat(root.file("owner").c_str(), &named), 0) << "the path names a file again";
  SharedMem::OwnerFile second(root.path());
  EXPECT_FALSE(second.tryLock()) << "two writers of one root";
}

TEST(StoreDamage, AHugeSlotCountInASparseFileIsRefusedBeforeAnythingIsAllocated) {
  TempDir root;
  {
    Attached8 writer("sparse", sized(1000), root.path());
    writer.write(Value8::make(1, 1), true);
    writer.detach(false);
  }
  // The largest count there is, with the largest-count field raised to match, in a
  // file lengthened (sparsely) to the size it claims: about 24 GiB.
  constexpr std::uint32_t kCount = (1u << 30) - 1;
  patchWord<std::uint32_t>(root.file("slots"), 588, kCount);
  patchWord<std::uint32_t>(root.file("slots"), 572, kCount);
  ASSERT_EQ(
      ::truncate(root.file("slots").c_str(), static_cast<off_t>(*Brell::slotFileSize(kCount, 24))),
      0);
  auto report = Brell::StoreInspector(root.path()).check();
  EXPECT_EQ(report.result, "invalid");
  EXPECT_NE(report.reason.find("holds no data"), std::string::npos) << report.reason;

  // A writer takes it for damage and starts afresh instead of reserving 24 GiB.
  Attached8 writer("sparse", sized(1000), root.path());
  EXPECT_EQ(writer.members(), 0u) << "wiped";
  EXPECT_TRUE(writer.validate());
}

}  // namespace FailureTests
