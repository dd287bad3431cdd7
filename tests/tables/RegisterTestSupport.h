#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "platform/tessar/TableManager.h"
#include "platform/vorl/Trace.h"
#include "tables/AllTables.h"

namespace RegisterTest {

template <class Entry>
std::vector<U8> bytesOf(Entry const& entry) {
  return {entry.dataBytes(), entry.dataBytes() + Entry::entrySize()};
}

inline std::vector<U8> bytesOf(Pelcar::SchanCmd const& cmd) {
  return std::vector<U8>(cmd.data);
}

// Each command as its one-line text: kind, member, FAPs, place, rows and data.
inline std::vector<std::string> linesOf(Pelcar::SchanCmds const& cmds) {
  std::vector<std::string> lines;
  for (auto const& cmd : cmds) lines.push_back(cmd->toString());
  return lines;
}

template <class Table>
Vorl::Ptr<Table> makeTable(
    Vorl::Ptr<Tessar::TableManager> const& manager,
    Hardware::Sand::FapRevision revision = Hardware::Sand::bcm88490_a0Revision) {
  return Vorl::ptrCast<Table>(Table::factory(revision, manager, nullptr));
}

struct Trace {
  std::string handle;
  int level;
  std::string text;
};

// Captures every trace while it lives; `config` turns handles on ("Name=0-9,...").
class TraceCapture {
 public:
  explicit TraceCapture(std::string const& config) {
    Vorl::traceConfigIs(config);
    Vorl::traceSinkIs([this](std::string_view handle, int level, std::string_view text) {
      traces_.push_back({std::string(handle), level, std::string(text)});
    });
  }
  ~TraceCapture() {
    Vorl::traceSinkIs({});
    Vorl::traceConfigIs("");
  }

  bool has(std::string_view handle, int level, std::string_view text) const {
    for (auto const& trace : traces_) {
      if (trace.handle == handle && trace.level == level && trace.text == text) return true;
    }
    return false;
  }
  std::size_t count(std::string_view text) const {
    std::size_t count = 0;
    for (auto const& trace : traces_) count += trace.text == text ? 1 : 0;
    return count;
  }

 private:
  std::vector<Trace> traces_;
};

}  // namespace RegisterTest
