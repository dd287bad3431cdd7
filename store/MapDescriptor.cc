#include "store/MapDescriptor.h"

#include <fmt/format.h>

namespace Brell {

bool MapDescriptor::supportsReinitWith(MapDescriptor const& other, std::string* reason) const {
  auto fail = [reason](char const* what) {
    if (reason) *reason = what;
    return false;
  };
  if (local != other.local) return fail("local mode differs");
  if (heap != other.heap) return fail("heap mode differs");
  if (fixedSize != other.fixedSize) return fail("fixed-size mode differs");
  if (fixedSize && maxSize != other.maxSize) return fail("fixed size differs");
  return true;
}

std::string MapDescriptor::toString() const {
  return fmt::format(
      "MapDescriptor maxSize:{} local:{} fixedSize:{} shrinkable:{} shrinkBuckets:{} "
      "pruneMode:{} heap:{} memoryTracking:{} criticalTaskCheck:{} coreDumpMode:{} "
      "notificationCapacity:{}",
      maxSize, local, fixedSize, shrinkable, shrinkBuckets, pruneMode, heap, memoryTracking,
      criticalTaskCheck, coreDumpMode, notificationCapacity);
}

}  // namespace Brell
