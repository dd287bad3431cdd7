// `hwtables store check|dump` while a writer in another process is busy: every
// inspection sees a consistent store (the stable keys all there with their values),
// and a killed writer leaves a store that check reports without crashing. (A fill
// that keeps updating, watched and then interrupted: the README's example.)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "store/BrellWriter.h"
#include "store/RawValue.h"
#include "tests/e2e/ToolRunner.h"

namespace {

using nlohmann::json;

using E2e::ChildGuard;
using E2e::runTool;

class TempDir : public E2e::TempDir {
 public:
  TempDir() : E2e::TempDir("store-live") {}
};

using Traits = Brell::RawValueTraits<8>;
using Value = Brell::RawValue<8>;

Value valueOf(std::uint32_t key, std::uint32_t generation) {
  Value value;
  value.key = key;
  for (std::size_t byte = 0; byte < 4; ++byte) {
    value.payload[byte] = static_cast<unsigned char>(generation >> (8 * byte));
  }
  return value;
}

// A writer process: writes `stable` keys 0..stable-1 (generation 0), reports on the
// pipe, then churns keys from 1 000 000 up and rewrites the stable keys, in bursts,
// until it is killed.
pid_t startLibraryWriter(std::string const& dir, std::uint32_t stable) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    // The child never returns into the test framework.
    close(ready[0]);
    try {
      Brell::MapDescriptor descriptor;
      descriptor.maxSize = 1u << 20;
      Brell::BrellWriter<Traits> writer("live", descriptor, dir);
      writer.initialize("e2e");
      for (std::uint32_t key = 0; key < stable; ++key) writer.write(valueOf(key, 0), true);
      char byte = 1;
      (void)!write(ready[1], &byte, 1);
      std::mt19937 random(5);
      for (std::uint32_t round = 1;; ++round) {
        for (int step = 0; step < 64; ++step) {
          std::uint32_t churn = 1000000 + random() % 3000;
          if (random() % 2) {
            writer.write(valueOf(churn, round), true);
          } else {
            writer.remove(churn, nullptr);
          }
          writer.write(valueOf(random() % stable, 0), true);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    } catch (std::exception const& error) {
      fmt::print(stderr, "writer: {}\n", error.what());
    }
    _exit(3);
  }
  close(ready[1]);
  char byte = 0;
  if (read(ready[0], &byte, 1) != 1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  close(ready[0]);
  return pid;
}

TEST(StoreToolLive, CheckAndDumpWorkWhileAWriterInAnotherProcessIsWriting) {
  TempDir root;
  std::string dir = root.file("store");
  std::filesystem::create_directory(dir);
  constexpr std::uint32_t kStable = 1000;
  pid_t writer = startLibraryWriter(dir, kStable);
  ASSERT_GT(writer, 0);
  ChildGuard writerGuard(writer);
  std::set<std::uint64_t> sequences;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    auto check = runTool({"store", "check", dir, "--json", "--wait", "10000"});
    ASSERT_EQ(check.status, 0) << check.err << check.out;
    auto checked = json::parse(check.out);
    EXPECT_EQ(checked["result"], "ok");
    EXPECT_TRUE(checked["writerAlive"].get<bool>());
    EXPECT_EQ(checked["owner"]["writerProcess"], writer);
    EXPECT_GE(checked["header"]["occupancy"].get<std::uint32_t>(), kStable);

    auto dump = runTool({"store", "dump", dir, "--json", "--wait", "10000"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    auto dumped = json::parse(dump.out);
    std::uint32_t stableSeen = 0;
    for (auto const& entry : dumped["entries"]) {
      std::string key = entry["key"];
      std::string value = entry["value"];
      EXPECT_EQ(value.substr(0, 8), key) << "the key leads the value";
      if (E2e::wordOfHex(key) < kStable) {
        ++stableSeen;
        EXPECT_EQ(value.substr(8), "00000000") << key;
      }
    }
    EXPECT_EQ(stableSeen, kStable);
    EXPECT_EQ(dumped["entries"].size(), dumped["header"]["occupancy"]);
    sequences.insert(dumped["header"]["writerSequence"].get<std::uint64_t>());
  }
  EXPECT_GT(sequences.size(), 1u) << "the writer was writing between the inspections";

  // A writer killed at any point leaves a store that check reports, valid or not,
  // without crashing.
  writerGuard.release();
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  auto after = runTool({"store", "check", dir, "--json"});
  ASSERT_TRUE(after.status == 0 || after.status == 1) << after.err;
  auto report = json::parse(after.out);
  EXPECT_FALSE(report["writerAlive"].get<bool>());
  if (after.status == 1) {
    EXPECT_NE(report["reason"].get<std::string>().find("critical section"), std::string::npos);
  }
}

}  // namespace
