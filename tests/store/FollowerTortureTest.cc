// Shadows in child processes (the last one lapped) follow a writer killed and restarted
// again and again, and converge to the paused store at every checkpoint.
#include <thread>

#include "store/BrellShadow.h"
#include "tests/store/PipedChild.h"
#include "tests/store/StoreTestSupport.h"

namespace FollowerTortureTests {

using namespace StoreTest;
using namespace StoreTest::Piped;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::uint32_t kKeys = 3000;
constexpr int kFollowers = 3;
// How long a follower may take to catch up with a paused writer (ASan on a loaded
// two-core machine included).
constexpr auto kCatchUpBound = seconds(60);

std::uint32_t pyrelOnDisk(std::string const& root) {
  return readWord<std::uint32_t>(root + "/pyrel", 12);
}

// Random operations in phases that grow the table (slot growth, bucket splits) and
// shrink it (compaction moves, merges), so followers meet entries that move. Between
// operations it answers 'p' (pause: say "paused", wait for 'g') and 'q' (detach, end).
template <class Traits>
int writerMain(std::string const& root, std::uint32_t seed, int commands, int replies) {
  using Value = typename Traits::Value;
  Brell::BrellWriter<Traits> writer("torture", sized(4096), root);
  writer.initialize("torture");
  writeLine(replies, "ready");
  std::mt19937 random(seed);
  std::uint32_t generation = seed * 100003u;
  for (std::uint64_t operation = 0;; ++operation) {
    if (auto command = operation % 16 == 0 ? pollCommand(commands) : std::nullopt) {
      if (*command == 'q') break;
      writeLine(replies, "paused");
      char next = 'q';
      if (::read(commands, &next, 1) != 1 || next == 'q') break;
    }
    unsigned phase = static_cast<unsigned>(operation / 3000) % 3;  // grow, shrink, mixed
    std::uint32_t key = random() % kKeys;
    unsigned roll = random() % 100;
    bool found = false;
    writer.lookup(key, found, nullptr);
    if (found && roll < (phase == 0 ? 10u : phase == 1 ? 75u : 40u)) {
      writer.remove(key, nullptr);
    } else if (found || roll < (phase == 0 ? 90u : phase == 1 ? 20u : 50u)) {
      if (roll % 5 == 0) {
        auto* staged = writer.directWrite(Value::make(key, ++generation));
        *staged = Value::make(key, ++generation);
        writer.directCommit();
      } else if (roll % 5 == 1) {
        // A batch: its changes reach the followers in one publish, a key may come twice.
        std::vector<Value> batch;
        for (unsigned index = 0, count = 1 + random() % 12; index < count; ++index) {
          batch.push_back(Value::make((key + index * 7 % 21) % kKeys, ++generation));
        }
        writer.writeBatch(batch, true);
      } else {
        writer.write(Value::make(key, ++generation), true);
      }
    }
  }
  writer.detach(false);
  return 0;
}

template <class Traits>
struct Follower {
  using Value = typename Traits::Value;

  explicit Follower(std::string const& root) {
    Mem::Notify<std::uint32_t, Value> notify;
    notify.keyChanged = [this](std::uint32_t key) {
      if (auto value = find(*shadow, key)) mirror[key] = *value;  // else its removal comes
    };
    notify.keyRemoved = [this](std::uint32_t key, Value const*) { mirror.erase(key); };
    notify.mountStatusChanged = [this] {
      if (!seeded && shadow->mountStatus() == Brell::MountStatus::synced) {
        mirror = contentsOf(*shadow);
        seeded = true;
      }
    };
    shadow = std::make_unique<Brell::BrellShadow<Traits>>("follower", root, notify);
  }

  bool caughtUp(std::uint32_t pyrel) {
    return shadow->connected() && shadow->mountStatus() == Brell::MountStatus::synced &&
           !shadow->syncer().busy() && !shadow->ring().pending() &&
           shadow->pyrelId().value() == pyrel &&
           shadow->ring().writerState() == Vanquo::WriterState::attached;
  }

  std::string compare(std::map<std::uint32_t, Value> const& expected) {
    std::string reason;
    if (!shadow->shadowStore().validateIndex(&reason)) return "index " + reason;
    if (shadow->members() != expected.size()) {
      return fmt::format("members {} expected {}", shadow->members(), expected.size());
    }
    if (contentsOf(*shadow) != expected) return "iteration";
    for (std::uint32_t key = 0; key < kKeys; ++key) {
      auto at = expected.find(key);
      if (find(*shadow, key) != (at == expected.end() ? std::nullopt : std::optional(at->second))) {
        return fmt::format("lookup of key {}", key);
      }
    }
    return mirror == expected ? "" : "the mirror built from callbacks";
  }

