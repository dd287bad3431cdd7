// hwtables-lookup-profile: exactly N lookups of one kind, to count the instructions
// one lookup takes.
//
// Fills a store with 64 entries (random 4-byte keys, values of V bytes) through its
// writer in this process, attaches the lookup side asked for, looks every key up once
// to warm up, then runs --lookups=N lookups over the keys in a shuffled order:
//
//   --subject=map     std::unordered_map::find, value copied out (the reference)
//   --subject=reader  a BrellReader attached to the store
//   --subject=shadow  a BrellShadow synchronised with the store
//   --subject=writer  the writer's own lookup
//   --subject=map-update    the map's update of a present key (find + assign)
//   --subject=update        the writer's update of a present key, one write each
//   --subject=batch-update  the same updates, 64 to a writeBatch call
//
// The lookups run in profiledLookups, which callgrind can be told to count alone; and
// everything else is the same whatever N, so the difference between the instruction
// counts of a run with N and one with 2N lookups, divided by N, is the instructions of
// one lookup, loop included (scripts/profile-lookup does both). Prints the lookups
// done and the keys found.
//
// An update writes one of two generations of values, alternating with each pass over
// the keys, so that every update changes the value. The updates run in
// profiledLookups too; --lookups=N is then the number of updates (a multiple of 64
// for batch-update).
//
// Options: --subject=map|reader|shadow|writer|map-update|update|batch-update (default reader),
// --lookups=N (default 10000000), --value-bytes=8|12|16|20 (default 12).
#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "bench/Subjects.h"

namespace Bench {
namespace {

constexpr std::size_t kEntries = 64;

struct Options {
  std::string subject = "reader";
  std::uint64_t lookups = 10000000;
  std::size_t valueBytes = 12;
};

std::uint64_t parseNumber(std::string const& option, std::string const& text) {
  bool digits = !text.empty() && text.size() <= 18 &&
                std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) throw std::invalid_argument(fmt::format("{}: '{}' is not a number", option, text));
  return std::stoull(text);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int index = 1; index < argc; ++index) {
    std::string arg = argv[index];
    if (arg.rfind("--subject=", 0) == 0) {
      options.subject = arg.substr(10);
      static constexpr std::array<char const*, 7> kSubjects = {
          "map", "reader", "shadow", "writer", "map-update", "update", "batch-update"};
      if (std::find(kSubjects.begin(), kSubjects.end(), options.subject) == kSubjects.end()) {
        throw std::invalid_argument(fmt::format(
            "--subject: '{}' is not one of map, reader, shadow, writer, map-update, update, "
            "batch-update",
            options.subject));
      }
    } else if (arg.rfind("--lookups=", 0) == 0) {
      options.lookups = parseNumber("--lookups", arg.substr(10));
    } else if (arg.rfind("--value-bytes=", 0) == 0) {
      options.valueBytes = parseNumber("--value-bytes", arg.substr(14));
    } else {
      throw std::invalid_argument(fmt::format("unknown option '{}'", arg));
    }
  }
  return options;
}

// The same keys and order on every run, so that runs differ only in the lookup count.
struct Keys {
  std::vector<std::uint32_t> inserted;
  std::vector<std::uint32_t> order;
};

Keys makeKeys() {
  Keys keys;
  std::mt19937 random(64);
  std::unordered_set<std::uint32_t> seen;
  while (keys.inserted.size() < kEntries) {
    auto key = static_cast<std::uint32_t>(random());
    if (seen.insert(key).second) keys.inserted.push_back(key);
  }
  keys.order = keys.inserted;
  std::shuffle(keys.order.begin(), keys.order.end(), random);
  return keys;
}

