#include "platform/sharedmem/ProcessIdentity.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

namespace SharedMem {
namespace {

// Field 22 of /proc/<pid>/stat. The second field is the command name in
// parentheses and may itself hold blanks or ')', so parsing starts after the last ')'.
std::uint64_t startTimeOf(std::uint32_t processId) {
  std::ifstream stat(fmt::format("/proc/{}/stat", processId));
  if (!stat) return 0;
  std::string line;
  std::getline(stat, line);
  auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  // After ')' come field 3 (state) onwards; field 22 is the 20th of them.
  for (int index = 3; index <= 22; ++index) {
    if (!(fields >> field)) return 0;
  }
  char* end = nullptr;
  std::uint64_t value = std::strtoull(field.c_str(), &end, 10);
  return end != nullptr && *end == '\0' ? value : 0;
}

}  // namespace

std::string ProcessIdentity::toString() const {
  return fmt::format("{}@{}", processId, startTime);
}

ProcessIdentity ProcessIdentity::self() {
  auto processId = static_cast<std::uint32_t>(::getpid());
  return ProcessIdentity{processId, startTimeOf(processId)};
}

ProcessIdentity ProcessIdentity::of(std::uint32_t processId) {
  if (processId == 0) return {};
  std::uint64_t startTime = startTimeOf(processId);
  if (startTime == 0) return {};
  return ProcessIdentity{processId, startTime};
}

bool ProcessIdentity::alive() const {
  if (processId == 0) return false;
  if (::kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH) return false;
  if (startTime == 0) return true;
  return startTimeOf(processId) == startTime;
}

}  // namespace SharedMem