  // One checkpoint against the paused writer's store: "ok <ms>" or "diverged <what>".
  std::string check(std::string const& root) {
    std::uint32_t pyrel = pyrelOnDisk(root);
    Brell::BrellReader<Traits> reader("check", root);
    auto expected = reader.initialize("check") ? contentsOf(reader) : decltype(mirror){};
    auto start = Clock::now();
    while (!caughtUp(pyrel) && Clock::now() - start < kCatchUpBound) {
      shadow->processNotifications(milliseconds(5));
    }
    if (!caughtUp(pyrel)) return "diverged: did not catch up in time";
    std::string fault = compare(expected);
    if (!fault.empty()) return "diverged " + fault;
    return fmt::format("ok {}",
                       std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
  }

  std::unique_ptr<Brell::BrellShadow<Traits>> shadow;
  std::map<std::uint32_t, Value> mirror;
  bool seeded = false;
};

template <class Traits>
int followerMain(std::string const& root, bool slow, int commands, int replies) {
  Follower<Traits> follower(root);
  for (auto end = Clock::now() + seconds(60); !follower.shadow->initialize("torture");) {
    if (Clock::now() > end) return 3;
    std::this_thread::sleep_for(milliseconds(5));
  }
  writeLine(replies, "ready");
  for (;;) {
    char command = pollCommand(commands).value_or(' ');
    if (command == 'q') break;
    if (command == 'c') writeLine(replies, follower.check(root));
    follower.shadow->processNotifications(milliseconds(slow ? 0 : 10));
    // The slow follower lets the writer run ahead, far enough to lap it.
    if (slow) std::this_thread::sleep_for(milliseconds(40));
  }
  auto const& counters = follower.shadow->counters();
  fmt::print("  follower{}: notifications {}, merged {}, laps {}, passes {}, relinks {}, "
             "rechecks {}\n", slow ? " (slow)" : "", counters.notifications, counters.merged,
             counters.overruns, counters.passes, counters.relinks, counters.rechecks);
  std::fflush(stdout);
  follower.shadow->detach(true);
  return 0;
}

template <class Traits>
void tortureAndReport(char const* name) {
  char const* wanted = std::getenv("HWTABLES_FOLLOWER_CHECKPOINTS");
  int const checkpoints = wanted != nullptr ? std::max(1, std::atoi(wanted)) : 6;
  auto began = Clock::now();
  TempDir root;
  std::uint32_t writerSeed = 20240611u;
  auto startWriter = [&] {
    ++writerSeed;
    return startChild([&](int commands, int replies) {
      return writerMain<Traits>(root.path(), writerSeed, commands, replies);
    });
  };
  Child writer = startWriter();
  std::vector<Child> followers;
  auto abandon = [&](std::string const& why) {
    for (auto& follower : followers) stopChild(follower, true);
    stopChild(writer, true);
    FAIL() << why;
  };
  if (readLine(writer.replies, seconds(60)) != "ready") return abandon("no writer started");
  for (int index = 0; index < kFollowers; ++index) {
    bool slow = index == kFollowers - 1;
    followers.push_back(startChild([&](int commands, int replies) {
      return followerMain<Traits>(root.path(), slow, commands, replies);
    }));
    if (readLine(followers.back().replies, seconds(90)) != "ready") {
      return abandon(fmt::format("follower {} did not start", index));
    }
  }
  std::mt19937 random(20240611u);
  std::uint32_t pyrel = pyrelOnDisk(root.path());
  int kills = 0, wipes = 0, checks = 0, divergences = 0;
  long slowestMs = 0;
  for (int checkpoint = 1; checkpoint <= checkpoints;) {
    std::this_thread::sleep_for(milliseconds(2 + random() % 30));
    if (random() % 3 != 0) {
      stopChild(writer, true);
      ++kills;
      writer = startWriter();
      if (readLine(writer.replies, seconds(60)) != "ready") return abandon("no restart");
      wipes += pyrelOnDisk(root.path()) != pyrel;
      pyrel = pyrelOnDisk(root.path());
      continue;
    }
    send(writer.commands, 'p');
    if (readLine(writer.replies, seconds(60)) != "paused") return abandon("no pause");
    for (int index = 0; index < kFollowers; ++index) {
      send(followers[index].commands, 'c');
      auto answer = readLine(followers[index].replies, seconds(180));
      if (!answer) return abandon(fmt::format("follower {} did not answer a check", index));
      ++checks;
      if (answer->starts_with("ok ")) {
        slowestMs = std::max(slowestMs, std::atol(answer->c_str() + 3));
        continue;
      }
      ++divergences;
      ADD_FAILURE() << "follower " << index << (index == kFollowers - 1 ? " (slow)" : "")
                    << " at checkpoint " << checkpoint << ": " << *answer;
    }
    send(writer.commands, 'g');
    ++checkpoint;
  }
  for (auto& follower : followers) stopChild(follower, false);
  stopChild(writer, false);
  fmt::print("follower torture {}: checkpoints {}, follower checks {}, divergences {}; writer "
             "kills {} (wiped {}); slowest catch-up {} ms; {:.0f} s\n",
             name, checkpoints, checks, divergences, kills, wipes, slowestMs,
             std::chrono::duration<double>(Clock::now() - began).count());
  std::fflush(stdout);
  EXPECT_EQ(checks, checkpoints * kFollowers);
}

TEST(FollowerTorture, FollowersOfAKilledAndRestartedWriterConvergeAtEveryCheckpoint8) {
  tortureAndReport<TestTraits<8>>("V=8");
}

TEST(FollowerTorture, FollowersOfAKilledAndRestartedWriterConvergeAtEveryCheckpoint20) {
  tortureAndReport<TestTraits<20>>("V=20");
}

}  // namespace FollowerTortureTests
