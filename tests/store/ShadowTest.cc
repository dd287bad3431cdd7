#include <set>

#include <gmock/gmock.h>

#include "store/BrellShadow.h"
#include "tests/store/StoreTestSupport.h"

namespace ShadowTests {

using namespace StoreTest;
using Traits = TestTraits<8>;
using Value = Traits::Value;
using Writer = Brell::BrellWriter<Traits>;
using Shadow = Brell::BrellShadow<Traits>;
using std::chrono::milliseconds;

struct Recorder {
  std::set<std::uint32_t> keys;
  std::uint32_t changed = 0;
  std::uint32_t removed = 0;
  std::uint32_t mountChanges = 0;
  std::set<std::uint32_t> everRemoved;
  std::function<void()> onEach;

  Mem::Notify<std::uint32_t, Value> notify() {
    Mem::Notify<std::uint32_t, Value> bundle;
    bundle.keyChanged = [this](std::uint32_t key) {
      keys.insert(key);
      ++changed;
      if (onEach) onEach();
    };
    bundle.keyRemoved = [this](std::uint32_t key, Value const*) {
      keys.erase(key);
      everRemoved.insert(key);
      ++removed;
      if (onEach) onEach();
    };
    bundle.mountStatusChanged = [this] { ++mountChanges; };
    return bundle;
  }
};

void follow(Shadow& shadow) {
  ASSERT_TRUE(shadow.initialize("test")) << shadow.lastError();
  settle(shadow);
}

void expectSame(Writer& writer, Shadow& shadow) {
  std::string reason;
  EXPECT_TRUE(shadow.shadowStore().validateIndex(&reason)) << reason;
  auto expected = contentsOf(writer);
  for (auto const& [key, value] : expected) EXPECT_EQ(find(shadow, key), value) << "key " << key;
  EXPECT_EQ(contentsOf(shadow), expected);
  EXPECT_EQ(shadow.members(), expected.size());
}

std::map<std::uint32_t, std::uint32_t> keysBySlot(Writer& writer) {
  std::map<std::uint32_t, std::uint32_t> keyAt;
  Value value;
  Brell::IterHint hint;
  for (bool more = writer.first(value, hint); more; more = writer.next(value.key, value, hint)) {
    keyAt[hint.slotIndex] = value.key;
  }
  return keyAt;
}

std::unique_ptr<Writer> startWriter(TempDir const& root, std::uint32_t keys,
                                    Brell::MapDescriptor descriptor = sized(100000)) {
  auto writer = std::make_unique<Writer>("shadowed", descriptor, root.path());
  EXPECT_TRUE(writer->initialize("test"));
  for (std::uint32_t key = 0; key < keys; ++key) writer->write(Value::make(key, 1), true);
  return writer;
}

TEST(Shadow, EntriesMovedByCompactionStayFindableAndTheShadowShrinksAfterTheStore) {
  TempDir root;
  constexpr std::uint32_t kKeys = 2000;
  auto owned = startWriter(root, kKeys);
  Writer& writer = *owned;
  Recorder recorder;
  Shadow shadow("shadow", root.path(), recorder.notify());
  follow(shadow);
  std::uint32_t grownTo = shadow.shadowStore().numSlots();
  ASSERT_GE(grownTo, kKeys);
  expectSame(writer, shadow);

  // Keep the keys whose slots lie high, so compaction has to move them.
  std::vector<std::uint32_t> survivors;
  for (auto [slot, key] : keysBySlot(writer)) {
    if (slot >= kKeys - 8) survivors.push_back(key);
  }
  ASSERT_EQ(survivors.size(), 8u);
  std::set<std::uint32_t> keep(survivors.begin(), survivors.end());
  std::uint32_t lookupsMade = 0;
  TraceCapture traces;
  recorder.onEach = [&] {
    for (auto key : survivors) {
      auto read = find(shadow, key);
      ASSERT_TRUE(read) << "survivor " << key << " lost after " << lookupsMade << " lookups";
      ASSERT_EQ(read->key, key);
      ++lookupsMade;
    }
  };
  for (std::uint32_t key = 0; key < kKeys; ++key) {
    if (keep.count(key) == 0) writer.remove(key, nullptr);
    // Between the writer's change and the shadow's handling, too.
    if (key % 97 == 0) {
      recorder.onEach();
      shadow.processNotifications(milliseconds(0));
    }
  }
  settle(shadow);
  EXPECT_GT(writer.counters().moves, 0u);
  EXPECT_GT(shadow.counters().relinks, 0u);
  EXPECT_GT(lookupsMade, 0u);
  expectSame(writer, shadow);
  EXPECT_EQ(recorder.keys, keep);
  for (auto key : survivors) EXPECT_EQ(recorder.everRemoved.count(key), 0u) << "reported removed";
  EXPECT_LT(shadow.shadowStore().numSlots(), grownTo);
  EXPECT_GE(shadow.shadowStore().numSlots(), shadow.shadowStore().hashMap().coveringSlotCount());
  EXPECT_FALSE(traces.contains("skip shrinking of shadow table to 0"));
}

TEST(Shadow, FallingBehindTheRingRefusesTombstonedSequencesAndResynchronisesFromTheSlots) {
  TempDir root;
  Brell::MapDescriptor descriptor = sized(100000);
  descriptor.notificationCapacity = 64;
  auto owned = startWriter(root, 100, descriptor);
  Writer& writer = *owned;
  Recorder recorder;
  Shadow shadow("shadow", root.path(), recorder.notify());
  follow(shadow);
  for (std::uint32_t key = 0; key < 100; ++key) recorder.keys.insert(key);
  std::uint64_t old = shadow.ring().head();
  ASSERT_EQ(keysBySlot(writer).at(0), 0u);
  writer.remove(0, nullptr);  // slot 0 freed: notification `old`
  for (std::uint32_t key = 100; key < 600; ++key) writer.write(Value::make(key, 1), true);
  for (std::uint32_t key = 0; key < 50; ++key) writer.remove(key, nullptr);
  TraceCapture traces;
  EXPECT_FALSE(shadow.doSlot(0, old, true));
  EXPECT_EQ(shadow.counters().failedNotifications, 1u);
  EXPECT_TRUE(
      traces.contains(fmt::format("failed because sequence:{} may have been tombstoned", old)));
  settle(shadow);
  EXPECT_GE(shadow.counters().overruns, 1u);
  EXPECT_GE(shadow.counters().syncs, 2u);
  expectSame(writer, shadow);
  std::set<std::uint32_t> expected;
  for (std::uint32_t key = 50; key < 600; ++key) expected.insert(key);
  EXPECT_EQ(recorder.keys, expected);
}

TEST(Shadow, NotificationBeyondItsSlotsGrowsToTheSharedTableAndLookupsAnswerWhatTheStoreHoldsBeforeItsNotification) {
  TempDir root;
  auto owned = startWriter(root, 100);
  Writer& writer = *owned;
  Shadow shadow("shadow", root.path());
  follow(shadow);
  ASSERT_EQ(shadow.shadowStore().numSlots(), 128u);
  for (std::uint32_t key = 100; key < 250; ++key) writer.write(Value::make(key, 1), true);
  ASSERT_EQ(writer.capacity(), 256u);
  auto keyAt = keysBySlot(writer);
  ASSERT_TRUE(keyAt.count(127) && keyAt.count(128) && keyAt.count(200));
  // Told of slot 200 before anything else: the shadow grows to the shared 256 slots.
  ASSERT_TRUE(shadow.doSlot(200, 0, true));
  EXPECT_EQ(shadow.shadowStore().numSlots(), 256u);
  EXPECT_EQ(shadow.shadowStore().slot(200).key, keyAt[200]);
  EXPECT_TRUE(holds(shadow, keyAt[200]));
  // An index the shared table does not have is skipped and changes nothing.
  std::uint32_t members = shadow.members();
  EXPECT_TRUE(shadow.doSlot(5000, 0, true));
  EXPECT_EQ(shadow.shadowStore().numSlots(), 256u);
  EXPECT_EQ(shadow.members(), members);
  settle(shadow);
  expectSame(writer, shadow);

  for (std::uint32_t key = 0; key < 250; ++key) writer.write(Value::make(key, 2), true);
  for (std::uint32_t key = 0; key < 250; ++key) EXPECT_EQ(find(shadow, key), Value::make(key, 2));
  // Slots 127 and 128 (both sides of a new table's slots) emptied, then taken by new
  // keys: the old keys are gone at once, from lookups and from iteration.
  for (std::uint32_t slot : {127u, 128u}) {
    writer.remove(keyAt[slot], nullptr);
    EXPECT_FALSE(holds(shadow, keyAt[slot])) << "slot " << slot;
    EXPECT_EQ(contentsOf(shadow).count(keyAt[slot]), 0u) << "slot " << slot;
  }
  writer.write(Value::make(1000, 3), true);
  writer.write(Value::make(1001, 3), true);
  for (std::uint32_t slot : {127u, 128u}) EXPECT_FALSE(holds(shadow, keyAt[slot])) << slot;
  settle(shadow);
  expectSame(writer, shadow);
}

// One shadow through its life: no store yet, the first synchronisation, adds, rewrites
// and removes, the writer leaving and returning, a pause, a reattachment and the
// store's files removed under it.
TEST(Shadow, FollowsAndReportsChangesThroughEveryStateAndFlushesKeysWhenTheFilesGo) {
  using State = Shadow::State;
  TempDir root;
  Recorder recorder;
  Shadow shadow("shadow", root.path(), recorder.notify());
  TraceCapture traces;
  EXPECT_FALSE(shadow.initialize("test"));
  EXPECT_TRUE(traces.contains("brell.initialize() Failed"));
  EXPECT_EQ(shadow.state(), State::detached);
  EXPECT_EQ(shadow.mountStatus(), Brell::MountStatus::unmounted);
  EXPECT_FALSE(shadow.processNotifications(milliseconds(1)));
  auto writer = startWriter(root, 50);
  ASSERT_TRUE(shadow.initialize("test")) << shadow.lastError();
  EXPECT_EQ(shadow.state(), State::passing);
  EXPECT_EQ(shadow.mountStatus(), Brell::MountStatus::mounted);
  settle(shadow);
  EXPECT_EQ(shadow.state(), State::following);
  EXPECT_EQ(shadow.mountStatus(), Brell::MountStatus::synced);
  EXPECT_EQ(recorder.mountChanges, 1u);
  EXPECT_TRUE(traces.contains("Synchronization complete, seq:")) << traces.all();
  // The first synchronisation is not reported key by key: the collection reads it.
  EXPECT_EQ(recorder.changed, 0u);
  expectSame(*writer, shadow);

  for (std::uint32_t key = 50; key < 400; ++key) writer->write(Value::make(key, 1), true);
  settle(shadow);
  EXPECT_EQ(recorder.changed, 350u);
  for (std::uint32_t key = 0; key < 400; key += 3) writer->write(Value::make(key, 2), true);
  settle(shadow);
  EXPECT_EQ(recorder.changed, 350u + 134u);
  for (std::uint32_t key = 0; key < 400; key += 2) writer->remove(key, nullptr);
  settle(shadow);
  expectSame(*writer, shadow);
  // Reported: the odd keys added or rewritten (those below 50 came with the first
  // synchronisation), none of the removed even keys.
  std::set<std::uint32_t> reported;
  for (std::uint32_t key = 1; key < 400; key += 2) {
    if (key > 50 || key % 3 == 0) reported.insert(key);
  }
  EXPECT_EQ(recorder.keys, reported);
  EXPECT_GE(recorder.removed, 200u);
  EXPECT_TRUE(shadow.quiesced());
  EXPECT_EQ(shadow.sequence(0), shadow.ring().sequence());

  writer->detach(false);
  writer.reset();
  for (int round = 0; round < 50 && shadow.state() != State::writerless; ++round) {
    shadow.processNotifications(milliseconds(1));
  }
  EXPECT_EQ(shadow.state(), State::writerless);
  EXPECT_EQ(shadow.lastDisconnect(), Vanquo::WriterState::detached);
  EXPECT_EQ(find(shadow, 7), Value::make(7, 1));  // the files stay readable
  Shadow late("late", root.path());
  EXPECT_FALSE(late.initialize("test")) << "no writer";
  EXPECT_TRUE(traces.contains("vanquo_.initialize() Failed"));

  writer = startWriter(root, 0);
  EXPECT_TRUE(late.initialize("test"));
  writer->write(Value::make(1000, 1), true);
  for (int round = 0; round < 50 && shadow.state() != State::following; ++round) {
    shadow.processNotifications(milliseconds(1));
  }
  EXPECT_EQ(shadow.state(), State::following);
  settle(shadow);
  expectSame(*writer, shadow);

  ASSERT_TRUE(shadow.notifyingIs(false));
  EXPECT_EQ(shadow.state(), State::paused);
  writer->write(Value::make(1001, 1), true);
  EXPECT_FALSE(shadow.processNotifications(milliseconds(1)));
  EXPECT_FALSE(holds(shadow, 1001));
  ASSERT_TRUE(shadow.notifyingIs(true));
  settle(shadow);
  EXPECT_TRUE(holds(shadow, 1001));

  shadow.detach(false);
  EXPECT_EQ(shadow.state(), State::detached);
  EXPECT_EQ(shadow.mountStatus(), Brell::MountStatus::unmounted);
  EXPECT_FALSE(holds(shadow, 51));
  EXPECT_FALSE(shadow.processNotifications(milliseconds(1)));
  ASSERT_TRUE(shadow.initialize("again")) << shadow.lastError();
  settle(shadow);
  EXPECT_EQ(shadow.state(), State::following);
  std::uint32_t changedBefore = recorder.changed;
  writer->write(Value::make(1002, 1), true);
  settle(shadow);
  EXPECT_EQ(recorder.changed, changedBefore + 1);
  EXPECT_TRUE(recorder.keys.count(1002));

  // The files removed under the shadow: every key flushed and reported removed once.
  writer->detach(false);
  writer.reset();
  std::uint32_t members = shadow.members();
  ASSERT_EQ(members, 203u);
  std::uint32_t removedBefore = recorder.removed;
  recorder.everRemoved.clear();
  for (auto const& file : std::filesystem::directory_iterator(root.path())) {
    std::filesystem::remove_all(file.path());
  }
  for (int round = 0; round < 200 && shadow.members() > 0; ++round) {
    shadow.processNotifications(milliseconds(1));
  }
  EXPECT_EQ(shadow.members(), 0u);
  EXPECT_EQ(recorder.removed - removedBefore, members);
  EXPECT_EQ(recorder.everRemoved.size(), members);
  EXPECT_TRUE(recorder.keys.empty());
  EXPECT_FALSE(holds(shadow, 7));
}

}  // namespace ShadowTests
