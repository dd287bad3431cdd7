// S-channel commands and ordered command lists.
//
// A command is a plain, inspectable value: what kind of access, to which FAPs,
// which block and address, which array and row, and the data bytes of a write.
// The tables build commands and hand the list back; the agent (here: the simulated
// chip) executes them. A null list (Ptr<SchanCmds>() ) means nothing to send.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <deque>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/hardware/FapRevision.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"

namespace Pelcar {

enum class SchanCmdKind : std::uint8_t {
  registerWrite,
  memoryWrite,
  memoryBulkWrite,  // DMA: rowCount rows back to back in `data`
  registerRead,
  memoryRead,
  memoryBulkRead,
};

HWTABLES_API char const* kindName(SchanCmdKind kind);

class HWTABLES_API SchanCmd : public Vorl::Node {
 public:
  SchanCmdKind kind = SchanCmdKind::registerWrite;
  Fapmask fapmask;
  Hardware::Sand::FapRevision fapRevision;
  Vorl::String memberName;  // the hardware register or memory, e.g. "ippaVttSpecialLabelValues"
  std::uint32_t block = 0;
  std::uint32_t address = 0;
  std::uint8_t arrayIndex = 0;
  std::uint32_t row = 0;  // the entry index, or the first row of a bulk access
  std::uint32_t entrySize = 0;
  std::uint32_t rowCount = 1;
  std::vector<std::uint8_t> data;

  bool isWrite() const;
  // One line: "memoryWrite faps={0-1} block=38 addr=0x770000 array=0 row=3 size=4 rows=1 data=16000000".
  Vorl::String toString() const;
  nlohmann::json toJson() const;
};

class HWTABLES_API SchanCmds : public Vorl::Node {
 public:
  void cmdEnq(Vorl::Ptr<SchanCmd> const& cmd) { cmds_.push_back(cmd); }
  void cmdEnq(Vorl::Ptr<SchanCmd>&& cmd) { cmds_.push_back(std::move(cmd)); }
  // Removes and returns the first command; null when the list is empty.
  Vorl::Ptr<SchanCmd> cmdDeq();

  std::size_t size() const { return cmds_.size(); }
  bool empty() const { return cmds_.empty(); }
  auto begin() const { return cmds_.begin(); }
  auto end() const { return cmds_.end(); }

  // Moves every command of `other`, in order, to the end of this list.
  void cmdsAppend(Vorl::Ptr<SchanCmds> const& other);

 private:
  std::deque<Vorl::Ptr<SchanCmd>> cmds_;
};

HWTABLES_API Vorl::Ptr<SchanCmds> schanCmdsFactory();

HWTABLES_API Vorl::String hexBytes(std::uint8_t const* bytes, std::size_t count);

}  // namespace Pelcar
