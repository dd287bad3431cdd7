// How a store is configured: size, growth and memory choices of one map.
//
// A writer takes from the descriptor its maximum size, whether it lives on the heap
// in this process only ("local"), whether it is fixed-size, whether its slot table
// and bucket table may shrink, the notification prune mode, the memory-tracking
// flag, the critical-task check for long passes and the core-dump mode.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <string>

namespace Brell {

struct HWTABLES_API MapDescriptor {
  std::uint32_t maxSize = 0;  // configured table size (slots)
  bool local = false;         // heap memory in this process, no files, no owner
  bool fixedSize = false;     // starts at maxSize and never grows or shrinks
  bool shrinkable = true;     // the slot table may compact and shrink
  bool shrinkBuckets = true;  // the bucket table may halve
  int pruneMode = 0;          // notification pruning (for the notification ring)
  bool heap = false;          // heap-backed memory (only together with local)
  bool memoryTracking = false;
  bool criticalTaskCheck = false;  // run critical-priority tasks during long passes
  // Whether the store's mappings are in core dumps: 0 as the "FullCoreDump" toggle
  // says (on: included), 1 or 3 left out; other values are refused.
  int coreDumpMode = 0;
  // Entries of the change-notification ring (a power of two; 0 = sized to the
  // table: the next power of two at or above maxSize, see Vanquo::ringCapacityFor).
  std::uint32_t notificationCapacity = 0;

  static MapDescriptor localTemporary(std::uint32_t size) {
    MapDescriptor descriptor;
    descriptor.maxSize = size;
    descriptor.local = true;
    descriptor.heap = true;
    return descriptor;
  }

  bool operator==(MapDescriptor const&) const = default;

  // Whether a map initialised with this descriptor can be initialised again with
  // `other`; false with a reason when a stored property would change.
  bool supportsReinitWith(MapDescriptor const& other, std::string* reason) const;
  std::string toString() const;
};

}  // namespace Brell
