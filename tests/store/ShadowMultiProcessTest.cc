// A shadow following a writer in another process: through growth, rewrites and
// compaction to the writer's exact contents, and through the writer's death by
// SIGKILL to the next writer of the same store.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "store/BrellShadow.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;
using Traits = TestTraits<16>;
using Value = Traits::Value;
using Writer = Brell::BrellWriter<Traits>;
using Shadow = Brell::BrellShadow<Traits>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Starts a writer child that attaches, says so on `readyFd`, and runs `body` once the
// parent writes a byte to `goFd` (so a reader can attach before the changes begin).
template <class Body>
pid_t startWriter(std::string const& root, int& readyFd, int& goFd, Body body) {
  int ready[2];
  int go[2];
  if (::pipe(ready) != 0) return -1;
  if (::pipe(go) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    ::close(go[1]);
    int code = 0;
    try {
      Writer writer("writer", sized(1u << 20), root);
      writer.initialize("child");
      (void)!::write(ready[1], "r", 1);
      char byte;
      if (::read(go[0], &byte, 1) != 1) ::_exit(3);
      code = body(writer);
    } catch (std::exception const& error) {
      (void)!::write(2, error.what(), std::strlen(error.what()));
      code = 2;
    }
    ::_exit(code);
  }
  ::close(ready[1]);
  ::close(go[0]);
  readyFd = ready[0];
  goFd = go[1];
  char byte;
  if (::read(readyFd, &byte, 1) != 1) return -1;
  return pid;
}

std::map<std::uint32_t, std::uint32_t> keysOf(std::map<std::uint32_t, Value> const& contents) {
  std::map<std::uint32_t, std::uint32_t> keys;
  for (auto const& [key, value] : contents) keys[key] = value.generation();
  return keys;
}

TEST(ShadowMultiProcess, FollowsAWriterThroughGrowthRewritesAndCompaction) {
  TempDir root;
  int readyFd = -1;
  int goFd = -1;
  pid_t child = startWriter(root.path(), readyFd, goFd, [](Writer& writer) {
    for (std::uint32_t key = 0; key < 6000; ++key) writer.write(Value::make(key, 1), true);
    for (std::uint32_t round = 2; round < 6; ++round) {
      for (std::uint32_t key = 0; key < 6000; key += round) {
        writer.write(Value::make(key, round), true);
      }
    }
    // Most go: compaction moves the rest into low slots and the table shrinks.
    for (std::uint32_t key = 0; key < 6000; ++key) {
      if (key % 50 != 7) writer.remove(key, nullptr);
    }
    for (std::uint32_t key = 10000; key < 10300; ++key) writer.write(Value::make(key, 9), true);
    ::usleep(300000);  // stay attached while the parent catches up
    return 0;
  });
  ASSERT_GT(child, 0);
  std::set<std::uint32_t> reported;
  Mem::Notify<std::uint32_t, Value> notify;
  notify.keyChanged = [&](std::uint32_t key) { reported.insert(key); };
  notify.keyRemoved = [&](std::uint32_t key, Value const*) { reported.erase(key); };
  Shadow shadow("follower", root.path(), notify);
  ASSERT_TRUE(shadow.initialize("test")) << shadow.lastError();
  ASSERT_EQ(::write(goFd, "g", 1), 1);
  ::close(goFd);
  auto end = Clock::now() + std::chrono::seconds(60);
  while (shadow.connected() && Clock::now() < end) {
    shadow.processNotifications(milliseconds(50));
    // Every value read on the way is whole.
    auto value = find(shadow, 7);
    ASSERT_TRUE(!value || value->whole());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(readyFd);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(shadow.lastDisconnect(), Vanquo::WriterState::detached);
  auto expected = contentsAt<Traits>(root.path());
  EXPECT_EQ(expected.size(), 120u + 300u);
  EXPECT_EQ(keysOf(contentsOf(shadow)), keysOf(expected));
  for (auto const& [key, value] : expected) {
    EXPECT_EQ(find(shadow, key), value) << "key " << key;
  }
  // Everything the writer added after the first synchronisation was reported, and
  // nothing that went away is left.
  for (auto key : reported) EXPECT_EQ(expected.count(key), 1u) << key;
  // It followed the ring: one notification at a time, or, when a loaded machine let
  // the writer lap it, by resynchronising from the slot table.
  auto const& counters = shadow.counters();
  EXPECT_GT(counters.notifications + counters.overruns + counters.catchUps, 0u);
  EXPECT_GT(counters.growths, 0u);
}

TEST(ShadowMultiProcess, WriterKilledWhileFollowedIsNoticedAndTheNextWriterIsFollowed) {
  TempDir root;
  int readyFd = -1;
  int goFd = -1;
  pid_t child = startWriter(root.path(), readyFd, goFd, [](Writer& writer) {
    for (std::uint32_t generation = 1;; ++generation) {
      for (std::uint32_t key = 0; key < 3000; ++key) {
        if ((key + generation) % 3 == 0) {
          writer.remove(key, nullptr);
        } else {
          writer.write(Value::make(key, generation), true);
        }
      }
    }
    return 0;
  });
  ASSERT_GT(child, 0);
  Shadow shadow("follower", root.path());
  ASSERT_TRUE(shadow.initialize("test")) << shadow.lastError();
  ASSERT_EQ(::write(goFd, "g", 1), 1);
  ::close(goFd);
  auto until = Clock::now() + milliseconds(300);
  while (Clock::now() < until) shadow.processNotifications(milliseconds(10));
  EXPECT_GT(shadow.counters().notifications, 0u);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);  // a zombie would still count as alive
  ::close(readyFd);
  auto end = Clock::now() + std::chrono::seconds(30);
  while (shadow.connected() && Clock::now() < end) shadow.processNotifications(milliseconds(10));
  ASSERT_FALSE(shadow.connected());
  EXPECT_EQ(shadow.lastDisconnect(), Vanquo::WriterState::dead);
  // Still answering from the files the dead writer left.
  Value value;
  Brell::IterHint hint;
  shadow.first(value, hint);
  EXPECT_FALSE(shadow.processNotifications(milliseconds(20)));

  // The next writer (wiping the store if the kill left it mid-operation).
  Writer next("next", sized(1u << 20), root.path());
  ASSERT_TRUE(next.initialize("test"));
  for (std::uint32_t key = 5000; key < 5100; ++key) next.write(Value::make(key, 77), true);
  end = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < end && (!shadow.connected() || !shadow.quiesced())) {
    shadow.processNotifications(milliseconds(10));
  }
  ASSERT_TRUE(shadow.connected());
  EXPECT_EQ(shadow.counters().reconnects, 1u);
  EXPECT_EQ(shadow.pyrelId(), next.pyrelId());
  EXPECT_EQ(keysOf(contentsOf(shadow)), keysOf(contentsAt<Traits>(root.path())));
  next.remove(5000, nullptr);
  while (shadow.processNotifications(milliseconds(0))) {
  }
  bool found = true;
  shadow.lookup(5000, found, nullptr);
  EXPECT_FALSE(found);
}

}  // namespace
