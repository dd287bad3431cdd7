#include "platform/dma/DmaMemPool.h"

#include <atomic>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace DmaMemPoolManager {

DmaMemPoolManager::DmaMemPoolManager(U32 bufferBytes) : bufferBytes_(0) {
  bufferBytesIs(bufferBytes);
}

void DmaMemPoolManager::bufferBytesIs(U32 bufferBytes) {
  if (bufferBytes == 0 || bufferBytes > kMaxBufferBytes) {
    throw Vorl::RangeException(
        fmt::format("DMA buffer size {} bytes is outside 1..{}", bufferBytes, kMaxBufferBytes));
  }
  if (bufferBytes == bufferBytes_) return;
  bufferBytes_ = bufferBytes;
  kept_.clear();
  next_ = 0;
}

Vorl::Ptr<DmaMemPoolBuffer> DmaMemPoolManager::buffer() {
  ++buffersHandedOut_;
  // Buffers come back in about the order they went out (a download's commands are
  // dropped together, after they were sent), so a search that starts after the last
  // buffer handed out finds a free one at once. Only while every kept buffer is held
  // (the first download) does it look at all of them.
  for (std::size_t step = 0; step < kept_.size(); ++step) {
    auto const& candidate = kept_[next_];
    next_ = next_ + 1 == kept_.size() ? 0 : next_ + 1;
    if (candidate->references() == 1) {
      // Pairs with the release of the last other holder's reference: its reads of
      // the buffer happen before the next user's writes.
      std::atomic_thread_fence(std::memory_order_acquire);
      return candidate;
    }
  }
  auto fresh = Vorl::makePtr<DmaMemPoolBuffer>(bufferBytes_);
  if (kept_.empty() || (kept_.size() + 1) * std::size_t{bufferBytes_} <= kKeptBytes) {
    kept_.push_back(fresh);
  }
  return fresh;
}

}  // namespace DmaMemPoolManager
