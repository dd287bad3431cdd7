// The summary of hwtables-bench (see Summary.h).
#include "bench/Summary.h"

#include <optional>

#include <fmt/format.h>

namespace Bench {
namespace {

constexpr char const* kMap = "unordered_map";
constexpr char const* kStore = "store";
constexpr char const* kLmdb = "LMDB";

std::string number(std::optional<double> value, int digits = 1) {
  if (!value) return "-";
  return fmt::format("{:.{}f}", *value, digits);
}

std::optional<double> ratio(std::optional<double> top, std::optional<double> bottom) {
  if (!top || !bottom || *bottom <= 0) return std::nullopt;
  return *top / *bottom;
}

std::string figuresTable(CollectingReporter const& reporter, SummaryScope const& scope) {
  std::string text =
      "| operation | entries | V | unordered_map ns | store ns | LMDB ns | store / map | "
      "LMDB / store |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|\n";
  struct Row {
    char const* label;
    Op storeOp;
    Op mapOp;
    Op lmdbOp;
  };
  Row const rows[] = {
      {"insert", Op::insert, Op::insert, Op::insert},
      {"update (map: find + assign)", Op::update, Op::update, Op::update},
      {"remove", Op::remove, Op::remove, Op::remove},
      {"writer lookup", Op::lookup, Op::lookup, Op::lookup},
      {"reader lookup, single keys, other process (map: find)", Op::readerLookup, Op::lookup,
       Op::readerLookup},
      {"reader lookup, batches of 64, other process (map: find; LMDB: single keys)",
       Op::readerBatch, Op::lookup, Op::readerLookup},
      {"lookup through a shadow, other process (map: find; LMDB: reader, single keys)",
       Op::shadowLookup, Op::lookup, Op::readerLookup},
      {"lookup latency, one after another (store, LMDB: reader)", Op::latency, Op::latency,
       Op::latency},
  };
  for (auto v : scope.values) {
    for (auto const& row : rows) {
      for (auto n : scope.entryCounts) {
        auto map = reporter.ns(row.mapOp, kMap, v, n);
        auto store = reporter.ns(row.storeOp, kStore, v, n);
        auto lmdb = reporter.ns(row.lmdbOp, kLmdb, v, n);
        text += fmt::format("| {} | {} | {} | {} | {} | {} | {} | {} |\n", row.label, n, v,
                            number(map), number(store), number(lmdb), number(ratio(store, map), 2),
                            number(ratio(lmdb, store), 1));
      }
    }
  }
  return text;
}

std::string underUpdatesTable(CollectingReporter const& reporter, SummaryScope const& scope) {
  std::string text = fmt::format(
      "\nReader lookups per second in another process while the writer updates without "
      "pause (millions per second), and the latency of single reader lookups meanwhile "
      "(ns; every 16th lookup of a separate phase timed with {}, which adds about "
      "{:.0f} ns of its own to each figure):\n\n",
      scope.timerName, scope.timerOverheadNs);
  text +=
      "| entries | V | store reader | LMDB reader | store / LMDB | store writer updates | "
      "LMDB writer updates | store p50 ns | store p99 ns | LMDB p50 ns | LMDB p99 ns |\n"
      "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  auto millions = [](std::optional<Figure> const& figure,
                     double Figure::*field) -> std::optional<double> {
    if (!figure) return std::nullopt;
    return (*figure).*field / 1e6;
  };
  auto ns = [](std::optional<Figure> const& figure,
               double Figure::*field) -> std::optional<double> {
    if (!figure || (*figure).*field <= 0) return std::nullopt;
    return (*figure).*field;
  };
  for (auto v : scope.values) {
    for (auto n : scope.entryCounts) {
      auto store = reporter.figure(Op::underUpdates, kStore, v, n);
      auto lmdb = reporter.figure(Op::underUpdates, kLmdb, v, n);
      auto storeReads = millions(store, &Figure::readerLookupsPerSecond);
      auto lmdbReads = millions(lmdb, &Figure::readerLookupsPerSecond);
      text += fmt::format(
          "| {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} |\n", n, v, number(storeReads, 2),
          number(lmdbReads, 2), number(ratio(storeReads, lmdbReads), 1),
          number(millions(store, &Figure::writerUpdatesPerSecond), 2),
          number(millions(lmdb, &Figure::writerUpdatesPerSecond), 3),
          number(ns(store, &Figure::readerP50Ns), 0), number(ns(store, &Figure::readerP99Ns), 0),
          number(ns(lmdb, &Figure::readerP50Ns), 0), number(ns(lmdb, &Figure::readerP99Ns), 0));
    }
  }
  return text;
}

struct Target {
  std::string text;
  std::optional<double> measured;
  bool atMost;
  double bound;
};

// The speed targets at `entries` for value size `v`: those for 64 and for
// 1 000 000 entries, and the one for every entry count.
std::vector<Target> targetsAt(CollectingReporter const& reporter, std::size_t v,
                              std::size_t entries) {
  auto ns = [&](Op op, char const* subject) { return reporter.ns(op, subject, v, entries); };
  std::vector<Target> targets;
  auto mapFind = ns(Op::lookup, kMap);
  if (entries == 64) {
    targets.push_back({"store reader lookup, single keys, other process / map find <= 2",
                       ratio(ns(Op::readerLookup, kStore), mapFind), true, 2});
    targets.push_back({"lookup through a shadow, other process / map find <= 1.5",
                       ratio(ns(Op::shadowLookup, kStore), mapFind), true, 1.5});
    targets.push_back({"writer lookup / map find <= 1.5", ratio(ns(Op::lookup, kStore), mapFind),
                       true, 1.5});
    targets.push_back({"store update / map update (find + assign) <= 2",
                       ratio(ns(Op::update, kStore), ns(Op::update, kMap)), true, 2});
    targets.push_back({"store update in batches of 64 / map update (find + assign) <= 2",
                       ratio(ns(Op::batchUpdate, kStore), ns(Op::update, kMap)), true, 2});
    targets.push_back({"store insert / map insert <= 2",
                       ratio(ns(Op::insert, kStore), ns(Op::insert, kMap)), true, 2});
  }
  if (entries == 1000000) {
    targets.push_back({"store reader lookup, single keys, other process / map find <= 1.5",
                       ratio(ns(Op::readerLookup, kStore), mapFind), true, 1.5});
    targets.push_back({"lookup through a shadow, other process / map find <= 2",
                       ratio(ns(Op::shadowLookup, kStore), mapFind), true, 2});
    targets.push_back({"store reader lookup, batches of 64 / map find <= 1.2",
                       ratio(ns(Op::readerBatch, kStore), mapFind), true, 1.2});
    targets.push_back({"LMDB put+commit (update) / store update >= 10",
                       ratio(ns(Op::update, kLmdb), ns(Op::update, kStore)), false, 10});
  }
  auto readsPerSecond = [&](char const* subject) -> std::optional<double> {
    auto figure = reporter.figure(Op::underUpdates, subject, v, entries);
    if (!figure) return std::nullopt;
    return figure->readerLookupsPerSecond;
  };
  targets.push_back({"store reader lookups/s under its writer / LMDB reader lookups/s under "
                     "its writer >= 5",
                     ratio(readsPerSecond(kStore), readsPerSecond(kLmdb)), false, 5});
  return targets;
}

std::string targetsTable(CollectingReporter const& reporter, SummaryScope const& scope) {
  std::string text =
      "\nTargets (ratios of figures measured in this run):\n\n"
      "| V | entries | target | measured | bound | met |\n"
      "|---:|---:|---|---:|---:|---|\n";
  for (auto v : scope.values) {
    for (auto n : scope.entryCounts) {
      for (auto const& target : targetsAt(reporter, v, n)) {
        std::string met = !target.measured ? "-"
                          : (target.atMost ? *target.measured <= target.bound
                                           : *target.measured >= target.bound)
                              ? "yes"
                              : "MISSED";
        text += fmt::format("| {} | {} | {} | {} | {} {} | {} |\n", v, n, target.text,
                            number(target.measured, 2), target.atMost ? "<=" : ">=",
                            target.bound, met);
      }
    }
  }
  return text;
}

std::string memoryTable(MemoryLog const& memory, SummaryScope const& scope) {
  std::string text =
      "\nMemory, measured once per subject when filled and once for the same subject "
      "empty. unordered_map: the heap bytes in use (mallinfo2 uordblks + hblkhd) that "
      "building and filling it left allocated: the map object, nodes, bucket array and "
      "the allocator's own overhead. store: the files named, each size rounded up to "
      "4096-byte pages, and the blocks /dev/shm holds for them (a reader's own memory, "
      "such as a shadow's index, is not counted). LMDB: the pages up to the last one "
      "used, and its data file (with MDB_WRITEMAP as large as the map at once):\n\n"
      "| memory of | V | entries | bytes | bytes / entry | empty bytes | "
      "(bytes - empty) / entry |\n"
      "|---|---:|---:|---:|---:|---:|---:|\n";
  for (auto v : scope.values) {
    for (auto n : scope.entryCounts) {
      for (auto const& what : memory.whats()) {
        auto filled = memory.filled(what, v, n);
        if (!filled) continue;
        auto empty = memory.empty(what, v);
        auto bytes = static_cast<double>(*filled);
        auto entries = static_cast<double>(n);
        std::optional<double> added;
        if (empty) added = (bytes - static_cast<double>(*empty)) / entries;
        text += fmt::format("| {} | {} | {} | {} | {} | {} | {} |\n", what, v, n, *filled,
                            number(bytes / entries), empty ? fmt::format("{}", *empty) : "-",
                            number(added));
      }
    }
  }
  return text;
}

struct SweepLine {
  char const* name;
  Op op;
  char const* subject;
};

constexpr SweepLine kSweepLines[] = {
    {"unordered_map find (same process)", Op::lookup, kMap},
    {"store reader (other process)", Op::readerLookup, kStore},
    {"store shadow (other process)", Op::shadowLookup, kStore},
    {"LMDB reader (other process)", Op::readerLookup, kLmdb},
};

std::string sweepTable(CollectingReporter const& reporter, SummaryScope const& scope) {
  std::string text = fmt::format(
      "\nLookup cost against entries, V = {}, single keys (ns per lookup):\n\n| entries |",
      scope.sweepValueBytes);
  std::string rule = "|---:|";
  for (auto const& line : kSweepLines) {
    text += fmt::format(" {} |", line.name);
    rule += "---:|";
  }
  text += "\n" + rule + "\n";
  for (auto n : scope.sweepEntries) {
    text += fmt::format("| {} |", n);
    for (auto const& line : kSweepLines) {
      text += fmt::format(" {} |",
                          number(reporter.ns(line.op, line.subject, scope.sweepValueBytes, n)));
    }
    text += "\n";
  }
  return text;
}

}  // namespace

std::string summary(CollectingReporter const& reporter, MemoryLog const& memory,
                    SummaryScope const& scope) {
  std::string text = figuresTable(reporter, scope);
  text += underUpdatesTable(reporter, scope);
  text += targetsTable(reporter, scope);
  text += memoryTable(memory, scope);
  if (scope.sweep) text += sweepTable(reporter, scope);
  return text;
}

std::vector<Series> sweepSeries(CollectingReporter const& reporter, SummaryScope const& scope) {
  std::vector<Series> series;
  for (auto const& line : kSweepLines) {
    Series one{line.name, {}};
    for (auto n : scope.sweepEntries) {
      auto ns = reporter.ns(line.op, line.subject, scope.sweepValueBytes, n);
      if (ns) one.points.emplace_back(static_cast<double>(n), *ns);
    }
    series.push_back(std::move(one));
  }
  return series;
}

}  // namespace Bench
