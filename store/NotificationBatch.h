// One read of a shadow's notification ring: Brell::NotificationBatch.
//
// A shadow reads notifications in batches and handles them in order. A slot named
// more than once in a batch is handled once, at its last notification: handling a
// notification re-reads the slot, so the earlier ones would find what the last finds.
// Skipping them changes nothing a lookup or a callback can see, and under a writer
// that rewrites a few hot slots it is most of the work saved.
//
// Thread-safety: the shadow's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "store/VanquoReader.h"

namespace Brell {

class NotificationBatch {
 public:
  void clear() { notifications_.clear(); }
  void add(Vanquo::BasicSlot const& notification) { notifications_.push_back(notification); }
  std::size_t size() const { return notifications_.size(); }
  bool empty() const { return notifications_.empty(); }

  // Calls handle(notification) for the last notification of each slot, in ring
  // order; `merged` counts the ones skipped. Stops at the first one handle()
  // refuses (returns false) and returns false then.
  template <class Handle>
  bool handleLastOfEachSlot(Handle&& handle, std::uint64_t& merged) {
    bool several = notifications_.size() > 1;
    if (several) {
      lastOfSlot_.clear();
      for (std::uint32_t at = 0; at < notifications_.size(); ++at) {
        lastOfSlot_[notifications_[at].slotIndex] = at;
      }
    }
    for (std::uint32_t at = 0; at < notifications_.size(); ++at) {
      auto const& notification = notifications_[at];
      if (several && lastOfSlot_[notification.slotIndex] != at) {
        ++merged;
        continue;
      }
      if (!handle(notification)) return false;
    }
    return true;
  }

 private:
  std::vector<Vanquo::BasicSlot> notifications_;
  std::unordered_map<std::uint32_t, std::uint32_t> lastOfSlot_;
};

}  // namespace Brell
