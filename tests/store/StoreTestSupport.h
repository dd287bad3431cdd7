// Shared helpers of the store tests. TestValue<V> is V bytes: a 4-byte key, payload
// words and a checksum word, so a reader can tell a torn value from a whole one.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/tyvo/Hash.h"
#include "store/BrellReader.h"
#include "store/BrellWriter.h"
#include "store/MapDescriptor.h"
#include "store/RawValue.h"
#include "store/SlotLayout.h"
#include "store/VanquoReader.h"

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

using Traits8 = TestTraits<8>;
using Value8 = Traits8::Value;
using Writer8 = Brell::BrellWriter<Traits8>;
using Reader8 = Brell::BrellReader<Traits8>;

template <class Store>
struct Attached : Store {
  template <class... Args>
  explicit Attached(Args&&... args) : Store(std::forward<Args>(args)...) {
    EXPECT_TRUE(this->initialize("test")) << "did not attach";
  }
};
using Attached8 = Attached<Writer8>;
using AttachedReader8 = Attached<Reader8>;

constexpr std::size_t slotOffset8(std::uint32_t index) {
  return Brell::kCommonHeaderSize + 24 + std::size_t{index} * 24;
}

template <class Writer>
void fill(Writer& writer, std::uint32_t from, std::uint32_t to) {
  using Value = typename Writer::Value;
  for (std::uint32_t key = from; key < to; ++key) writer.write(Value::make(key, key + 1), true);
}

template <class Store>
std::optional<typename Store::Value> find(Store& store, std::uint32_t key) {
  bool found = false;
  typename Store::Value buffer;
  auto const* value = store.lookup(key, found, &buffer);
  return found ? std::optional(*value) : std::nullopt;
}
template <class Store>
bool holds(Store& store, std::uint32_t key) {
  return find(store, key).has_value();
}

template <class Store>
void expectFilled(Store& store, std::uint32_t from, std::uint32_t to) {
  for (std::uint32_t key = from; key < to; ++key) {
    auto value = find(store, key);
    ASSERT_TRUE(value) << key;
    ASSERT_EQ(value->generation(), key + 1) << key;
  }
}

template <class Store>
std::map<std::uint32_t, typename Store::Value> contentsOf(Store& store) {
  std::map<std::uint32_t, typename Store::Value> contents;
  typename Store::Value value;
  Brell::IterHint hint;
  std::uint32_t steps = 0;
  for (bool more = store.first(value, hint); more; more = store.next(value.key, value, hint)) {
    EXPECT_TRUE(value.whole()) << "torn value of key " << value.key;
    EXPECT_TRUE(contents.emplace(value.key, value).second) << "twice: " << value.key;
    if (++steps > (1u << 24)) {
      ADD_FAILURE() << "endless iteration";
      break;
    }
  }
  return contents;
}

// What a ring reader has to read now, in order; `result` tells how the read ended.
template <class Ring>
std::vector<Vanquo::BasicSlot> readRing(Ring& ring, typename Ring::Read* result = nullptr) {
  std::vector<Vanquo::BasicSlot> seen;
  auto read = ring.read([&](Vanquo::BasicSlot const& slot) { seen.push_back(slot); });
  if (result) *result = read;
  return seen;
}

// Lets a shadow (or a map mounted as one) handle every notification waiting for it.
template <class Follower>
void settle(Follower& follower) {
  while (follower.processNotifications(std::chrono::milliseconds(0))) {
  }
}

// One wave of churn under readers: keys [churnBase, churnBase + 400..4000) are added
// (slot growth, bucket splits) and removed again (compaction moves, merges), and
// every eighth step rewrites one of the keys [0, stableKeys) with the next
// generation, in place while adding, through a two-phase write while removing.
// Returns the operations done.
template <class Writer>
std::uint64_t churnWave(Writer& writer, std::mt19937& random, std::uint32_t wave,
                        std::uint32_t& generation, std::uint32_t stableKeys,
                        std::uint32_t churnBase) {
  using Value = typename Writer::Value;
  std::uint32_t size = 400 + random() % 3600;
  std::uint64_t operations = 0;
  for (std::uint32_t key = churnBase; key < churnBase + size; ++key, ++operations) {
    writer.write(Value::make(key, wave), true);
    if (key % 8 == 0) writer.write(Value::make(key % stableKeys, ++generation), true);
  }
  for (std::uint32_t key = churnBase; key < churnBase + size; ++key, ++operations) {
    writer.remove(key, nullptr);
    if (key % 8 != 0) continue;
    auto* staged = writer.directWrite(Value::make(key % stableKeys, ++generation));
    *staged = Value::make(key % stableKeys, ++generation);
    writer.directCommit();
  }
  return operations;
}

