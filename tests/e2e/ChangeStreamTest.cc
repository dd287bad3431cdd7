// `hwtables store watch --json` as a change stream (docs/change-stream.md), followed by
// the real tool while this process writes. `make torture` sets
// HWTABLES_CHANGE_STREAM_CHANGES=1000000.

#include "store/BrellWriter.h"
#include "store/RawValue.h"
#include "tests/e2e/E2eTest.h"

namespace {

using Traits = Brell::RawValueTraits<12>;
using Value = Traits::Value;
using Writer = Brell::BrellWriter<Traits>;
using Clock = std::chrono::steady_clock;

Value valueOf(std::uint32_t key, std::uint64_t generation) {
  Value value;
  value.key = key;
  std::memcpy(value.payload.data(), &generation, sizeof generation);
  return value;
}

std::size_t occurrences(std::string const& text, std::string const& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// The last writer sequence the complete lines of `text` account for, read from the end.
std::uint64_t lastSequence(std::string const& text) {
  for (std::size_t end = text.rfind('\n'); end != std::string::npos && end > 0;) {
    std::size_t begin = text.rfind('\n', end - 1);
    begin = begin == std::string::npos ? 0 : begin + 1;
    auto line = json::parse(text.substr(begin, end - begin), nullptr, false);
    if (!line.is_discarded() && line.contains("seq")) return line["seq"].get<std::uint64_t>();
    if (begin == 0) break;
    end = begin - 1;
  }
  return 0;
}

// A `store watch --json` process and a thread reading its output, at full speed or
// slowly (a pause after every read lets the pipe fill, so the watch blocks on its
// output and the writer laps it).
class Follower {
 public:
  Follower(std::string const& dir, bool slow) : slow_(slow) {
    pid_ = E2e::startTool({"store", "watch", dir, "--json"}, out_, err_);
    reader_ = std::thread([this] {
      char buffer[65536];
      for (ssize_t done; (done = ::read(out_, buffer, slow_ ? 4096 : sizeof buffer)) > 0;) {
        std::unique_lock lock(mutex_);
        text_.append(buffer, static_cast<std::size_t>(done));
        lock.unlock();
        if (slow_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~Follower() { stop(); }

  void hurry() { slow_ = false; }  // reads at full speed from now on, to catch up
  // Waits (five minutes at most) until what the watch said satisfies `done`.
  bool waitUntil(std::function<bool(std::string const&)> const& done) {
    for (int tick = 0; tick < 6000; ++tick) {
      if (std::lock_guard lock(mutex_); done(text_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  bool synced() {
    return waitUntil([](auto const& text) { return occurrences(text, "\"synced\"") > 0; });
  }
  void reached(std::uint64_t sequence) {
    waitUntil([sequence](auto const& text) { return lastSequence(text) >= sequence; });
  }
  std::string stop(int signal = SIGTERM) {
    if (pid_ > 0) {
      ::kill(pid_, signal);
      reader_.join();
      ::close(out_);
      run = E2e::finishTool(std::exchange(pid_, -1), ::open("/dev/null", O_RDONLY), err_);
    }
    std::lock_guard lock(mutex_);
    return text_;
  }
  E2e::Run run;  // the watch's exit status and stderr, once stopped

 private:
  std::atomic<bool> slow_;
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string text_;
};

// What a consumer rebuilds from a stream, and what in it broke the stream's rules: a
// gap in its sequence no resync announced, or a previous value it never printed.
struct Rebuilt {
  std::map<std::string, std::string> state;
  int events = 0, resyncs = 0, merged = 0;  // merged: change events covering several changes
  std::vector<std::string> problems;
};

Rebuilt rebuild(std::string const& text) {
  static std::set<std::string> const kChanges{"added", "changed", "removed", "unchanged"};
  Rebuilt rebuilt;
  std::optional<std::uint64_t> last;
  bool inResync = false;
  for (auto const& event : E2e::jsonLines(text)) {
    std::string name = event.at("event");
    auto problem = [&](char const* what) {
      rebuilt.problems.push_back(what + (": " + event.dump()));
    };
    ++rebuilt.events;
    if (name == "resync" || name == "synced") {
      inResync = name == "resync";
      rebuilt.resyncs += inResync;
      last = event.at("seq").get<std::uint64_t>();
      if (name == "synced" && rebuilt.state.size() != event.at("entries")) problem("another count");
      continue;
    }
    if (!kChanges.contains(name)) continue;
    auto seq = event.at("seq").get<std::uint64_t>();
    if (inResync) {
      if (seq != *last) problem("a difference outside its resync's sequence");
    } else {
      auto from = event.at("from").get<std::uint64_t>();
      if (!last || from > *last + 1 || seq < *last || from > seq) problem("a gap");
      rebuilt.merged += from < seq && name != "unchanged";
      last = seq;
    }
    if (name == "unchanged") continue;
    std::string key = event.at("key");
    auto held = rebuilt.state.find(key);
    if ((name == "added") != (held == rebuilt.state.end())) {
      problem("added twice, or changed or removed unseen");
    } else if (name != "added" && held->second != event.at("previous")) {
      problem("previous is not the value printed last");
    }
    if (name == "changed" && event.at("previous") == event.at("value")) problem("not a change");
    if (name == "removed") {
      rebuilt.state.erase(key);
    } else {
      rebuilt.state[key] = event.at("value");
    }
  }
  return rebuilt;
}

// A store this process writes, in a directory of its own.
struct LiveStore {
  explicit LiveStore(std::uint32_t maxSize) {
    fs::create_directories(dir);
    Brell::MapDescriptor descriptor;
    descriptor.maxSize = maxSize;
    writer = std::make_unique<Writer>("stream", descriptor, dir);
    writer->initialize("test");
  }
  ~LiveStore() { writer->detach(false); }
  // The writer sequence of its last change: the notification ring's head, less one.
  std::uint64_t lastChange() const {
    auto bytes = E2e::readAll(dir + "/notifications");
    std::uint64_t head = 0;
    if (bytes.size() >= 136) std::memcpy(&head, bytes.data() + 128, 8);
    return head - 1;
  }
  E2e::TempDir root{"stream"};
  std::string dir = root.file("store");
  std::unique_ptr<Writer> writer;
};

std::map<std::string, std::string> dumped(std::string const& dir) {
  auto dump = json::parse(E2e::runTool({"store", "dump", dir, "--json"}).out);
  std::map<std::string, std::string> entries;
  for (auto const& entry : dump.at("entries")) entries[entry["key"]] = entry["value"];
  return entries;
}

TEST(ChangeStream, FastAndSlowFollowersRebuildTheStoreFromTheirEvents) {
  constexpr std::uint32_t kKeys = 3000;
  LiveStore store(4096);
  Writer& writer = *store.writer;
  std::string const& dir = store.dir;
  std::mt19937 random(20240611);
  std::uint64_t generation = 0;
  for (std::uint32_t key = 0; key < kKeys; key += 2) writer.write(valueOf(key, ++generation), true);

  Follower fast(dir, false);
  Follower slow(dir, true);
  ASSERT_TRUE(fast.synced() && slow.synced()) << fast.stop() << slow.stop();

  // Meanwhile `store check` and `store dump` inspect the store being written: each sees
  // it whole (valid, its writer alive, as many entries listed as it holds, every value
  // led by its key), and the writer moved on between inspections.
  std::set<std::uint64_t> inspected;
  std::atomic<bool> inspecting = true;
  std::thread inspector([&dir, &inspected, &inspecting] {
    for (int round = 0; round < 6; ++round) {
      bool dump = round % 2 == 1;
      auto run = E2e::runTool({"store", dump ? "dump" : "check", dir, "--json", "--wait", "10000"});
      auto report = json::parse(run.out, nullptr, false);
      if (run.status != 0 || report.is_discarded()) {
        ADD_FAILURE() << run.err << run.out;
        break;
      }
      EXPECT_TRUE(dump || report["writerAlive"].get<bool>());
      EXPECT_TRUE(!dump || report["entries"].size() == report["header"]["occupancy"]);
      for (auto const& entry : report.value("entries", json::array())) {
        EXPECT_EQ(entry["value"].get<std::string>().substr(0, 8), entry["key"]);
      }
      inspected.insert(report["header"]["writerSequence"].get<std::uint64_t>());
    }
    inspecting = false;
  });
  // Inserts, updates, two-phase writes and removes; every change is one sequence.
  auto start = Clock::now();
  char const* wanted = std::getenv("HWTABLES_CHANGE_STREAM_CHANGES");
  std::uint64_t changes = wanted != nullptr ? std::strtoull(wanted, nullptr, 10) : 100000;
  std::uint64_t made = 0;
  while (made < changes || inspecting) {
    std::uint32_t key = random() % kKeys;
    bool found = false;
    writer.lookup(key, found, nullptr);
    unsigned roll = random() % 10;
    if (found && roll < 3) {
      writer.remove(key, nullptr);
    } else if (roll == 3) {
      auto* staged = writer.directWrite(valueOf(key, ++generation));
      *staged = valueOf(key, ++generation);
      writer.directCommit();
    } else {
      writer.write(valueOf(key, ++generation), true);
    }
    // At most 50 000 changes a second, a busy agent's pace: the fast follower keeps up
    // most of the time (one event per change), the slow one does not.
    if (++made % 100 == 0)
      std::this_thread::sleep_until(start + made * std::chrono::microseconds(20));
  }
  double writing = std::chrono::duration<double>(Clock::now() - start).count();
  inspector.join();
  EXPECT_GT(inspected.size(), 1u);

  // The writer pauses (still attached): both followers catch up with its last change.
  std::uint64_t last = store.lastChange();
  fast.hurry();
  slow.hurry();
  fast.reached(last);
  slow.reached(last);
  auto expected = dumped(dir);
  auto fastText = fast.stop();
  auto slowText = slow.stop();
  EXPECT_EQ(std::tuple(lastSequence(fastText), lastSequence(slowText)), std::tuple(last, last));
  EXPECT_EQ(std::tuple(fast.run.status, slow.run.status), std::tuple(0, 0))
      << fast.run.err << slow.run.err;

  for (auto const& [name, text] : {std::pair{"fast", &fastText}, std::pair{"slow", &slowText}}) {
    SCOPED_TRACE(name);
    auto rebuilt = rebuild(*text);
    EXPECT_EQ(rebuilt.state, expected);
    EXPECT_TRUE(rebuilt.problems.empty())
        << rebuilt.problems.size() << " problems, first " << rebuilt.problems[0];
    fmt::print(
        "change stream, {} follower: {} changes in {:.2f} s, {} events ({} merging several), "
        "{} resyncs (the first included), {} entries at the end\n",
        name, made, writing, rebuilt.events, rebuilt.merged, rebuilt.resyncs, rebuilt.state.size());
  }
  std::fflush(stdout);
}

// `store watch` following `store fill` processes: a writer rewriting values, then the
// next writer of the same store removing some. The watch waits for the first writer,
// sees the writers come and go, and its events rebuild the store as `store dump` lists
// it; Ctrl-C ends it cleanly.
TEST(StoreWatch, WaitsForAStoreAndFollowsFillsThroughUpdatesRemovalsAndAWriterRestart) {
  E2e::TempDir root("watch");
  std::string dir = root.file("fill");
  E2e::expectOneLineError(E2e::runTool({"store", "watch", "--root", root.path()}), 2,
                          "no store directory");
  auto fill = [&dir](std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"store", "fill", dir, "--value-bytes", "16"});
    auto run = E2e::runTool(extra);
    EXPECT_EQ(run.status, 0) << run.err;
  };
  // No writer holds the store yet: the watch reads it once one does.
  fs::create_directory(dir);
  Follower watch(dir, false);
  fill({"--entries", "40"});
  fill({"--entries", "40", "--update-for", "1"});
  fill({"--entries", "10", "--remove", "5"});
  // The last writer's five removals come last.
  watch.waitUntil([](auto const& text) { return occurrences(text, "\"removed\"") >= 5; });
  auto text = watch.stop(SIGINT);
  EXPECT_EQ(watch.run.status, 0) << watch.run.err;
  EXPECT_TRUE(watch.run.err.empty()) << watch.run.err;
  auto rebuilt = rebuild(text);
  EXPECT_EQ(rebuilt.state, dumped(dir));
  EXPECT_EQ(rebuilt.state.size(), 35u);
  EXPECT_TRUE(rebuilt.problems.empty()) << text;
  // The writers leaving are noticed (one as short-lived as the removing fill may come
  // and go unnoticed; its changes are caught up with all the same).
  expectHas(text, {"\"changed\"", "\"removed\"", "\"event\":\"writer\""});
}

}  // namespace
