// Fuzz target: one command-line argument's text, given to every parser of tables,
// FAP lists and revisions: a result that keeps the parser's promises, or a UsageError.
#include <cstdlib>

#include "platform/hardware/FapRevision.h"
#include "tests/fuzz/FuzzInput.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/Errors.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string text(reinterpret_cast<char const*>(data), size);
  try {
    auto faps = Tool::parseFaps(text);
    for (std::size_t index = 0; index < faps.size(); ++index) {
      if (faps[index] > 255 || faps[index] == 128) std::abort();
      if (index > 0 && faps[index] <= faps[index - 1]) std::abort();
    }
    Tool::fapsText(faps);
  } catch (Tool::UsageError const&) {
  }
  try {
    auto revision = Tool::parseRevision(text);
    if (revision.revString() != text) std::abort();
  } catch (Tool::UsageError const&) {
  }
  Hardware::Sand::FapRevision revision;
  if (Hardware::Sand::fapRevisionFromString(text, revision) && revision.revString() != text) {
    std::abort();
  }
  return 0;
}
