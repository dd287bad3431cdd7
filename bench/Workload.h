// What every subject is measured with: the same random keys in the same orders
// (Dataset), and the filled subject kept across the benchmarks of one subject, value
// size and entry count.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "bench/Memory.h"
#include "bench/Subjects.h"

namespace Bench {

struct Dataset {
  std::vector<std::uint32_t> keys;   // distinct random keys, in insertion order
  std::vector<std::uint32_t> order;  // the same keys shuffled: lookup and update order
};

inline Dataset const& dataset(std::size_t entries) {
  static std::map<std::size_t, Dataset> cache;
  auto found = cache.find(entries);
  if (found != cache.end()) return found->second;
  Dataset data;
  std::mt19937 random(static_cast<std::uint32_t>(entries) * 2654435761u + 17);
  std::unordered_set<std::uint32_t> seen;
  while (data.keys.size() < entries) {
    std::uint32_t key = static_cast<std::uint32_t>(random());
    if (seen.insert(key).second) data.keys.push_back(key);
  }
  data.order = data.keys;
  std::shuffle(data.order.begin(), data.order.end(), random);
  return cache.emplace(entries, std::move(data)).first->second;
}

// One filled subject at a time, kept across the benchmarks of the same subject, value
// size and entry count (they are registered next to each other). Its memory is
// recorded when it is filled.
struct Current {
  std::string name;
  std::shared_ptr<void> subject;
};
inline Current current;

template <class Subject, std::size_t V>
Subject& filled(std::size_t entries) {
  std::string name = fmt::format("{}/{}/{}", Subject::kName, V, entries);
  if (current.name != name) {
    current = Current{};  // release the previous one first
    measureEmpty<Subject, V>();
    auto const& keys = dataset(entries).keys;  // built before the heap is measured
    std::vector<MemoryReading> readings;
    std::shared_ptr<Subject> subject = buildMeasured<Subject>(
        entries,
        [&](Subject& empty) {
          for (auto key : keys) empty.insert(valueOf<V>(key, 0));
        },
        readings);
    for (auto const& reading : readings) {
      memoryLog().recordFilled(reading.what, V, entries, reading.bytes);
    }
    current = Current{name, subject};
  }
  return *static_cast<Subject*>(current.subject.get());
}

}  // namespace Bench
