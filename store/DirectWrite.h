// The state of a two-phase write (directWrite, then directCommit): the slot the
// value goes to, whether that slot is new, where a new one is linked, and the staged
// value the caller may still change.
//
// Between the two phases the writer's critical section stays open, so no other
// change may happen: every other operation first checks that no two-phase write is
// pending, and a mismatched pair is a programming error that stops the process.
//
// Thread-safety: the writer's thread only.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/asic/Assert.h"
#include "store/Link.h"
#include "store/Traits.h"
#include "store/WriterHashMap.h"

namespace Brell {

template <StoreTraits T>
class DirectWrite {
 public:
  using Value = typename T::Value;

  bool pending() const { return slot_ != kNullReference; }

  // Stops the process when a two-phase write is pending. `context()` adds to the
  // message what the caller was about to do; it is called only on failure.
  template <class Context>
  void requireNone(Context const& context) const {
    ASIC_FATAL_CHECK(!pending(),
                     "unbalanced directSlot:{}{} - Make sure the DirectIs/Commit are properly "
                     "paired!",
                     slot_, context());
  }
  void requireNone() const {
    requireNone([] { return ""; });
  }
  // " containing value:<bytes>", for the messages of requireNone.
  std::string stagedText() const { return " containing value:" + bytesText(staged_); }

  void requirePending() const {
    ASIC_FATAL_CHECK(pending(),
                     "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
  }

  // The first phase: stages `value` for `slot` (isNew: allocated, to be linked after
  // `previous`). Returns the staging area.
  Value* begin(std::uint32_t slot, bool isNew, BrellCore::LinkPlace previous, std::uint32_t rhash,
               Value const& value) {
    slot_ = slot;
    isNew_ = isNew;
    if (isNew) previous_ = previous;
    rhash_ = rhash;
    std::memcpy(static_cast<void*>(&staged_), &value, sizeof(Value));
    return &staged_;
  }
  // The second phase: the slot, and no write pending any more.
  std::uint32_t finish() {
    std::uint32_t slot = slot_;
    slot_ = kNullReference;
    return slot;
  }

  std::uint32_t slot() const { return slot_; }
  bool isNew() const { return isNew_; }
  BrellCore::LinkPlace previous() const { return previous_; }
  std::uint32_t rhash() const { return rhash_; }
  Value const& staged() const { return staged_; }

 private:
  std::uint32_t slot_ = kNullReference;
  bool isNew_ = false;
  BrellCore::LinkPlace previous_;
  std::uint32_t rhash_ = 0;
  Value staged_{};
};

}  // namespace Brell
