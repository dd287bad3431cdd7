// The name of a register or memory as commands carry it: Pelcar::MemberName.
#pragma once

#include "platform/plugin/Export.h"

#include <cstddef>
#include <string_view>
#include <utility>

namespace Pelcar {

// The name of the register or memory a command reaches. It reads as a string_view; a
// copy shares the text (a reference count in the text's one allocation), so that every
// command written to a member carries the name its description made once, where a
// string of this length is an allocation per command. A text never changes once made; assigning
// gives the name a new one. Copies may be dropped on any thread.
class HWTABLES_API MemberName {
 public:
  MemberName() = default;
  explicit MemberName(std::string_view text);
  MemberName(MemberName const& other) : text_(other.text_) { acquire(); }
  MemberName(MemberName&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
  MemberName& operator=(MemberName other) noexcept {
    std::swap(text_, other.text_);
    return *this;
  }
  MemberName& operator=(std::string_view text) { return *this = MemberName(text); }
  ~MemberName() { release(); }

  std::string_view view() const;
  operator std::string_view() const { return view(); }
  std::size_t size() const { return view().size(); }
  bool empty() const { return text_ == nullptr; }

  friend bool operator==(MemberName const& left, std::string_view right) {
    return left.view() == right;
  }
  friend bool operator==(MemberName const& left, MemberName const& right) {
    return left.text_ == right.text_ || left.view() == right.view();
  }

 private:
  struct Text;  // its reference count and size, then its characters
  void acquire() const;
  void release();

  Text* text_ = nullptr;  // null for the empty name
};

}  // namespace Pelcar
