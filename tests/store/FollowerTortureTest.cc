// The follower torture: a writer of random inserts, updates, two-phase writes and
// removes on 3 000 keys is killed with SIGKILL and restarted again and again, while
// three shadows in processes of their own follow it, one of them slow enough for the
// ring to lap it. At checkpoints the writer pauses and writes down its contents, and
// every follower must converge, within a bound, to exactly those contents: its local
// index (consistent, and holding the writer's keys), members(), a lookup of every key,
// its iteration, and a mirror built only from the callbacks it delivered (seeded with
// the first synchronisation, as a tool that mirrors a store does).
//
// `make test` runs a few checkpoints per value size; `make torture` sets
// HWTABLES_FOLLOWER_CHECKPOINTS for the long run. Each run prints its figures.
#include <fcntl.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "store/BrellShadow.h"
#include "tests/store/PipedChild.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using namespace StoreTest;
using namespace StoreTest::Piped;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t kKeys = 3000;
constexpr std::uint32_t kMaxSize = 4096;
constexpr int kFollowers = 3;
// How long a follower may take to catch up with a paused writer (ASan on a loaded
// two-core machine included), and how long a wrong follower is given to correct
// itself before the check counts as a divergence.
constexpr auto kCatchUpBound = std::chrono::seconds(60);
constexpr auto kGrace = std::chrono::seconds(2);

// The writer's contents at a checkpoint: its pyrel word, then its values.
template <class Value>
void writeContents(std::string const& path, std::uint32_t pyrel, std::vector<Value> const& values) {
  {
    std::ofstream out(path + ".new", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(&pyrel), 4);
    out.write(reinterpret_cast<char const*>(values.data()),
              static_cast<std::streamsize>(values.size() * sizeof(Value)));
  }
  std::filesystem::rename(path + ".new", path);
}

template <class Value>
std::map<std::uint32_t, Value> readContents(std::string const& path, std::uint32_t& pyrel) {
  auto bytes = readFile(path);
  std::map<std::uint32_t, Value> contents;
  std::memcpy(&pyrel, bytes.data(), 4);
  for (std::size_t at = 4; at + sizeof(Value) <= bytes.size(); at += sizeof(Value)) {
    Value value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    contents.emplace(value.key, value);
  }
  return contents;
}

// Random operations in phases that grow the table (slot growth, bucket splits) and
// shrink it (compaction moves, merges), so followers meet entries that move. Between
// operations it answers 'p' (pause: write the contents down, say "paused", wait for
// 'g') and 'q' (detach and end).
template <class Traits>
int writerMain(std::string const& root, std::string const& contentsPath, std::uint32_t seed,
               int commands, int replies) {
  using Value = typename Traits::Value;
  Brell::BrellWriter<Traits> writer("torture", sized(kMaxSize), root);
  writer.initialize("torture");
  writeLine(replies, "ready");
  std::mt19937 random(seed);
  std::uint32_t generation = seed * 100003u;
  for (std::uint64_t operation = 0;; ++operation) {
    if (operation % 16 == 0) {
      if (auto command = pollCommand(commands)) {
        if (*command == 'q') break;
        if (*command == 'p') {
          std::vector<Value> values;
          writer.forEachValue([&](Value const& value) { values.push_back(value); });
          writeContents(contentsPath, writer.pyrelId().value(), values);
          writeLine(replies, "paused");
          char next = 'q';
          if (::read(commands, &next, 1) != 1 || next == 'q') break;
        }
      }
    }
    unsigned phase = static_cast<unsigned>(operation / 3000) % 3;  // grow, shrink, mixed
    std::uint32_t key = random() % kKeys;
    unsigned roll = random() % 100;
    bool found = false;
    writer.lookup(key, found, nullptr);
    auto writeValue = [&] {
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
    };
    if (found) {
      unsigned removeChance = phase == 0 ? 10 : phase == 1 ? 75 : 40;
      if (roll < removeChance) {
        writer.remove(key, nullptr);
      } else {
        writeValue();
      }
    } else {
      unsigned insertChance = phase == 0 ? 90 : phase == 1 ? 20 : 50;
      if (roll < insertChance) writeValue();
    }
  }
  writer.detach(false);
  return 0;
}

