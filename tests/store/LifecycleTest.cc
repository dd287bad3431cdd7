
#include <fstream>

#include "platform/sharedmem/PyrelFile.h"
#include "store/BrellMap.h"
#include "tests/store/StoreTestSupport.h"

namespace LifecycleTests {

using namespace StoreTest;

struct SlotFile {
  std::string path;
  std::uint32_t get(std::size_t offset) const { return readWord<std::uint32_t>(path, offset); }
  void set(std::size_t offset, std::uint32_t word) const { patchWord(path, offset, word); }
};

struct Damage {
  char const* name;
  std::function<void(SlotFile const& slots)> apply;
  char const* reason;
};

TEST(StoreValidation, EachDamageFailsWithItsReasonAndTheNextAttachWipesOnce) {
  // Offsets: 558 runtime flags, 564 occupancy, 568 free-list head, 572 largest slot
  // count, 588 slot count, 592 largest occupancy, 608 lookaside link.
  std::vector<Damage> damages = {
      {"critical section bit", [](auto& slots) { patchWord<std::uint16_t>(slots.path, 558, 1); },
       "bad critical section runtimeFlags:1"},
      {"occupied slot on the free list", [](auto& slots) { slots.set(568, 0); },
       "not-empty slot:0"},
      {"duplicate on the free list",
       [](auto& slots) {
         std::uint32_t head = slots.get(568);
         slots.set(slotOffset8(slots.get(slotOffset8(head) + 4)) + 4, head);
       },
       "duplicate slot:"},
      {"occupancy off by one", [](auto& slots) { slots.set(564, slots.get(564) - 1); },
       "wrong occupied count"},
      {"lookaside link with a version", [](auto& slots) { slots.set(608, 4); },
       "stuck lookaside link"},
      {"free slot with its rewrite bit set",
       [](auto& slots) {
         std::size_t head = slotOffset8(slots.get(568));
         slots.set(head, slots.get(head) | 2);
       },
       "left mid-rewrite"},
      {"largest slot count below the slot count",
       [](auto& slots) { slots.set(572, slots.get(588) - 1); }, "bad largest slot count"},
      {"largest occupancy below the occupancy",
       [](auto& slots) { slots.set(592, slots.get(564) - 1); }, "bad largest occupancy"},
      {"slot count beyond the file", [](auto& slots) { slots.set(588, 1u << 20); }, ""},
  };
  for (auto const& damage : damages) {
    SCOPED_TRACE(damage.name);
    TempDir root;
    SharedMem::PyrelId identity;
    {
      Attached8 writer("validation", sized(1000), root.path());
      fill(writer, 0, 50);
      identity = writer.pyrelId();
      damage.apply(SlotFile{root.file("slots")});
      std::string reason;
      EXPECT_FALSE(writer.validate(identity, false, &reason));
      EXPECT_NE(reason.find(damage.reason), std::string::npos) << reason;
      writer.detach(false);
    }
    // Wiped once: empty, and the identity's number one higher.
    Attached8 next("validation", sized(1000), root.path());
    EXPECT_EQ(next.members(), 0u);
    EXPECT_EQ(next.pyrelId().number(), static_cast<std::uint16_t>(identity.number() + 1));
    EXPECT_EQ(next.pyrelId().processBits(), identity.processBits());
    EXPECT_TRUE(next.validate());
    EXPECT_EQ(SharedMem::PyrelFile(root.path()).read()->identity, next.pyrelId());
  }
}

TEST(StoreValidation, MismatchingIdentityAndFixedCapacityAreRefused) {
  TempDir root;
  {
    Attached8 writer("identity", sized(64, true), root.path());
    fill(writer, 0, 10);
    std::string reason;
    SharedMem::PyrelId other(writer.pyrelId().value() ^ 0x10000u);
    EXPECT_FALSE(writer.validate(other, false, &reason));
    EXPECT_EQ(reason, fmt::format("mismatching pyrel:{}, oldPyrel:{}", other.value(),
                                  writer.pyrelId().value()));
  }
  TraceCapture traces;
  Attached8 bigger("identity", sized(128, true), root.path());
  EXPECT_TRUE(traces.contains(
      "wanted capacity:128 for fixed-size table, but existing file has capacity:64"))
      << traces.all();
  EXPECT_EQ(bigger.capacity(), 128u);
  EXPECT_EQ(bigger.members(), 0u);
}

TEST(StoreValidation, RestartKeepsIntactFilesRefusesDamagedOnesUnderStrictValidationAndWipesDeletedOnesOnce) {
  TempDir root;
  SharedMem::PyrelId identity;
  {
    Attached8 writer("restart", sized(1000), root.path());
    fill(writer, 0, 700);
    identity = writer.pyrelId();
  }
  {
    Attached8 writer("restart", sized(1000), root.path());
    EXPECT_EQ(writer.pyrelId(), identity);
    EXPECT_EQ(writer.members(), 700u);
    expectFilled(writer, 0, 700);
  }
  patchWord<std::uint16_t>(root.file("slots"), 558, 1);
  ::setenv("HWTABLES_PHYSICAL_DUT", "1", 1);
  ::setenv("HWTABLES_STRICT_VALIDATION", "1", 1);
  {
    Writer8 strict("restart", sized(1000), root.path());
    EXPECT_THAT([&] { strict.initialize("test"); },
                ::testing::ThrowsMessage<Vorl::InvalidInitializeException>(::testing::StrEq(
                    "failed initial validation of " + root.path() + " after re-attaching")));
  }
  ::unsetenv("HWTABLES_PHYSICAL_DUT");
  ::unsetenv("HWTABLES_STRICT_VALIDATION");
  EXPECT_EQ(readWord<std::uint32_t>(root.file("slots"), 564), 700u) << "files kept";

  std::filesystem::remove(root.file("slots"));
  std::filesystem::remove(root.file("buckets"));
  // New files where the identity says there were some: the store is wiped once.
  Attached8 writer("restart", sized(1000), root.path());
  EXPECT_EQ(writer.pyrelId().number(), static_cast<std::uint16_t>(identity.number() + 1));
  EXPECT_EQ(writer.members(), 0u);
}

TEST(StoreLifecycle, AMapStartsLocalRefusesBadMountsOwnsItsRootAloneUntilCleanupAndAsAReaderWaitsForAWriterAndRefusesWrites) {
  Brell::BrellMap<Traits8> map("local");
  EXPECT_EQ(map.implementation().type(), Brell::StoreType::writer);
  map.write(Value8::make(5, 1), true);
  EXPECT_EQ(map.members(), 1u);
  EXPECT_GE(map.capacity(), 100u);

  Mem::CollectionDescriptor mount;
  mount.rootPath = "/nonexistent";
  EXPECT_THROW(map.init(mount), Vorl::InvalidInitializeException) << "size 0 in writer mode";
  mount.size = 10;
  mount.heap = true;
  EXPECT_THROW(map.init(mount), Vorl::InvalidInitializeException) << "heap in shared mode";

  TempDir root;
  mount.rootPath = root.path();
  mount.heap = false;
  map.init(mount);
  ASSERT_TRUE(map.attach("test"));
  EXPECT_EQ(map.mountStatus(), Brell::MountStatus::mounted);
  EXPECT_FALSE(holds(map, 5)) << "the local writer's entries are gone";
  map.write(Value8::make(1, 1), true);
  Writer8 second("second", sized(100), root.path());
  EXPECT_THAT([&] { second.initialize("test"); },
              ::testing::ThrowsMessage<Vorl::InvalidInitializeException>(
                  ::testing::HasSubstr("another writer owns")));
  for (auto const* name : {"slots", "buckets", "owner", "pyrel", "control"}) {
    EXPECT_TRUE(std::filesystem::exists(root.file(name))) << name;
  }
  map.cleanupAndDetach();
  EXPECT_TRUE(std::filesystem::is_empty(root.path()));

  // A reading mount refuses every writing operation, before and after it attaches (the
  // same refusal serves every reader kind), and the store keeps what the writer wrote.
  Brell::BrellMap<Traits8> reading("reading");
  mount.mode = Mem::CollectionDescriptor::Mode::reader;
  reading.init(mount);
  auto expectRefused = [&](char const* when) {
    SCOPED_TRACE(when);
    using Refused = Vorl::NoPermissionException;
    auto says = [](char const* text) {
      return ::testing::ThrowsMessage<Refused>(::testing::HasSubstr(text));
    };
    EXPECT_THAT([&] { reading.write(Value8::make(9, 1), true); },
                says("write to read-only Brell table"));
    EXPECT_THROW(reading.directWrite(Value8::make(8, 1)), Refused);
    EXPECT_THROW(reading.directCommit(), Refused);
    EXPECT_THAT([&] { reading.remove(9, nullptr); }, says("remove to read-only Brell table"));
    EXPECT_THAT([&] { reading.markAndSweepFlag(9, Brell::MarkAndSweepOperation::set); },
                says("mark-and-sweep flag change on read-only Brell table"));
  };
  expectRefused("before attaching");
  EXPECT_FALSE(reading.attach("no writer yet"));
  ASSERT_TRUE(second.initialize("test")) << "the root is free again";
  second.write(Value8::make(9, 4), true);
  ASSERT_TRUE(reading.tryAttach());
  expectRefused("attached");
  EXPECT_EQ(find(reading, 9), Value8::make(9, 4));
  EXPECT_EQ(find(second, 9), Value8::make(9, 4));
  EXPECT_EQ(second.members(), 1u);
}

// The directory of a death test: made by the test process and named in the
// environment, so that the children (which re-run the test and die without cleaning
// up) reuse it instead of leaving one of their own behind.
class DeathTestRoot {
 public:
  static constexpr char const* kVariable = "HWTABLES_DEATH_TEST_ROOT";
  DeathTestRoot() {
    if (char const* inherited = std::getenv(kVariable)) {
      path_ = inherited;
    } else {
      made_.emplace();
      path_ = made_->path();
      ::setenv(kVariable, path_.c_str(), 1);
    }
  }
  ~DeathTestRoot() {
    if (made_) ::unsetenv(kVariable);
  }
  DeathTestRoot(DeathTestRoot const&) = delete;
  DeathTestRoot& operator=(DeathTestRoot const&) = delete;
  std::string const& path() const { return path_; }

