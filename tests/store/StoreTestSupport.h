// Shared helpers of the store tests: a synthetic value type and fresh directories.
//
// TestValue<V> is V bytes: a 4-byte key, payload words, and a last word that is a
// checksum of the key and payload, so a reader can tell a torn value from a whole one.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/tyvo/Hash.h"
#include "store/MapDescriptor.h"
#include "store/RawValue.h"
#include "store/SlotLayout.h"

namespace StoreTest {

template <std::size_t V>
struct TestValue {
  static_assert(V >= 8 && V % 4 == 0);
  static constexpr std::size_t kWords = V / 4 - 1;  // payload words, the last a checksum

  std::uint32_t key = 0;
  std::array<std::uint32_t, kWords> words{};

  static std::uint32_t checksumOf(std::uint32_t key, std::array<std::uint32_t, kWords> const& all) {
    Tyvo::Hash hash(0x5EEDu);
    hash.add(key);
    for (std::size_t index = 0; index + 1 < kWords; ++index) hash.add(all[index]);
    return hash.result();
  }
  static TestValue make(std::uint32_t key, std::uint32_t generation) {
    TestValue value;
    value.key = key;
    for (std::size_t index = 0; index + 1 < kWords; ++index) {
      value.words[index] = generation * 2654435761u + static_cast<std::uint32_t>(index);
    }
    // Without payload the one word just carries the generation.
    value.words[kWords - 1] = kWords == 1 ? generation : checksumOf(key, value.words);
    return value;
  }
  // Whole: the checksum matches key and payload (always true without payload).
  bool whole() const { return kWords == 1 || words[kWords - 1] == checksumOf(key, words); }
  // The generation make() was given (0x0E8B2F51 inverts 2654435761 modulo 2^32).
  std::uint32_t generation() const { return kWords == 1 ? words[0] : words[0] * 0x0E8B2F51u; }
  bool operator==(TestValue const&) const = default;
};
static_assert(sizeof(TestValue<8>) == 8 && sizeof(TestValue<12>) == 12 &&
              sizeof(TestValue<16>) == 16 && sizeof(TestValue<20>) == 20);

template <std::size_t V>
struct TestTraits : Brell::LeadingKeyTraits<TestValue<V>> {
  static std::string_view typeName() {
    static std::string const name = "StoreTest::TestValue<" + std::to_string(V) + ">";
    return name;
  }
};

// A writer's descriptor of `size` slots, growing or fixed.
inline Brell::MapDescriptor sized(std::uint32_t size, bool fixed = false) {
  Brell::MapDescriptor descriptor;
  descriptor.maxSize = size;
  descriptor.fixedSize = fixed;
  return descriptor;
}

// A fresh directory under $HWTABLES_TEST_TMP, else /dev/shm (or /tmp), removed with
// everything in it.
class TempDir {
 public:
  TempDir() {
    char const* chosen = std::getenv("HWTABLES_TEST_TMP");
    std::string base = chosen != nullptr && *chosen != '\0' ? chosen
                       : std::filesystem::exists("/dev/shm") ? "/dev/shm"
                                                             : "/tmp";
    std::string pattern = base + "/hwtables-store-test-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;

  std::string const& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

}  // namespace StoreTest

namespace StoreTest {

// Raw file access for tests that look at or damage the files behind the store's back.
std::vector<unsigned char> readFile(std::string const& path);
void patchFile(std::string const& path, std::size_t offset, void const* bytes, std::size_t size);

template <class Word>
Word readWord(std::string const& path, std::size_t offset) {
  auto bytes = readFile(path);
  Word word{};
  if (offset + sizeof word <= bytes.size()) std::memcpy(&word, bytes.data() + offset, sizeof word);
  return word;
}

template <class Word>
void patchWord(std::string const& path, std::size_t offset, Word word) {
  patchFile(path, offset, &word, sizeof word);
}

// Runs `child` in a forked process that reports through a pipe and _exits; returns
// its exit status and report.
struct ChildResult {
  int status = -1;
  std::string report;
};

template <class Body>
pid_t forkChild(int& readEnd, Body&& body) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string report;
    int code = 3;
    try {
      code = body(report);
    } catch (std::exception const& error) {
      report += std::string("exception: ") + error.what();
      code = 2;
    }
    (void)!::write(fds[1], report.data(), report.size());
    ::_exit(code);
  }
  ::close(fds[1]);
  readEnd = fds[0];
  return pid;
}

inline ChildResult collect(pid_t pid, int readEnd) {
  ChildResult result;
  char buffer[4096];
  for (ssize_t done; (done = ::read(readEnd, buffer, sizeof buffer)) > 0;) {
    result.report.append(buffer, static_cast<std::size_t>(done));
  }
  ::close(readEnd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// Collects trace lines of the store's handles while alive.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  bool contains(std::string_view text) const;
  std::string all() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace StoreTest