template <class Traits>
struct Follower {
  using Value = typename Traits::Value;
  using Shadow = Brell::BrellShadow<Traits>;

  explicit Follower(std::string const& root) {
    Mem::Notify<std::uint32_t, Value> notify;
    notify.keyChanged = [this](std::uint32_t key) {
      bool found = false;
      Value value;
      shadow->lookup(key, found, &value);
      if (found) mirror[key] = value;  // else its removal is on its way
    };
    notify.keyRemoved = [this](std::uint32_t key, Value const*) { mirror.erase(key); };
    notify.mountStatusChanged = [this] {
      if (!seeded && shadow->mountStatus() == Brell::MountStatus::synced) {
        mirror = iterate();
        seeded = true;
      }
    };
    shadow = std::make_unique<Shadow>("follower", root, notify);
  }

  std::map<std::uint32_t, Value> iterate() {
    std::map<std::uint32_t, Value> contents;
    Value value;
    Brell::IterHint hint;
    std::uint32_t steps = 0;
    for (bool more = shadow->first(value, hint); more && ++steps <= 4 * kMaxSize;
         more = shadow->next(value.key, value, hint)) {
      contents.emplace(value.key, value);
    }
    return contents;
  }

  // Whether the shadow has handled everything the paused writer `pyrel` published.
  bool caughtUp(std::uint32_t pyrel) {
    return shadow->connected() && shadow->mountStatus() == Brell::MountStatus::synced &&
           !shadow->syncer().busy() && !shadow->ring().pending() &&
           shadow->pyrelId().value() == pyrel &&
           shadow->ring().writerState() == Vanquo::WriterState::attached;
  }

  // The kinds of disagreement with `expected` ("" when none), with the first example.
  std::string compare(std::map<std::uint32_t, Value> const& expected) {
    std::string kinds;
    std::string example;
    auto note = [&](char const* kind, std::string what) {
      kinds += kinds.empty() ? kind : std::string(",") + kind;
      if (example.empty()) example = std::move(what);
    };
    std::string reason;
    if (!shadow->shadowStore().validateIndex(&reason)) note("index", reason);
    if (shadow->members() != expected.size()) {
      note("members", "members " + std::to_string(shadow->members()) + " expected " +
                          std::to_string(expected.size()));
    }
    if (iterate() != expected) note("iteration", "iteration differs");
    for (std::uint32_t key = 0; key < kKeys; ++key) {
      auto at = expected.find(key);
      bool found = false;
      Value value;
      shadow->lookup(key, found, &value);
      if (found != (at != expected.end()) || (found && !(value == at->second))) {
        note("lookups", "lookup of key " + std::to_string(key));
        break;
      }
    }
    if (mirror != expected) note("mirror", "the mirror built from callbacks differs");
    return kinds.empty() ? std::string() : kinds + " " + example;
  }

  // One checkpoint: "ok <ms>", "late <ms> <what was wrong first>" or "diverged <what>".
  std::string check(std::string const& contentsPath) {
    std::uint32_t pyrel = 0;
    auto expected = readContents<Value>(contentsPath, pyrel);
    auto start = Clock::now();
    while (!caughtUp(pyrel) && Clock::now() - start < kCatchUpBound) {
      shadow->processNotifications(milliseconds(5));
    }
    auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    if (!caughtUp(pyrel)) return "diverged catch-up did not catch up in time";
    std::string first = compare(expected);
    if (first.empty()) return "ok " + std::to_string(took);
    auto graceEnd = Clock::now() + kGrace;
    std::string now = first;
    while (!now.empty() && Clock::now() < graceEnd) {
      shadow->processNotifications(milliseconds(20));
      now = compare(expected);
    }
    return (now.empty() ? "late " + std::to_string(took) + " " : "diverged ") + first;
  }

