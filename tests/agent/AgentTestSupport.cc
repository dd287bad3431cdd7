#include "tests/agent/AgentTestSupport.h"

#include "tests/e2e/E2eTest.h"

namespace AgentTest {
namespace {

// How a child process ended: its exit status, or 128 + the signal that ended it.
int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace

int runAndKill(std::function<void()> const& body) {
  int done[2];
  if (::pipe(done) != 0) throw std::runtime_error("no pipe");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("no fork");
  if (pid == 0) {
    ::close(done[0]);
    try {
      body();
    } catch (...) {
      ::_exit(3);
    }
    char byte = 1;
    if (::write(done[1], &byte, 1) != 1) ::_exit(4);
    // The agent is not stopped: it is killed where it stands, as a crash would.
    for (;;) ::pause();
  }
  ::close(done[1]);
  char byte = 0;
  auto got = ::read(done[0], &byte, 1);  // 0: the child died before finishing
  ::close(done[0]);
  if (got == 1) ::kill(pid, SIGKILL);
  return waitFor(pid);
}

HwAgent::Options optionsFor(std::string const& root, std::string const& socket, bool warm,
                            std::vector<U32> faps) {
  HwAgent::Options options;
  options.faps = std::move(faps);
  options.storeRoot = root;
  options.chipSocket = socket;
  options.warm = warm;
  options.chipTimeout = std::chrono::milliseconds(20000);
  return options;
}

Vorl::Ptr<Pelcar::SchanCmd> memoryWrite(std::vector<U32> const& faps, U32 row, std::vector<U8> data,
                                        U32 rows, U32 block, U32 address, U8 arrayIndex) {
  auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
  cmd->kind = rows == 1 ? Pelcar::SchanCmdKind::memoryWrite : Pelcar::SchanCmdKind::memoryBulkWrite;
  for (auto fap : faps) cmd->fapmask.fapIdIs(Pelcar::FapId(fap), true);
  cmd->block = block;
  cmd->address = address;
  cmd->arrayIndex = arrayIndex;
  cmd->row = row;
  cmd->rowCount = rows;
  cmd->entrySize = static_cast<U32>(data.size() / rows);
  cmd->data = std::move(data);
  return cmd;
}

Vorl::Ptr<Pelcar::SchanCmds> listOf(std::vector<Vorl::Ptr<Pelcar::SchanCmd>> const& cmds) {
  auto list = Pelcar::schanCmdsFactory();
  for (auto const& cmd : cmds) list->cmdEnq(cmd);
  return list;
}

std::size_t auditDifferences(HwAgent::Agent& agent) {
  std::size_t differences = 0;
  for (auto const& audit : agent.audit()) differences += audit.differences.size();
  return differences;
}

}  // namespace AgentTest
