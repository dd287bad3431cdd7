#include "platform/vorl/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/vorl/Exceptions.h"

namespace Vorl {
namespace {

struct Rule {
  String pattern;
  std::uint32_t mask;
};

bool matches(std::string_view pattern, std::string_view name) {
  if (!pattern.empty() && pattern.back() == '*') {
    pattern.remove_suffix(1);
    return name.substr(0, pattern.size()) == pattern;
  }
  return pattern == name;
}

int parseLevel(std::string_view text, std::string_view entry) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '9') {
    throw RangeException(fmt::format("bad trace level '{}' in '{}'", text, entry));
  }
  return text[0] - '0';
}

std::vector<Rule> parseConfig(std::string_view config) {
  std::vector<Rule> rules;
  while (!config.empty()) {
    auto comma = config.find(',');
    std::string_view entry = config.substr(0, comma);
    config = comma == std::string_view::npos ? std::string_view{} : config.substr(comma + 1);
    if (entry.empty()) continue;
    auto equals = entry.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      throw RangeException(fmt::format("bad trace setting '{}': expected Name=levels", entry));
    }
    std::string_view levels = entry.substr(equals + 1);
    std::uint32_t mask = 0;
    if (auto dash = levels.find('-'); dash != std::string_view::npos) {
      int low = parseLevel(levels.substr(0, dash), entry);
      int high = parseLevel(levels.substr(dash + 1), entry);
      if (low > high) throw RangeException(fmt::format("bad trace level range in '{}'", entry));
      for (int level = low; level <= high; ++level) mask |= 1u << level;
    } else {
      mask = 1u << parseLevel(levels, entry);
    }
    String pattern(entry.substr(0, equals));
    // Several entries for one pattern add up ("A=3,A=8" turns on levels 3 and 8).
    if (!rules.empty() && rules.back().pattern == pattern) {
      rules.back().mask |= mask;
    } else {
      rules.push_back({pattern, mask});
    }
  }
  return rules;
}

class Registry {
 public:
  static Registry& instance() {
    static Registry* registry = new Registry();  // never destroyed: traces may run at exit
    return *registry;
  }

  TraceHandle& handle(std::string_view name) {
    std::lock_guard lock(mutex_);
    auto found = handles_.find(name);
    if (found != handles_.end()) return *found->second;
    auto handle = std::make_unique<TraceHandle>(String(name), maskFor(name));
    return *handles_.emplace(String(name), std::move(handle)).first->second;
  }

  void configIs(std::string_view config) {
    auto rules = parseConfig(config);
    std::lock_guard lock(mutex_);
    rules_ = std::move(rules);
    for (auto& [name, handle] : handles_) handle->maskIs(maskFor(name));
  }

  void sinkIs(TraceSink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::make_shared<TraceSink>(std::move(sink));
  }

  void emit(std::string_view handle, int level, std::string_view text) {
    std::shared_ptr<TraceSink> sink;
    {
      std::lock_guard lock(mutex_);
      sink = sink_;
    }
    if (sink && *sink) {
      (*sink)(handle, level, text);
      return;
    }
    std::lock_guard lock(outputMutex_);
    fmt::print(output_, "{}/{}: {}\n", handle, level, text);
    std::fflush(output_);
  }

 private:
  Registry() {
    if (char const* config = std::getenv("HWTABLES_TRACE")) {
      try {
        rules_ = parseConfig(config);
      } catch (RangeException const& error) {
        fmt::print(stderr, "HWTABLES_TRACE ignored: {}\n", error.what());
      }
    }
    if (char const* path = std::getenv("HWTABLES_TRACE_FILE")) {
      if (std::FILE* file = std::fopen(path, "ae")) output_ = file;
    }
  }

  std::uint32_t maskFor(std::string_view name) const {
    std::uint32_t mask = 0;
    for (auto const& rule : rules_) {
      if (matches(rule.pattern, name)) mask = rule.mask;
    }
    return mask;
  }

  std::mutex mutex_;
  std::mutex outputMutex_;
  std::map<String, std::unique_ptr<TraceHandle>, std::less<>> handles_;
  std::vector<Rule> rules_;
  std::shared_ptr<TraceSink> sink_;
  std::FILE* output_ = stderr;
};

}  // namespace

void TraceHandle::emit(int level, std::string_view text) const {
  Registry::instance().emit(name_, level, text);
}

TraceHandle& traceHandle(std::string_view name) { return Registry::instance().handle(name); }

void traceConfigIs(std::string_view config) { Registry::instance().configIs(config); }

void traceSinkIs(TraceSink sink) { Registry::instance().sinkIs(std::move(sink)); }

}  // namespace Vorl