// Keeps the compiler from dropping or merging the lookups.
template <class T>
void keep(T const& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

// The counted lookups, in a function of their own so that callgrind can count inside
// it only (--toggle-collect=*profiledLookups*); returns the keys found.
template <std::size_t V, class Lookup>
[[gnu::noinline]] std::uint64_t profiledLookups(Keys const& keys, std::uint64_t lookups,
                                                Lookup& lookup) {
  Value<V> out;
  std::uint64_t found = 0;
  std::size_t next = 0;
  for (std::uint64_t done = 0; done < lookups; ++done) {
    found += lookup(keys.order[next], out) && out.key == keys.order[next];
    keep(out);
    if (++next == keys.order.size()) next = 0;
  }
  return found;
}

// Warms up with one pass over the keys, then makes `lookups` lookups.
template <std::size_t V, class Lookup>
std::uint64_t run(Keys const& keys, std::uint64_t lookups, Lookup&& lookup) {
  Value<V> out;
  for (auto key : keys.order) lookup(key, out);
  return profiledLookups<V>(keys, lookups, lookup);
}

// The update loop: `updates` updates of present keys through `update`, which takes
// `step` values at a time (1, or a batch). Counted like the lookups (same function
// name, so scripts/profile-lookup's filter holds); returns the updates made.
template <std::size_t V, class Update>
[[gnu::noinline]] std::uint64_t profiledLookups(std::vector<Value<V>> const (&values)[2],
                                                std::uint64_t updates, std::size_t step,
                                                Update& update) {
  std::size_t next = 0;
  std::size_t generation = 0;
  for (std::uint64_t done = 0; done < updates; done += step) {
    update(std::span<Value<V> const>(values[generation].data() + next, step));
    next += step;
    if (next == values[generation].size()) {
      next = 0;
      generation ^= 1;
    }
  }
  return updates;
}

template <std::size_t V>
std::uint64_t profileUpdates(Options const& options, Keys const& keys) {
  std::vector<Value<V>> values[2];
  for (std::uint32_t generation = 0; generation < 2; ++generation) {
    for (auto key : keys.order) values[generation].push_back(valueOf<V>(key, generation + 2));
  }
  bool batched = options.subject == "batch-update";
  std::size_t step = batched ? kEntries : 1;
  if (options.lookups % step != 0) {
    throw std::invalid_argument(
        fmt::format("--lookups: {} is not a multiple of {} for batches", options.lookups, step));
  }
  if (options.subject == "map-update") {
    MapSubject<V> map;
    for (auto key : keys.inserted) map.insert(valueOf<V>(key, 0));
    auto update = [&](std::span<Value<V> const> batch) { map.update(batch.front()); };
    return profiledLookups<V>(values, options.lookups, step, update);
  }
  StoreSubject<V> store(keys.inserted.size());
  for (auto key : keys.inserted) store.insert(valueOf<V>(key, 0));
  auto update = [&](std::span<Value<V> const> batch) {
    if (batched) {
      store.updateBatch(batch);
    } else {
      store.update(batch.front());
    }
  };
  return profiledLookups<V>(values, options.lookups, step, update);
}

// Each lookup is inlined into its loop, as in the benchmark: left to the compiler, the
// shadow's lambda stayed a call at V = 20, and that call was in its count.
template <std::size_t V>
std::uint64_t profile(Options const& options) {
  Keys keys = makeKeys();
  if (options.subject.ends_with("update")) return profileUpdates<V>(options, keys);
  if (options.subject == "map") {
    MapSubject<V> map;
    for (auto key : keys.inserted) map.insert(valueOf<V>(key, 0));
    return run<V>(keys, options.lookups,
                  [&](std::uint32_t key, Value<V>& out) __attribute__((always_inline)) {
                    return map.lookup(key, out);
                  });
  }
  StoreSubject<V> store(keys.inserted.size());
  for (auto key : keys.inserted) store.insert(valueOf<V>(key, 0));
  if (options.subject == "writer") {
    return run<V>(keys, options.lookups,
                  [&](std::uint32_t key, Value<V>& out) __attribute__((always_inline)) {
                    return store.lookup(key, out);
                  });
  }
  if (options.subject == "shadow") {
    ShadowReaderSide<V> shadow(store.dir());
    return run<V>(keys, options.lookups,
                  [&](std::uint32_t key, Value<V>& out) __attribute__((always_inline)) {
                    return shadow.lookup(key, out);
                  });
  }
  StoreReaderSide<V> reader(store.dir());
  return run<V>(keys, options.lookups,
                [&](std::uint32_t key, Value<V>& out) __attribute__((always_inline)) {
                  return reader.lookup(key, out);
                });
}

std::uint64_t profileFor(Options const& options) {
  switch (options.valueBytes) {
    case 8:
      return profile<8>(options);
    case 12:
      return profile<12>(options);
    case 16:
      return profile<16>(options);
    case 20:
      return profile<20>(options);
    default:
      throw std::invalid_argument(
          fmt::format("--value-bytes: {} is not one of 8, 12, 16, 20", options.valueBytes));
  }
}

}  // namespace
}  // namespace Bench

int main(int argc, char** argv) {
  using namespace Bench;
  Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (std::invalid_argument const& error) {
    fmt::print(stderr, "hwtables-lookup-profile: {}\n", error.what());
    return 2;
  }
  try {
    std::uint64_t found = profileFor(options);
    fmt::print("{} lookups ({}, V = {}): {} found\n", options.lookups, options.subject,
               options.valueBytes, found);
    if (found != options.lookups) {
      fmt::print(stderr, "hwtables-lookup-profile: {} of {} lookups missed their key\n",
                 options.lookups - found, options.lookups);
      return 1;
    }
  } catch (std::exception const& error) {
    fmt::print(stderr, "hwtables-lookup-profile: {}\n", error.what());
    return 1;
  }
  return 0;
}
