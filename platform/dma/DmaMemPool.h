// The agent's DMA memory pool: fixed-size buffers that bulk commands carry.
//
// A memory table packs the rows of a whole-memory write back to back into pool
// buffers and builds one bulk write per buffer. Every buffer of a pool has the same
// size, chosen when the pool is made; a table takes as many rows as fit
// (buffer size / entry size). A buffer goes back to the pool when its last user lets
// go of it and is handed out again as it is (its bytes are not cleared: a user
// writes what it sends). A bulk write command keeps its buffer until the command is
// dropped, so a download holds a buffer per bulk write; the pool keeps up to
// kKeptBytes of buffers, and the next download reuses them instead of allocating.
// The pool counts what it handed out, so tools and tests can see how a download was
// packed.
//
// Thread-safety: none; the agent's owning thread uses a pool.
#pragma once

#include "platform/plugin/Export.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/vorl/Ptr.h"
#include "platform/vorl/Types.h"

namespace DmaMemPoolManager {

class HWTABLES_API DmaMemPoolBuffer : public Vorl::Node {
 public:
  explicit DmaMemPoolBuffer(U32 size) : bytes_(size, 0) {}

  U32 size() const { return static_cast<U32>(bytes_.size()); }
  U8* data() { return bytes_.data(); }
  U8 const* data() const { return bytes_.data(); }
  // Where the data of a transfer start: the first byte of the buffer.
  U8* vaCursor() { return bytes_.data(); }
  U8 const* vaCursor() const { return bytes_.data(); }

 private:
  std::vector<U8> bytes_;
};

class HWTABLES_API DmaMemPoolManager : public Vorl::Node {
 public:
  // Largest buffer a pool hands out; larger requests are refused, not allocated.
  static constexpr U32 kMaxBufferBytes = 64u << 20;
  // The most buffer bytes a pool keeps for reuse (a download of every table on 48
  // FAPs with 4096-byte buffers holds 2.6 MiB); at least one buffer is kept.
  static constexpr std::size_t kKeptBytes = 4u << 20;

  // Throws Vorl::RangeException for a size of 0 or above kMaxBufferBytes.
  explicit DmaMemPoolManager(U32 bufferBytes);

  U32 bufferBytes() const { return bufferBytes_; }
  // Changes the size of the buffers handed out from now on, for every holder of the
  // pool (table manager, shadows, readers); buffers handed out before keep theirs.
  // Throws Vorl::RangeException as the constructor does, and then changes nothing.
  void bufferBytesIs(U32 bufferBytes);
  // A buffer of bufferBytes() that no one else holds.
  Vorl::Ptr<DmaMemPoolBuffer> buffer();
  std::uint64_t buffersHandedOut() const { return buffersHandedOut_; }
  // Buffers kept for reuse, in use or not.
  std::size_t buffersKept() const { return kept_.size(); }

 private:
  U32 bufferBytes_;
  std::uint64_t buffersHandedOut_ = 0;
  // Buffers kept for reuse; one only the pool references is free.
  std::vector<Vorl::Ptr<DmaMemPoolBuffer>> kept_;
  // Where the search for a free buffer starts: after the last one handed out.
  std::size_t next_ = 0;
};

}  // namespace DmaMemPoolManager
