// `hwtables store watch` as a separate process following `hwtables store fill` in
// another: it reports the writer's rewrites with the values the fill wrote, notices
// the writer leaving and the next one arriving, reports removals, and stops cleanly
// on SIGTERM. Bad directories are refused with one line.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tests/e2e/ToolRunner.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A directory of this file's own in /dev/shm.
class TempDir : public E2e::TempDir {
 public:
  TempDir() : E2e::TempDir("watch") {}
};

using E2e::fillKeys;
using E2e::hexWord;
using E2e::jsonLines;

TEST(StoreWatch, FollowsFillsThroughUpdatesRemovalsAndAWriterRestart) {
  TempDir root;
  std::string dir = root.path() + "/store";
  constexpr std::uint32_t kEntries = 40;
  auto first = E2e::runTool(
      {"store", "fill", dir, "--entries", std::to_string(kEntries), "--value-bytes", "16"});
  ASSERT_EQ(first.status, 0) << first.err;

  int watchOut = -1;
  int watchErr = -1;
  pid_t watch = E2e::startTool({"store", "watch", dir, "--json"}, watchOut, watchErr);
  ASSERT_GT(watch, 0);
  // The watch prints thousands of lines meanwhile: read them as they come, so it never
  // blocks on a full pipe.
  std::string out;
  std::mutex outMutex;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t done; (done = ::read(watchOut, buffer, sizeof buffer)) > 0;) {
      std::lock_guard lock(outMutex);
      out.append(buffer, static_cast<std::size_t>(done));
    }
  });
  // A live writer rewriting values while the watch follows it.
  auto updating = E2e::runTool({"store", "fill", dir, "--entries", std::to_string(kEntries),
                                "--value-bytes", "16", "--update-for", "1"});
  ASSERT_EQ(updating.status, 0) << updating.err;
  // The next writer of the same store removes some keys (fill rewrites them first).
  auto removing = E2e::runTool(
      {"store", "fill", dir, "--entries", "10", "--remove", "5", "--value-bytes", "16"});
  ASSERT_EQ(removing.status, 0) << removing.err;
  // The watch has the last writer's removals to report: wait for them (or give up
  // after a while and let the checks below say what was missing).
  auto countRemoved = [&out, &outMutex] {
    std::lock_guard lock(outMutex);
    std::size_t count = 0;
    for (auto at = out.find("\"removed\""); at != std::string::npos;
         at = out.find("\"removed\"", at + 1)) {
      ++count;
    }
    return count;
  };
  for (int tick = 0; tick < 200 && countRemoved() < 5; ++tick) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(watch, SIGTERM);
  reader.join();
  ::close(watchOut);
  E2e::Run run = E2e::finishTool(watch, ::open("/dev/null", O_RDONLY), watchErr);
  run.out = out;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;

  auto keys = fillKeys(1, kEntries);
  // Keys as the watch prints them: their bytes in hex, as `store dump` does.
  std::map<std::string, std::uint32_t> written;
  for (auto key : keys) written[hexWord(key)] = key;
  std::set<std::string> removedKeys;
  for (auto at = keys.begin(); at != keys.begin() + 5; ++at) removedKeys.insert(hexWord(*at));
  std::map<std::string, int> counts;
  std::set<std::string> removedSeen;
  int firstReadingAdded = -1;  // keys added by the first reading of the store
  int addedLater = 0;
  bool inFirstReading = false;
  auto lines = jsonLines(run.out);
  ASSERT_FALSE(lines.empty()) << run.out;
  for (auto const& line : lines) {
    std::string event = line.at("event");
    ++counts[event];
    // The watch reads the whole store first (after waiting for a writer, maybe): every
    // entry arrives as "added" between that resync and its synced.
    if (event == "resync" && line.at("reason") == "start") {
      inFirstReading = true;
      firstReadingAdded = 0;
    }
    if (event == "synced" && inFirstReading) {
      inFirstReading = false;
      EXPECT_EQ(line.at("entries"), kEntries);
    }
    if (event == "added") (inFirstReading ? firstReadingAdded : addedLater) += 1;
    if (event == "changed" || event == "added" || event == "removed") {
      std::string key = line.at("key");
      ASSERT_EQ(written.count(key), 1u) << "unknown key " << key;
      std::string value = line.contains("value") ? line.at("value") : line.at("previous");
      ASSERT_EQ(value.size(), 32u);
      // Key first, then payload words: word 0 counts rewrites, the others are fixed.
      std::uint32_t number = written[key];
      EXPECT_EQ(value.substr(0, 8), key);
      EXPECT_EQ(value.substr(16, 8), hexWord(number ^ (0x9E3779B9u * 2)));
      EXPECT_EQ(value.substr(24, 8), hexWord(number ^ (0x9E3779B9u * 3)));
    }
    if (event == "removed") removedSeen.insert(line.at("key").get<std::string>());
    if (event == "changed") {
      EXPECT_NE(line.at("value"), line.at("previous"));
    }
  }
  EXPECT_EQ(firstReadingAdded, static_cast<int>(kEntries)) << run.out;
  EXPECT_GT(counts["changed"], 0) << run.out;
  EXPECT_EQ(removedSeen, removedKeys);
  EXPECT_EQ(addedLater, 0) << "no key was new";
  // The writer leaving is noticed (a writer as short-lived as the removing fill may
  // come and go unnoticed; its changes are caught up with all the same).
  EXPECT_GE(counts["writer"], 1) << run.out;
}

TEST(StoreWatch, WaitsForAStoreAndStopsOnSignal) {
  TempDir root;
  int out = -1;
  int err = -1;
  // <root>/fill does not exist: refused at once, no signal needed.
  E2e::expectOneLineError(E2e::runTool({"store", "watch", "--root", root.path()}), 2,
                          "no store directory");

  fs::create_directory(root.path() + "/fill");
  pid_t watch = E2e::startTool({"store", "watch", "--root", root.path()}, out, err);
  ASSERT_GT(watch, 0);
  auto waiting = E2e::readUntil(out, "waiting");
  auto fill = E2e::runTool({"store", "fill", "--root", root.path(), "--entries", "3"});
  ASSERT_EQ(fill.status, 0) << fill.err;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(watch, SIGINT);
  auto run = E2e::finishTool(watch, out, err);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(waiting.find("waiting"), std::string::npos) << waiting;
}

TEST(StoreWatch, RefusesWhatIsNotAStoreDirectory) {
  TempDir root;
  std::string file = root.path() + "/plain";
  { std::ofstream(file) << "x"; }
  E2e::expectOneLineError(E2e::runTool({"store", "watch", file}), 2, "is not a directory");
  E2e::expectOneLineError(E2e::runTool({"store", "watch", root.path() + "/absent"}), 2,
                          "no store directory");
}

}  // namespace
