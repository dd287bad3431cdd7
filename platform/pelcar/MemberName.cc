#include "platform/pelcar/MemberName.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace Pelcar {

struct MemberName::Text {
  std::atomic<std::uint32_t> references{1};
  std::uint32_t size = 0;
  char* characters() { return reinterpret_cast<char*>(this + 1); }
};

MemberName::MemberName(std::string_view text) {
  if (text.empty()) return;
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("member name longer than 4 GiB");
  }
  void* block = ::operator new(sizeof(Text) + text.size());
  text_ = new (block) Text;
  text_->size = static_cast<std::uint32_t>(text.size());
  std::memcpy(text_->characters(), text.data(), text.size());
}

std::string_view MemberName::view() const {
  return text_ == nullptr ? std::string_view() : std::string_view(text_->characters(), text_->size);
}

void MemberName::acquire() const {
  if (text_ != nullptr) text_->references.fetch_add(1, std::memory_order_relaxed);
}

void MemberName::release() {
  if (text_ == nullptr) return;
  if (text_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    text_->~Text();
    ::operator delete(text_);
  }
  text_ = nullptr;
}

}  // namespace Pelcar
