#include <atomic>
#include <set>
#include <thread>
#include <tuple>

#include "platform/vorl/Exceptions.h"
#include "store/VanquoReader.h"
#include "store/VanquoWriter.h"
#include "tests/store/PipedChild.h"
#include "tests/store/StoreTestSupport.h"

namespace VanquoTests {

using StoreTest::readRing;
using StoreTest::TempDir;
using namespace StoreTest::Piped;
using Reader = Vanquo::VanquoReader<Vanquo::BasicSlot>;
using Vanquo::WriterState;

constexpr SharedMem::PyrelId kPyrel(7, 1234);

Vanquo::VanquoWriter makeWriter(TempDir const& root, std::uint32_t capacity = 64) {
  return Vanquo::VanquoWriter(
      root.path(), false, [] { return kPyrel; }, capacity);
}

class VanquoRing : public ::testing::Test {
 protected:
  void SetUp() override {
    writer.attach();
    ASSERT_TRUE(reader.initialize()) << reader.lastError();
  }
  TempDir root;
  Vanquo::VanquoWriter writer = makeWriter(root);
  Reader reader{root.path()};
};

TEST_F(VanquoRing, ReaderGetsEverySlotInOrderWithConsecutiveSequencesLappedOnesAreTombstonedAndOverrun) {
  writer.slotChanged(99);  // before this reader: not seen
  Reader late(root.path());
  ASSERT_TRUE(late.initialize()) << late.lastError();
  EXPECT_EQ(late.pyrel(), kPyrel);
  EXPECT_EQ(late.sequence(), 1u);
  for (std::uint32_t slot : {3u, 0u, 0x3FFFFFFFu, 3u}) writer.slotChanged(slot);
  Reader::Read result;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> seen;
  for (auto const& slot : readRing(late, &result)) seen.emplace_back(slot.slotIndex, slot.sequence);
  EXPECT_EQ(result, Reader::Read::ok);
  EXPECT_EQ(seen, (decltype(seen){{3u, 2}, {0u, 3}, {0x3FFFFFFFu, 4}, {3u, 5}}));
  EXPECT_FALSE(late.pending());
  EXPECT_TRUE(readRing(late).empty());
  EXPECT_EQ(late.writerState(), WriterState::attached);

  // `reader` came before the first change: sequence 1 was slot 99.
  EXPECT_TRUE(reader.held(99, 1));
  EXPECT_FALSE(reader.held(6, 1));  // another slot
  EXPECT_FALSE(reader.held(99, 6));  // not published yet
  EXPECT_FALSE(reader.held(99, 0));
  // Exactly a full ring behind is still readable...
  for (int index = 0; index < 59; ++index) writer.slotChanged(10);
  EXPECT_TRUE(reader.held(99, 1));
  EXPECT_EQ(readRing(reader, &result).size(), 64u);
  EXPECT_EQ(result, Reader::Read::ok);
  // ...one more and the oldest entry is overwritten.
  writer.slotChanged(11);
  EXPECT_FALSE(reader.held(99, 1));
  EXPECT_TRUE(reader.held(11, 65));
  for (int index = 0; index < 65; ++index) writer.slotChanged(12);
  readRing(reader, &result);
  EXPECT_EQ(result, Reader::Read::overrun);
  EXPECT_EQ(reader.overruns(), 1u);
  // A resynchronising reader starts again from the head.
  std::uint64_t head = reader.restartAtHead();
  EXPECT_EQ(head, writer.head());
  writer.slotChanged(13);
  auto resumed = readRing(reader, &result);
  EXPECT_EQ(result, Reader::Read::ok);
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0].slotIndex, 13u);
  EXPECT_EQ(resumed[0].sequence, head);
}

// A ring is never seen without the writer that made it: a reader takes a ring
// without a writer for one whose writer has left, and would not look at it again.
// Writers keep replacing their ring while a reader opens whatever ring is in place:
// no ring may be seen first without a writer and later with one.
TEST_F(VanquoRing, ANewRingIsNeverSeenWithoutItsWriter) {
  std::atomic<bool> done{false};
  std::thread replacing([&] {
    for (int round = 0; round < 300; ++round) writer.attach();
    done = true;
  });
  std::set<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> seenWithoutWriter;
  int reversals = 0;
  int opened = 0;
  while (!done) {
    Reader reader(root.path());
    if (!reader.initialize(false)) continue;
    ++opened;
    auto identity = reader.identity();
    auto key = std::make_tuple(identity.device, identity.inode, identity.created);
    if (reader.writerState() == WriterState::attached) {
      reversals += seenWithoutWriter.count(key) != 0;
    } else {
      seenWithoutWriter.insert(key);
    }
  }
  replacing.join();
  EXPECT_GT(opened, 0);
  EXPECT_EQ(reversals, 0);
}

TEST(VanquoRingFile, LocalWriterPublishesNothing) {
  TempDir root;
  Vanquo::VanquoWriter writer(root.path(), true, [] { return kPyrel; }, 64);
  writer.attach();
  writer.slotChanged(1);
  EXPECT_FALSE(writer.attached());
  EXPECT_TRUE(std::filesystem::is_empty(root.path()));
  Brell::BrellWriter<StoreTest::TestTraits<8>> store(
      "local", Brell::MapDescriptor::localTemporary(10), root.path());
  ASSERT_TRUE(store.initialize("test"));
  store.write(StoreTest::TestValue<8>::make(1, 1), true);
  EXPECT_TRUE(std::filesystem::is_empty(root.path()));
}

