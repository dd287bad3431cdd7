#include "platform/pelcar/SchanCmd.h"

#include <cstring>
#include <new>

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

SchanData::SchanData(SchanData const& other) { *this = other; }

SchanData::SchanData(SchanData&& other) noexcept { *this = std::move(other); }

SchanData& SchanData::operator=(SchanData const& other) {
  if (this == &other) return *this;
  if (other.isShared()) {
    keeper_ = other.keeper_;
    shared_ = other.shared_;
    size_ = other.size_;
    where_ = Where::shared;
    heap_.clear();
  } else {
    assignBytes(other.data(), other.size());
  }
  return *this;
}

SchanData& SchanData::operator=(SchanData&& other) noexcept {
  if (this == &other) return *this;
  where_ = other.where_;
  size_ = other.size_;
  std::memcpy(inline_, other.inline_, kInlineBytes);
  heap_ = std::move(other.heap_);
  keeper_ = std::move(other.keeper_);
  shared_ = other.shared_;
  other.where_ = Where::inlined;
  other.size_ = 0;
  other.heap_.clear();
  other.shared_ = nullptr;
  return *this;
}

SchanData& SchanData::operator=(std::vector<std::uint8_t> const& bytes) {
  assignBytes(bytes.data(), bytes.size());
  return *this;
}

SchanData& SchanData::operator=(std::initializer_list<std::uint8_t> bytes) {
  assignBytes(bytes.begin(), bytes.size());
  return *this;
}

SchanData SchanData::shared(Vorl::Ptr<Vorl::Node const> keeper, std::uint8_t const* bytes,
                            std::size_t size) {
  SchanData data;
  data.where_ = Where::shared;
  data.keeper_ = std::move(keeper);
  data.shared_ = bytes;
  data.size_ = static_cast<std::uint32_t>(size);
  return data;
}

std::uint8_t* SchanData::mutableData() {
  own();
  return where_ == Where::heap ? heap_.data() : inline_;
}

void SchanData::assignBytes(std::uint8_t const* bytes, std::size_t size) {
  if (size <= kInlineBytes) {
    // memmove: the bytes may be this object's own.
    if (size != 0) std::memmove(inline_, bytes, size);
    where_ = Where::inlined;
    heap_.clear();
  } else if (where_ == Where::heap && bytes >= heap_.data() && bytes < heap_.data() + heap_.size()) {
    std::vector<std::uint8_t> copy(bytes, bytes + size);
    heap_ = std::move(copy);
  } else {
    heap_.assign(bytes, bytes + size);
    where_ = Where::heap;
  }
  // Let go of a shared buffer only once its bytes were copied.
  keeper_ = nullptr;
  shared_ = nullptr;
  size_ = static_cast<std::uint32_t>(size);
}

void SchanData::own() {
  if (where_ == Where::shared) assignBytes(shared_, size_);
}

void SchanData::assign(std::size_t count, std::uint8_t value) {
  clear();
  resize(count, value);
}

void SchanData::resize(std::size_t count, std::uint8_t value) {
  own();
  if (where_ == Where::inlined && count > kInlineBytes) {
    heap_.assign(inline_, inline_ + size_);
    where_ = Where::heap;
  }
  if (where_ == Where::heap) {
    heap_.resize(count, value);
  } else if (count > size_) {
    std::memset(inline_ + size_, value, count - size_);
  }
  size_ = static_cast<std::uint32_t>(count);
}

void SchanData::clear() {
  where_ = Where::inlined;
  size_ = 0;
  heap_.clear();
  keeper_ = nullptr;
  shared_ = nullptr;
}

bool SchanData::equalBytes(SchanData const& left, std::uint8_t const* bytes, std::size_t size) {
  return left.size() == size && (size == 0 || std::memcmp(left.data(), bytes, size) == 0);
}

namespace {

// The blocks of a thread's dropped commands, linked through their first bytes. Plain
// data, so that it outlives the thread's objects with destructors: a command dropped
// after the list was emptied at thread exit goes back to the heap.
struct FreeCommandBlocks {
  struct Block {
    Block* next;
  };
  Block* head = nullptr;
  std::size_t count = 0;
  bool closed = false;
};
thread_local FreeCommandBlocks freeBlocks;

// Returns the thread's kept blocks to the heap when the thread ends.
struct FreeCommandBlocksCloser {
  ~FreeCommandBlocksCloser() {
    freeBlocks.closed = true;
    while (freeBlocks.head != nullptr) {
      auto* next = freeBlocks.head->next;
      ::operator delete(freeBlocks.head);
      freeBlocks.head = next;
    }
    freeBlocks.count = 0;
  }
};

// Under AddressSanitizer every command goes to the heap, so that a use after free
// is still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepCommandBlocks = false;
#else
constexpr bool kKeepCommandBlocks = true;
#endif

}  // namespace

void* SchanCmd::operator new(std::size_t size) {
  auto& blocks = freeBlocks;
  if (kKeepCommandBlocks && size == sizeof(SchanCmd) && blocks.head != nullptr) {
    auto* block = blocks.head;
    blocks.head = block->next;
    --blocks.count;
    return block;
  }
  return ::operator new(size);
}

void SchanCmd::operator delete(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  auto& blocks = freeBlocks;
  if (kKeepCommandBlocks && size == sizeof(SchanCmd) && !blocks.closed &&
      blocks.count < kKeptCommandBlocks) {
    thread_local FreeCommandBlocksCloser closer;
    blocks.head = new (block) FreeCommandBlocks::Block{blocks.head};
    ++blocks.count;
    return;
  }
  ::operator delete(block);
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
                     kindName(kind), memberName.view(), fapmask, block, address, arrayIndex, row,
                     entrySize, rowCount, hexBytes(data.data(), data.size()));
}

nlohmann::json SchanCmd::toJson() const {
  nlohmann::json faps = nlohmann::json::array();
  for (auto id : fapmask.fapIds()) faps.push_back(id.value);
  return {{"kind", kindName(kind)},     {"member", std::string(memberName.view())},
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
