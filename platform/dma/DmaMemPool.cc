#include "platform/dma/DmaMemPool.h"

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
}

Vorl::Ptr<DmaMemPoolBuffer> DmaMemPoolManager::buffer() {
  ++buffersHandedOut_;
  for (auto const& kept : kept_) {
    if (kept->references() == 1) return kept;
  }
  auto fresh = Vorl::makePtr<DmaMemPoolBuffer>(bufferBytes_);
  if (kept_.size() < kKeptBuffers) kept_.push_back(fresh);
  return fresh;
}

}  // namespace DmaMemPoolManager
