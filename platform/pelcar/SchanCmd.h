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
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/hardware/FapRevision.h"
#include "platform/pelcar/Fapmask.h"
#include "platform/pelcar/MemberName.h"
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

// The data bytes of a command, read as a byte vector is. A few bytes (one row of a
// register or a memory) are held in the command itself, without an allocation. A
// bulk write's rows stay in the DMA pool buffer they were packed into, shared by
// every command written from that buffer (one per instance of the memory) and kept
// alive by them: nothing is copied. Any change first gives the command bytes of its
// own, so a shared buffer is never written through a command.
class HWTABLES_API SchanData {
 public:
  using value_type = std::uint8_t;
  using iterator = std::uint8_t const*;
  using const_iterator = std::uint8_t const*;
  using size_type = std::size_t;

  SchanData() = default;
  SchanData(std::vector<std::uint8_t> const& bytes) { assign(bytes.begin(), bytes.end()); }
  SchanData(std::initializer_list<std::uint8_t> bytes) { assign(bytes.begin(), bytes.end()); }
  SchanData(SchanData const& other);
  SchanData(SchanData&& other) noexcept;
  SchanData& operator=(SchanData const& other);
  SchanData& operator=(SchanData&& other) noexcept;
  SchanData& operator=(std::vector<std::uint8_t> const& bytes);
  SchanData& operator=(std::initializer_list<std::uint8_t> bytes);
  ~SchanData() = default;

  // `size` bytes at `bytes`, which `keeper` keeps alive; they are shared, not copied.
  static SchanData shared(Vorl::Ptr<Vorl::Node const> keeper, std::uint8_t const* bytes,
                          std::size_t size);
  bool isShared() const { return where_ == Where::shared; }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::uint8_t const* data() const {
    return where_ == Where::shared ? shared_ : where_ == Where::heap ? heap_.data() : inline_;
  }
  std::uint8_t const* begin() const { return data(); }
  std::uint8_t const* end() const { return data() + size_; }
  std::uint8_t operator[](std::size_t index) const { return data()[index]; }

  // Access for changes: the bytes become the command's own first. Reading goes
  // through the const accessors above, so that a read never copies shared bytes.
  std::uint8_t* mutableData();
  std::uint8_t& operator[](std::size_t index) { return mutableData()[index]; }

  template <class Iterator>
  void assign(Iterator first, Iterator last) {
    std::vector<std::uint8_t> bytes(first, last);
    assignBytes(bytes.data(), bytes.size());
  }
  void assign(std::uint8_t const* first, std::uint8_t const* last) {
    assignBytes(first, static_cast<std::size_t>(last - first));
  }
  void assign(std::uint8_t* first, std::uint8_t* last) {
    assignBytes(first, static_cast<std::size_t>(last - first));
  }
  void assign(std::size_t count, std::uint8_t value);
  void resize(std::size_t count, std::uint8_t value = 0);
  void push_back(std::uint8_t value) { resize(size_ + 1, value); }
  void clear();

  // Explicit: a copy of the rows, never made without the caller asking for one.
  explicit operator std::vector<std::uint8_t>() const { return {begin(), end()}; }

  friend bool operator==(SchanData const& left, SchanData const& right) {
    return equalBytes(left, right.data(), right.size());
  }
  friend bool operator==(SchanData const& left, std::vector<std::uint8_t> const& right) {
    return equalBytes(left, right.data(), right.size());
  }

 private:
  enum class Where : std::uint8_t { inlined, heap, shared };
  static constexpr std::size_t kInlineBytes = 32;

  static bool equalBytes(SchanData const& left, std::uint8_t const* bytes, std::size_t size);
  // Copies `size` bytes (which may lie in this object's own bytes) as the new content.
  void assignBytes(std::uint8_t const* bytes, std::size_t size);
  // Ends sharing: the shared bytes are copied into the command's own.
  void own();

  Where where_ = Where::inlined;
  std::uint32_t size_ = 0;
  std::uint8_t inline_[kInlineBytes] = {};
  std::vector<std::uint8_t> heap_;  // the bytes when they do not fit inline_
  Vorl::Ptr<Vorl::Node const> keeper_;
  std::uint8_t const* shared_ = nullptr;
};

class HWTABLES_API SchanCmd : public Vorl::Node {
 public:
  SchanCmdKind kind = SchanCmdKind::registerWrite;
  Fapmask fapmask;
  Hardware::Sand::FapRevision fapRevision;
  MemberName memberName;  // the hardware register or memory, e.g. "ippaVttSpecialLabelValues"
  std::uint32_t block = 0;
  std::uint32_t address = 0;
  std::uint8_t arrayIndex = 0;
  std::uint32_t row = 0;  // the entry index, or the first row of a bulk access
  std::uint32_t entrySize = 0;
  std::uint32_t rowCount = 1;
  SchanData data;

  // A download makes and drops commands by the thousand: a thread keeps the blocks of
  // the commands it drops (up to kKeptCommandBlocks) for the next ones it makes.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;
  static constexpr std::size_t kKeptCommandBlocks = 2048;

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
