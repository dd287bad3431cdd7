// Shadows of a store in another process than its writer, against the map's find.
//
//   Shadow_Lookup/N      a lookup through a BrellShadow (local index, value read from
//                        the shared slot by index) of a store a forked writer filled
//                        with N entries
//   Map_Find/N           std::unordered_map::find of the same keys in this process
//   Notify_Latency/C     how long a reader takes to learn of a change: the writer
//                        stamps each value with the monotonic clock just before it
//                        writes it; the shadow's key callback reads the value and the
//                        clock (median and 99th percentile, in ns). C is the ring's
//                        capacity: 0 sized to the 64-entry table (as the store makes
//                        it), 16384 the fixed size every ring had before
//   Updates_DeadSleepers the writer's updates per second before and after 100 readers
//                        were killed while asleep on its ring (ratio after / before)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "store/BrellShadow.h"
#include "store/BrellWriter.h"
#include "store/RawValue.h"
#include "store/VanquoReader.h"

namespace {

using Traits = Brell::RawValueTraits<12>;
using Value = Traits::Value;

std::uint64_t monotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

Value valueOf(std::uint32_t key, std::uint64_t stamp) {
  Value value;
  value.key = key;
  std::memcpy(value.payload.data(), &stamp, sizeof stamp);
  return value;
}

// A writer in a forked child: fills keys 1..entries, then on 'l' rewrites keys with
// time stamps (one every 200 µs, `samples` of them), on 'q' detaches and exits.
class WriterProcess {
 public:
  WriterProcess(std::string root, std::uint32_t entries, std::uint32_t samples,
                std::uint32_t ringCapacity = 0)
      : root_(std::move(root)) {
    int toChild[2];
    int toParent[2];
    if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(toChild[1]);
      ::close(toParent[0]);
      Brell::MapDescriptor descriptor;
      descriptor.maxSize = std::max<std::uint32_t>(entries, 64);
      descriptor.notificationCapacity = ringCapacity;
      Brell::BrellWriter<Traits> writer("bench", descriptor, root_);
      writer.initialize("bench");
      for (std::uint32_t key = 1; key <= entries; ++key) writer.write(valueOf(key, 0), true);
      char command = 'r';
      if (::write(toParent[1], &command, 1) != 1) ::_exit(1);
      while (::read(toChild[0], &command, 1) == 1 && command != 'q') {
        for (std::uint32_t sample = 0; sample < samples; ++sample) {
          std::uint32_t key = 1 + sample % entries;
          writer.write(valueOf(key, monotonicNs()), true);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      }
      writer.detach(false);
      ::_exit(0);
    }
    ::close(toChild[0]);
    ::close(toParent[1]);
    commands_ = toChild[1];
    char ready = 0;
    if (::read(toParent[0], &ready, 1) != 1) std::abort();
    ::close(toParent[0]);
  }
  ~WriterProcess() {
    char quit = 'q';
    (void)!::write(commands_, &quit, 1);
    ::close(commands_);
    ::waitpid(pid_, nullptr, 0);
  }
  void startStamping() {
    char command = 'l';
    (void)!::write(commands_, &command, 1);
  }

