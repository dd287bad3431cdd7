#include "platform/pelcar/SchanCmd.h"

#include <nlohmann/json.hpp>

namespace Pelcar {

char const* kindName(SchanCmdKind kind) {
  switch (kind) {
    case SchanCmdKind::registerWrite: return "registerWrite";
    case SchanCmdKind::memoryWrite: return "memoryWrite";
    case SchanCmdKind::memoryBulkWrite: return "memoryBulkWrite";
    case SchanCmdKind::registerRead: return "registerRead";
    case SchanCmdKind::memoryRead: return "memoryRead";
    case SchanCmdKind::memoryBulkRead: return "memoryBulkRead";
  }
  return "unknown";
}

bool SchanCmd::isWrite() const {
  return kind == SchanCmdKind::registerWrite || kind == SchanCmdKind::memoryWrite ||
         kind == SchanCmdKind::memoryBulkWrite;
}

Vorl::String hexBytes(std::uint8_t const* bytes, std::size_t count) {
  Vorl::String text;
  text.reserve(count * 2);
  for (std::size_t index = 0; index < count; ++index) text += fmt::format("{:02x}", bytes[index]);
  return text;
}

Vorl::String SchanCmd::toString() const {
  return fmt::format("{} {} faps={} block={} addr={:#x} array={} row={} size={} rows={} data={}",
                     kindName(kind), memberName, fapmask, block, address, arrayIndex, row,
                     entrySize, rowCount, hexBytes(data.data(), data.size()));
}

nlohmann::json SchanCmd::toJson() const {
  nlohmann::json faps = nlohmann::json::array();
  for (auto id : fapmask.fapIds()) faps.push_back(id.value);
  return {{"kind", kindName(kind)},     {"member", memberName},
          {"faps", faps},               {"fapRevision", fapRevision.revString()},
          {"block", block},             {"address", address},
          {"arrayIndex", arrayIndex},   {"row", row},
          {"entrySize", entrySize},     {"rowCount", rowCount},
          {"data", hexBytes(data.data(), data.size())}};
}

Vorl::Ptr<SchanCmd> SchanCmds::cmdDeq() {
  if (cmds_.empty()) return nullptr;
  auto first = std::move(cmds_.front());
  cmds_.pop_front();
  return first;
}

void SchanCmds::cmdsAppend(Vorl::Ptr<SchanCmds> const& other) {
  if (!other || other.get() == this) return;
  // Moved, not copied: no reference count changes hands twice per command.
  for (auto& cmd : other->cmds_) cmds_.push_back(std::move(cmd));
  other->cmds_.clear();
}

Vorl::Ptr<SchanCmds> schanCmdsFactory() { return Vorl::makePtr<SchanCmds>(); }

}  // namespace Pelcar
