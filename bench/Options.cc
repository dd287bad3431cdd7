#include "bench/Options.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

namespace Bench {
// The store's table holds at most this many entries (StoreSubject's descriptor).
constexpr std::size_t kMostEntries = std::size_t{1} << 22;

namespace {

bool allDigits(std::string const& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A comma-separated list of entry counts or value sizes: decimal numbers, nothing else.
std::vector<std::size_t> parseList(std::string const& option, std::string const& text) {
  std::vector<std::size_t> list;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    if (item.empty() || item.size() > 9 || !allDigits(item)) {
      throw std::invalid_argument(
          fmt::format("{}: '{}' is not a number (expected a comma-separated list)", option, item));
    }
    list.push_back(std::stoul(item));
    start = end + 1;
  }
  return list;
}

std::vector<std::size_t> parseEntryCounts(std::string const& option, std::string const& text) {
  auto list = parseList(option, text);
  for (auto entries : list) {
    if (entries == 0 || entries > kMostEntries) {
      throw std::invalid_argument(
          fmt::format("{}: {} entries is not between 1 and {}", option, entries, kMostEntries));
    }
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}

}  // namespace

Options parseOptions(int argc, char** argv) {
  Options options;
  options.benchmarkArgs.push_back(argv[0]);
  auto optionValue = [](std::string const& arg,
                        std::string const& prefix) -> std::optional<std::string> {
    if (arg.rfind(prefix, 0) != 0) return std::nullopt;
    return arg.substr(prefix.size());
  };
  for (int index = 1; index < argc; ++index) {
    std::string arg = argv[index];
    if (auto text = optionValue(arg, "--value-bytes=")) {
      options.values = parseList("--value-bytes", *text);
      std::sort(options.values.begin(), options.values.end());
      options.values.erase(std::unique(options.values.begin(), options.values.end()),
                           options.values.end());
    } else if (auto text = optionValue(arg, "--entries=")) {
      options.entryCounts = parseEntryCounts("--entries", *text);
    } else if (auto text = optionValue(arg, "--markdown=")) {
      options.markdown = *text;
    } else if (auto text = optionValue(arg, "--svg=")) {
      options.svg = *text;
    } else if (auto text = optionValue(arg, "--plot-value-bytes=")) {
      auto list = parseList("--plot-value-bytes", *text);
      if (list.size() != 1) throw std::invalid_argument("--plot-value-bytes: give one value size");
      options.plotValueBytes = list.front();
    } else if (auto text = optionValue(arg, "--plot-entries=")) {
      options.plotEntries = parseEntryCounts("--plot-entries", *text);
    } else {
      options.minTimeGiven |= arg.rfind("--benchmark_min_time", 0) == 0;
      if (auto text = optionValue(arg, "--benchmark_repetitions=")) {
        auto list = parseList("--benchmark_repetitions", *text);
        if (list.size() != 1 || list.front() == 0) {
          throw std::invalid_argument("--benchmark_repetitions: give one number, at least 1");
        }
        options.repetitions = static_cast<int>(list.front());
      }
      options.benchmarkArgs.push_back(argv[index]);
    }
    if ((arg.rfind("--markdown=", 0) == 0 && options.markdown.empty()) ||
        (arg.rfind("--svg=", 0) == 0 && options.svg.empty())) {
      throw std::invalid_argument(arg + ": give a file name");
    }
  }
  return options;
}

bool writeFile(std::string const& path, std::string const& text) {
  std::ofstream out(path);
  out << text;
  out.close();
  if (!out) {
    fmt::print(stderr, "hwtables-bench: cannot write {}\n", path);
    return false;
  }
  return true;
}

}  // namespace Bench
