#pragma once

#include <algorithm>
#include <functional>
#include <string>

#include "agent/Agent.h"
#include "tables/AllTables.h"
#include "tests/e2e/ToolRunner.h"

namespace AgentTest {

using E2e::TempDir;

// The tool's chip server in a child process; ready to be connected to when
// constructed, killed when destroyed.
class ChipProcess {
 public:
  explicit ChipProcess(std::string socketPath)
      : socketPath_(std::move(socketPath)),
        tool_({"chip", "serve", "--socket", socketPath_}, "chip serving on") {}
  std::string const& socketPath() const { return socketPath_; }
  pid_t pid() const { return tool_.pid(); }
  void kill() { tool_.stop(SIGKILL); }

 private:
  std::string socketPath_;
  E2e::LiveTool tool_;
};

// Runs `body` in a child process. Returns once the child has either finished `body`
// (it is then killed with SIGKILL, the way a crash ends an agent) or died on its own.
// Returns how it ended: 128 + SIGKILL after `body`, 3 when `body` threw.
int runAndKill(std::function<void()> const& body);

HwAgent::Options optionsFor(std::string const& root, std::string const& socket, bool warm,
                            std::vector<U32> faps = {0, 1});

template <class Table>
Vorl::Ptr<Table> tableOf(HwAgent::Agent& agent) {
  return Vorl::ptrCast<Table>(agent.table(Table::tableName()));
}

template <class Table>
void setByte0(HwAgent::Agent& agent, U8 fap, typename Table::EntryKey const& key, U8 value) {
  auto table = tableOf<Table>(agent);
  auto entry = table->getEntry(Tessar::HwShadowKey::of(fap, 0), key);
  entry.dataByte0Is(0, value);
  table->setEntry(Tessar::HwShadowKey::of(fap, 0), entry);
}

template <class Table>
U8 byte0(HwAgent::Agent& agent, U8 fap, typename Table::EntryKey const& key) {
  return tableOf<Table>(agent)->getEntry(Tessar::HwShadowKey::of(fap, 0), key).dataByte0(0);
}

template <class Table>
bool isDefault(HwAgent::Agent& agent, U8 fap, typename Table::EntryKey const& key) {
  auto entry = tableOf<Table>(agent)->getEntry(Tessar::HwShadowKey::of(fap, 0), key);
  return std::all_of(entry.dataBytes(), entry.dataBytes() + Table::Entry::entrySize(),
                     [](auto byte) { return byte == 0; });
}

template <class Table>
void sendEntry(HwAgent::Agent& agent, U8 fap, typename Table::EntryKey const& key) {
  agent.send(tableOf<Table>(agent)->schanCmds(Tessar::HwShadowKey::of(fap, 0), key));
}

// A write of `rows` rows (data.size() / rows bytes each) at `row` of a memory on each of
// `faps`: a memoryWrite for one row, a memoryBulkWrite for more. The place defaults to
// the memory the chip tests use.
Vorl::Ptr<Pelcar::SchanCmd> memoryWrite(std::vector<U32> const& faps, U32 row, std::vector<U8> data,
                                        U32 rows = 1, U32 block = 38, U32 address = 0x770000,
                                        U8 arrayIndex = 0);
Vorl::Ptr<Pelcar::SchanCmds> listOf(std::vector<Vorl::Ptr<Pelcar::SchanCmd>> const& cmds);

std::size_t auditDifferences(HwAgent::Agent& agent);

}  // namespace AgentTest