TEST(VanquoRingFile, KilledWriterIsDeadOnceReaped) {
  TempDir root;
  auto child = startChild([&](int commands, int replies) {
    auto writer = makeWriter(root);
    writer.attach();
    writer.slotChanged(1);
    writeLine(replies, "ready");
    char byte;
    return static_cast<int>(::read(commands, &byte, 1));  // until killed
  });
  ASSERT_EQ(readLine(child.replies, std::chrono::seconds(60)), "ready");
  Reader reader(root.path());
  ASSERT_TRUE(reader.initialize());
  EXPECT_EQ(reader.writer().processId, static_cast<std::uint32_t>(child.pid));
  EXPECT_EQ(reader.writerState(), WriterState::attached);
  stopChild(child, true);  // killed and reaped
  EXPECT_EQ(reader.writerState(), WriterState::dead);
}

TEST(VanquoRingFile, DamagedRingFilesAreRefusedWithAReason) {
  struct Damage {
    char const* name;
    std::size_t offset;
    std::uint32_t word;
    char const* reason;
  };
  Damage damages[] = {
      {"magic", 0, 0x12345678u, "bad magic"},
      {"format version", 8, 9u, "format version 9 (this reader reads version 2)"},
      {"an older format", 8, 1u, "format version 1 (this reader reads version 2)"},
      {"capacity", 12, 100u, "bad header checksum"},
  };
  for (auto const& damage : damages) {
    SCOPED_TRACE(damage.name);
    TempDir root;
    auto writer = makeWriter(root);
    writer.attach();
    StoreTest::patchWord<std::uint32_t>(root.file("notifications"), damage.offset, damage.word);
    Reader reader(root.path());
    EXPECT_FALSE(reader.initialize());
    EXPECT_NE(reader.lastError().find(damage.reason), std::string::npos) << reader.lastError();
  }
  TempDir root;
  auto writer = makeWriter(root);
  writer.attach();
  std::filesystem::resize_file(root.file("notifications"), Vanquo::ringFileSize(64) - 8);
  Reader reader(root.path());
  EXPECT_FALSE(reader.initialize());
  EXPECT_NE(reader.lastError().find("hold no ring"), std::string::npos) << reader.lastError();
  writer.detach();
  std::filesystem::remove(root.file("notifications"));
  std::filesystem::create_symlink("/dev/zero", root.file("notifications"));
  EXPECT_FALSE(reader.initialize());
  EXPECT_THROW(makeWriter(root, 100).attach(), Vorl::RangeException);
}

// A reader killed while it sleeps on the ring leaves nothing that costs the writer:
// after a hundred of them, publishing makes no system call (the count of sleeps they
// left no longer changes), and a new reader sleeps and is woken as the first one was.
TEST_F(VanquoRing, ReadersKilledInTheirSleepCostTheWriterNothing) {
  auto asleep = [](pid_t pid) {
    auto bytes = StoreTest::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::string stat(bytes.begin(), bytes.end());
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
  };
  // A reader in a child process, once it sleeps on the ring (-1, killed, if it never does).
  auto sleepingReader = [&] {
    std::uint32_t before = writer.sleeps();
    pid_t child = ::fork();
    if (child == 0) {
      Reader reader(root.path());
      if (!reader.initialize()) ::_exit(3);
      ::_exit(reader.wait(std::chrono::seconds(60)) ? 0 : 1);
    }
    for (int attempt = 0; attempt < 20000; ++attempt, ::usleep(500)) {
      if (writer.sleeps() != before && asleep(child)) return child;
    }
    ::kill(child, SIGKILL);
    exitStatusOf(child);
    return pid_t{-1};
  };
  auto wokenLikeTheFirst = [&] {
    pid_t reader = sleepingReader();
    ASSERT_GT(reader, 0);
    std::uint64_t wakes = writer.wakes();
    auto published = std::chrono::steady_clock::now();
    writer.slotChanged(7);
    EXPECT_EQ(exitStatusOf(reader), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - published, std::chrono::seconds(30))
        << "woken only by its own timeout";
    EXPECT_EQ(writer.wakes(), wakes + 1);
  };
  wokenLikeTheFirst();

  for (int round = 0; round < 100; ++round) {
    pid_t reader = sleepingReader();
    ASSERT_GT(reader, 0) << "round " << round;
    ::kill(reader, SIGKILL);
    exitStatusOf(reader);
  }
  std::uint64_t wakes = writer.wakes();
  for (std::uint32_t change = 0; change < 10000; ++change) writer.slotChanged(change % 64);
  // The dead sleepers' count is noticed once, then never again.
  EXPECT_LE(writer.wakes(), wakes + 1);
  wokenLikeTheFirst();
  std::uint64_t afterProbe = writer.wakes();
  for (std::uint32_t change = 0; change < 10000; ++change) writer.slotChanged(change % 64);
  EXPECT_EQ(writer.wakes(), afterProbe);
  // Detaching wakes a sleeper too (its wait would otherwise last its 60 s).
  pid_t last = sleepingReader();
  ASSERT_GT(last, 0);
  auto detached = std::chrono::steady_clock::now();
  writer.detach();
  exitStatusOf(last);
  EXPECT_LT(std::chrono::steady_clock::now() - detached, std::chrono::seconds(30));
}

}  // namespace VanquoTests