 private:
  std::string root_;
  pid_t pid_ = -1;
  int commands_ = -1;
};

std::string freshRoot() {
  char pattern[] = "/dev/shm/hwtables-shadow-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  return pattern;
}

// Attaches and waits until the shadow caught up with the writer.
void synchronise(Brell::BrellShadow<Traits>& shadow) {
  for (int attempt = 0; attempt < 200 && !shadow.initialize("bench"); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (int round = 0; round < 100000 && shadow.mountStatus() != Brell::MountStatus::synced;
       ++round) {
    shadow.processNotifications(std::chrono::milliseconds(10));
  }
  if (shadow.mountStatus() != Brell::MountStatus::synced) std::abort();
}

std::vector<std::uint32_t> shuffledKeys(std::uint32_t entries) {
  std::vector<std::uint32_t> keys(entries);
  for (std::uint32_t index = 0; index < entries; ++index) keys[index] = index + 1;
  std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
  return keys;
}

void Shadow_Lookup(benchmark::State& state) {
  auto entries = static_cast<std::uint32_t>(state.range(0));
  auto root = freshRoot();
  {
    WriterProcess writer(root, entries, 0);
    Brell::BrellShadow<Traits> shadow("bench", root);
    synchronise(shadow);
    auto keys = shuffledKeys(entries);
    std::size_t index = 0;
    std::size_t found = 0;
    Value buffer;
    for (auto _ : state) {
      bool hit = false;
      shadow.lookup(keys[index], hit, &buffer);
      found += hit ? 1 : 0;
      if (++index == keys.size()) index = 0;
    }
    if (found != static_cast<std::size_t>(state.iterations())) state.SkipWithError("missed keys");
    shadow.detach(true);
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(Shadow_Lookup)->Arg(64)->Arg(10000)->Arg(1000000);

void Map_Find(benchmark::State& state) {
  auto entries = static_cast<std::uint32_t>(state.range(0));
  std::unordered_map<std::uint32_t, Value> map;
  for (std::uint32_t key = 1; key <= entries; ++key) map.emplace(key, valueOf(key, 0));
  auto keys = shuffledKeys(entries);
  std::size_t index = 0;
  for (auto _ : state) {
    auto found = map.find(keys[index]);
    benchmark::DoNotOptimize(found);
    if (++index == keys.size()) index = 0;
  }
}
BENCHMARK(Map_Find)->Arg(64)->Arg(10000)->Arg(1000000);

void Notify_Latency(benchmark::State& state) {
  constexpr std::uint32_t kSamples = 2000;
  auto root = freshRoot();
  std::vector<double> latencies;
  {
    WriterProcess writer(root, 64, kSamples, static_cast<std::uint32_t>(state.range(0)));
    Brell::BrellShadow<Traits>* current = nullptr;
    Mem::Notify<Traits::Key, Value> notify;
    notify.keyChanged = [&](std::uint32_t const& key) {
      bool found = false;
      Value value;
      current->lookup(key, found, &value);
      std::uint64_t stamp = 0;
      std::memcpy(&stamp, value.payload.data(), sizeof stamp);
      if (found && stamp != 0) latencies.push_back(static_cast<double>(monotonicNs() - stamp));
    };
    Brell::BrellShadow<Traits> shadow("bench", root, notify);
    current = &shadow;
    synchronise(shadow);
    for (auto _ : state) {
      writer.startStamping();
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (latencies.size() < kSamples && std::chrono::steady_clock::now() < deadline) {
        shadow.processNotifications(std::chrono::milliseconds(100));
      }
    }
    state.counters["ring_entries"] = static_cast<double>(shadow.ring().capacity());
    shadow.detach(true);
  }
  std::filesystem::remove_all(root);
  if (latencies.empty()) {
    state.SkipWithError("no change arrived");
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["samples"] = static_cast<double>(latencies.size());
  state.counters["median_ns"] = latencies[latencies.size() / 2];
  state.counters["p99_ns"] = latencies[latencies.size() * 99 / 100];
}
BENCHMARK(Notify_Latency)->Arg(0)->Arg(16384)->Iterations(1)->Unit(benchmark::kMillisecond);

// Updates per second of a 64-entry table's writer over `updates` rewrites.
double updatesPerSecond(Brell::BrellWriter<Traits>& writer, std::uint32_t updates) {
  auto start = std::chrono::steady_clock::now();
  for (std::uint32_t update = 0; update < updates; ++update) {
    writer.write(valueOf(1 + update % 64, update), true);
  }
  return updates / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The fastest of a few runs (the machine is shared).
double bestRate(Brell::BrellWriter<Traits>& writer) {
  double best = 0;
  for (int run = 0; run < 5; ++run) best = std::max(best, updatesPerSecond(writer, 200000));
  return best;
}

void Updates_DeadSleepers(benchmark::State& state) {
  auto root = freshRoot();
  double before = 0;
  double after = 0;
  {
    Brell::MapDescriptor descriptor;
    descriptor.maxSize = 64;
    Brell::BrellWriter<Traits> writer("bench", descriptor, root);
    writer.initialize("bench");
    for (std::uint32_t key = 1; key <= 64; ++key) writer.write(valueOf(key, 0), true);
    for (auto _ : state) {
      before = bestRate(writer);
      for (int reader = 0; reader < 100; ++reader) {
        pid_t child = ::fork();
        if (child == 0) {
          Vanquo::VanquoReader<> ring(root);
          if (ring.initialize()) ring.wait(std::chrono::seconds(60));
          ::_exit(0);
        }
        // Killed once it is asleep on the ring (its state in /proc is 'S').
        for (int attempt = 0; attempt < 10000; ++attempt) {
          std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
          std::string text((std::istreambuf_iterator<char>(stat)), {});
          auto close = text.rfind(')');
          if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S')
            break;
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
      }
      after = bestRate(writer);
    }
    writer.detach(false);
  }
  std::filesystem::remove_all(root);
  state.counters["updates_per_s_before"] = before;
  state.counters["updates_per_s_after"] = after;
  state.counters["after_over_before"] = before > 0 ? after / before : 0;
}
BENCHMARK(Updates_DeadSleepers)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