  // The shadow's counters, in the order of kShadowFigures.
  std::string figures() const {
    auto const& counters = shadow->counters();
    return fmt::format("{} {} {} {} {} {}", counters.notifications, counters.merged,
                       counters.overruns, counters.passes, counters.relinks, counters.rechecks);
  }

  std::unique_ptr<Shadow> shadow;
  std::map<std::uint32_t, Value> mirror;
  bool seeded = false;
};

template <class Traits>
int followerMain(std::string const& root, std::string const& contentsPath, bool slow, int commands,
                 int replies) {
  Follower<Traits> follower(root);
  auto end = Clock::now() + std::chrono::seconds(60);
  while (!follower.shadow->initialize("torture")) {
    if (Clock::now() > end) return 3;
    std::this_thread::sleep_for(milliseconds(5));
  }
  writeLine(replies, "ready");
  for (;;) {
    if (auto command = pollCommand(commands)) {
      if (*command == 'q') break;
      if (*command == 'c') writeLine(replies, follower.check(contentsPath));
      if (*command == 'f') writeLine(replies, follower.figures());
      continue;
    }
    follower.shadow->processNotifications(milliseconds(slow ? 0 : 10));
    // The slow follower lets the writer run ahead, far enough to lap it.
    if (slow) std::this_thread::sleep_for(milliseconds(40));
  }
  follower.shadow->detach(true);
  return 0;
}

struct TortureFigures {
  int checkpoints = 0;
  int checks = 0;
  int ok = 0;
  int late = 0;
  std::map<std::string, int> divergences;  // by kind
  int kills = 0;
  int wipes = 0;
  long slowestCatchUpMs = 0;
  std::array<std::uint64_t, 6> shadows{};  // the followers' counters summed
};
constexpr char const* kShadowFigures[] = {"notifications", "merged",  "laps",
                                          "passes",        "relinks", "rechecks"};

std::uint32_t pyrelOnDisk(std::string const& root) {
  return readWord<std::uint32_t>(root + "/pyrel", 12);
}