 private:
  std::optional<TempDir> made_;
  std::string path_;
};

TEST(StoreLifecycleDeath, MisuseStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DeathTestRoot root;
  Brell::BrellStrictDummy<Traits8> orphan("orphan", root.path(), true);
  EXPECT_EQ(orphan.mountStatus(), Brell::MountStatus::unmounted);
  EXPECT_DEATH(orphan.members(), "trying to operate on an orphan brell entity");
  EXPECT_DEATH(
      {
        Writer8 writer("pairs", sized(100), root.path());
        writer.initialize("test");
        writer.directWrite(Value8::make(1, 1));
        writer.write(Value8::make(2, 1), true);
      },
      "Make sure the DirectIs/Commit are properly paired!");
  EXPECT_DEATH(
      {
        Writer8 writer("pairs", sized(100), root.path());
        writer.initialize("test");
        writer.directCommit();
      },
      "not in direct mode!");
  EXPECT_DEATH(
      {
        Writer8* self = nullptr;
        auto notify = [&self](std::uint32_t) { self->write(Value8::make(3, 1), true); };
        Writer8 writer("reentrant", sized(100), root.path(), notify);
        self = &writer;
        writer.initialize("test");
        writer.write(Value8::make(2, 1), true);
      },
      "Brell reentrancy detected");
}

TEST(StoreLifecycle, AReaderMapsTheSlotsReadOnlyAndSeesADirectWriteOnlyOnceCommitted) {
  TempDir root;
  Attached8 writer("direct", sized(100), root.path());
  AttachedReader8 reader("direct", root.path());
  EXPECT_EQ(reader.pyrelId(), writer.pyrelId());
  EXPECT_FALSE(holds(reader, 11));  // a lookup maps the slots
  // The reader's mapping is read-only: the files stay writable only by their owner.
  auto maps = readFile("/proc/self/maps");
  std::string text(maps.begin(), maps.end());
  std::size_t readOnlyMappings = 0;
  for (std::size_t at = text.find(root.file("slots")); at != std::string::npos;
       at = text.find(root.file("slots"), at + 1)) {
    std::size_t lineStart = text.rfind('\n', at) + 1;
    readOnlyMappings += text.substr(text.find(' ', lineStart) + 1, 4) == "r--s" ? 1 : 0;
  }
  EXPECT_EQ(readOnlyMappings, 1u) << "exactly the reader's mapping is read-only";

  auto* staged = writer.directWrite(Value8::make(11, 1));
  *staged = Value8::make(11, 2);
  bool found = true;
  Value8 buffer;
  reader.lookup(11, found, &buffer);
  EXPECT_FALSE(found) << "not visible before the commit";
  writer.directCommit();
  reader.lookup(11, found, &buffer);
  ASSERT_TRUE(found);
  EXPECT_EQ(buffer.generation(), 2u);
  staged = writer.directWrite(Value8::make(11, 3));
  *staged = Value8::make(12, 3);  // the key changed: refused, nothing written
  EXPECT_THROW(writer.directCommit(), Vorl::RangeException);
  reader.lookup(11, found, &buffer);
  EXPECT_EQ(buffer.generation(), 2u);
  EXPECT_FALSE(holds(writer, 12));
  EXPECT_TRUE(writer.markAndSweepFlag(11, Brell::MarkAndSweepOperation::set));
  EXPECT_TRUE(writer.markAndSweepFlag(11, Brell::MarkAndSweepOperation::get));
  EXPECT_TRUE(writer.markAndSweepFlag(11, Brell::MarkAndSweepOperation::clear));
  EXPECT_FALSE(writer.markAndSweepFlag(11, Brell::MarkAndSweepOperation::get));
  EXPECT_FALSE(writer.markAndSweepFlag(99, Brell::MarkAndSweepOperation::get));
  EXPECT_TRUE(writer.validate());
}

}  // namespace LifecycleTests