// One pass of a reader under a churning writer (see churnWave): every stable key
// [0, stableKeys) is found whole, churn keys are whole when found, one batch of
// lookupMany (of a random size around its look-ahead) gives the same answers, and an
// iteration meets every stable key exactly once and only whole values. Returns the
// first fault ("" when none); `lookups` counts the keys looked up.
template <class Reader>
std::string readPass(Reader& reader, std::mt19937& random, std::uint32_t stableKeys,
                     std::uint32_t churnBase, std::uint64_t& lookups) {
  using Value = typename Reader::Value;
  Value value;
  for (std::uint32_t key = 0; key < stableKeys; ++key, lookups += 2) {
    bool found = false;
    reader.lookup(key, found, &value);
    if (!found || value.key != key || !value.whole()) {
      return fmt::format("stable key {} found:{} key:{} whole:{}", key, found, value.key,
                         value.whole());
    }
    std::uint32_t churn = churnBase + random() % 4000;
    reader.lookup(churn, found, &value);
    if (found && (value.key != churn || !value.whole())) {
      return fmt::format("churn key {} read as key:{} whole:{}", churn, value.key, value.whole());
    }
  }
  constexpr std::size_t kMost = 5 * Reader::kLookupAhead + 3;
  std::array<std::uint32_t, kMost> keys;
  std::array<Value, kMost> values;
  bool found[kMost];
  std::size_t size = random() % (kMost + 1);
  for (std::size_t at = 0; at < size; ++at) {
    keys[at] = random() % 2 == 0 ? random() % stableKeys : churnBase + random() % 4000;
  }
  std::size_t hits = reader.lookupMany(std::span(keys.data(), size), values.data(), found);
  lookups += size;
  for (std::size_t at = 0; at < size; ++at) {
    hits -= found[at] ? 1 : 0;
    if ((keys[at] < stableKeys && !found[at]) ||
        (found[at] && (values[at].key != keys[at] || !values[at].whole()))) {
      return fmt::format("key {} in a batch of {} found:{} as key:{} whole:{}", keys[at], size,
                         found[at], values[at].key, values[at].whole());
    }
  }
  if (hits != 0) return fmt::format("a batch of {} miscounted its hits", size);
  std::vector<bool> seen(stableKeys, false);
  Brell::IterHint hint;
  for (bool more = reader.first(value, hint); more; more = reader.next(value.key, value, hint)) {
    if (!value.whole()) return fmt::format("iteration read a torn value of key {}", value.key);
    if (value.key >= stableKeys) continue;
    if (seen[value.key]) return fmt::format("iteration met key {} twice", value.key);
    seen[value.key] = true;
  }
  for (std::uint32_t key = 0; key < stableKeys; ++key) {
    if (!seen[key]) return fmt::format("iteration missed stable key {}", key);
  }
  return {};
}

template <class Writer>
std::string churnFigures(Writer const& writer) {
  auto const& counters = writer.counters();
  return fmt::format("growths:{} shrinks:{} moves:{} bucket splits:{} merges:{}", counters.growths,
                     counters.shrinks, counters.moves, counters.bucketGrowths,
                     counters.bucketShrinks);
}

inline Brell::MapDescriptor sized(std::uint32_t size, bool fixed = false) {
  Brell::MapDescriptor descriptor;
  descriptor.maxSize = size;
  descriptor.fixedSize = fixed;
  return descriptor;
}

class TempDir {
 public:
  TempDir() {
    char const* chosen = std::getenv("HWTABLES_TEST_TMP");
    std::string base = chosen != nullptr && *chosen != '\0'  ? chosen
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