template <class Traits>
TortureFigures runTorture(int checkpoints, std::uint32_t seed) {
  TempDir root;
  TempDir work;
  std::string contentsPath = work.file("contents");
  TortureFigures figures;
  std::uint32_t writerSeed = seed;
  auto startWriter = [&] {
    ++writerSeed;
    return startChild([&](int commands, int replies) {
      return writerMain<Traits>(root.path(), contentsPath, writerSeed, commands, replies);
    });
  };
  Child writer = startWriter();
  std::vector<Child> followers;
  auto abandon = [&](std::string const& why) {
    for (auto& follower : followers) stopChild(follower, true);
    stopChild(writer, true);
    ADD_FAILURE() << why;
    return figures;
  };
  auto replies = [](Child& child, std::chrono::seconds within) {
    return readLine(child.replies, within);
  };
  if (replies(writer, std::chrono::seconds(60)) != "ready") return abandon("no writer started");
  for (int index = 0; index < kFollowers; ++index) {
    bool slow = index == kFollowers - 1;
    followers.push_back(startChild([&](int commands, int replies) {
      return followerMain<Traits>(root.path(), contentsPath, slow, commands, replies);
    }));
    if (replies(followers.back(), std::chrono::seconds(90)) != "ready") {
      return abandon(fmt::format("follower {} did not start", index));
    }
  }
  std::mt19937 random(seed);
  std::uint32_t pyrel = pyrelOnDisk(root.path());
  while (figures.checkpoints < checkpoints) {
    std::this_thread::sleep_for(milliseconds(2 + random() % 30));
    if (random() % 3 != 0) {
      stopChild(writer, true);
      ++figures.kills;
      writer = startWriter();
      if (replies(writer, std::chrono::seconds(60)) != "ready") return abandon("no restart");
      std::uint32_t now = pyrelOnDisk(root.path());
      if (now != pyrel) ++figures.wipes;
      pyrel = now;
      continue;
    }
    send(writer.commands, 'p');
    if (replies(writer, std::chrono::seconds(60)) != "paused") return abandon("no pause");
    ++figures.checkpoints;
    for (int index = 0; index < kFollowers; ++index) {
      send(followers[index].commands, 'c');
      auto answer = replies(followers[index], std::chrono::seconds(180));
      ++figures.checks;
      if (!answer) return abandon(fmt::format("follower {} did not answer a check", index));
      std::istringstream words(*answer);
      std::string verdict;
      long ms = 0;
      words >> verdict;
      if (verdict != "diverged" && words >> ms) {
        figures.slowestCatchUpMs = std::max(figures.slowestCatchUpMs, ms);
      }
      if (verdict == "ok" && ++figures.ok) continue;
      // Late (converged only after a while) fails the run too, but is no divergence.
      ADD_FAILURE() << "follower " << index << (index == kFollowers - 1 ? " (slow)" : "")
                    << " at checkpoint " << figures.checkpoints << ": " << *answer;
      if (verdict == "late" && ++figures.late) continue;
      std::string kinds;
      words >> kinds;
      std::istringstream each(kinds);
      for (std::string kind; std::getline(each, kind, ',');) ++figures.divergences[kind];
    }
    send(writer.commands, 'g');
  }
  for (auto& follower : followers) {
    send(follower.commands, 'f');
    if (auto line = replies(follower, std::chrono::seconds(60))) {
      std::istringstream words(*line);
      for (auto& sum : figures.shadows) {
        std::uint64_t count = 0;
        words >> count;
        sum += count;
      }
    }
    stopChild(follower, false);
  }
  stopChild(writer, false);
  return figures;
}

int checkpointsWanted() {
  char const* wanted = std::getenv("HWTABLES_FOLLOWER_CHECKPOINTS");
  return wanted != nullptr ? std::max(1, std::atoi(wanted)) : 6;
}

template <class Traits>
void tortureAndReport(char const* name) {
  auto start = Clock::now();
  auto figures = runTorture<Traits>(checkpointsWanted(), 20240611u);
  int divergences = 0;
  std::string kinds;
  for (auto const& [kind, count] : figures.divergences) {
    divergences += count;
    kinds += " " + kind + ":" + std::to_string(count);
  }
  std::string shadows;
  for (std::size_t index = 0; index < figures.shadows.size(); ++index) {
    shadows +=
        fmt::format("{}{} {}", index ? ", " : "", kShadowFigures[index], figures.shadows[index]);
  }
  fmt::print(
      "follower torture {}: checkpoints {}, follower checks {}, ok {}, late {}, divergences {}{}; "
      "writer kills {} (wiped {}); {}; slowest catch-up {} ms; {:.0f} s\n",
      name, figures.checkpoints, figures.checks, figures.ok, figures.late, divergences, kinds,
      figures.kills, figures.wipes, shadows, figures.slowestCatchUpMs,
      std::chrono::duration<double>(Clock::now() - start).count());
  std::fflush(stdout);
  EXPECT_EQ(divergences, 0);
  EXPECT_EQ(figures.checks, figures.checkpoints * kFollowers);
}

TEST(FollowerTorture, FollowersOfAKilledAndRestartedWriterConvergeAtEveryCheckpoint8) {
  tortureAndReport<TestTraits<8>>("V=8");
}

TEST(FollowerTorture, FollowersOfAKilledAndRestartedWriterConvergeAtEveryCheckpoint20) {
  tortureAndReport<TestTraits<20>>("V=20");
}

}  // namespace
