// What attaching a store's files found: AttachResult for one file, AttachOutcome for
// the store's files taken together.
//
// The numbers are those the writer's traces print ("slotsAttached:2"); they never
// reach a file.
#pragma once

#include <cstdint>

namespace Brell {

// What attaching one file found.
enum class AttachResult : std::uint8_t {
  created = 1,   // no usable file: a new one was formatted
  existing = 2,  // an existing file was attached (its contents are validated later)
  invalid = 8,   // the existing file's header is unusable; left as it is for a wipe
};

constexpr bool isAttachResult(AttachResult result) {
  return result == AttachResult::created || result == AttachResult::existing ||
         result == AttachResult::invalid;
}

// The results of all of a store's files combined. The files are usable together
// only when they all agree: all new, or all existing. Any mix (a new slot file
// beside an existing bucket file, an invalid header) means the files must be wiped.
// An empty outcome says the attach failed and the caller wipes.
class AttachOutcome {
 public:
  AttachOutcome() = default;
  AttachOutcome& operator|=(AttachResult result) {
    bits_ = static_cast<std::uint8_t>(bits_ | static_cast<std::uint8_t>(result));
    return *this;
  }
  friend AttachOutcome operator|(AttachOutcome outcome, AttachResult result) {
    return outcome |= result;
  }

  // Every file attached gave this result.
  bool is(AttachResult result) const { return bits_ == static_cast<std::uint8_t>(result); }
  bool usable() const { return is(AttachResult::created) || is(AttachResult::existing); }
  // The or of the results, as traces print it.
  unsigned bits() const { return bits_; }

 private:
  std::uint8_t bits_ = 0;
};

}  // namespace Brell
