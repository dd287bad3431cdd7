// Brell::Tmp: a writer on heap memory of this process, for a collection that is not
// mounted yet: 100 entries, no files, no owner. A map holds one until it is attached
// to its real store.
#pragma once

#include <string>

#include "store/BrellWriter.h"
#include "store/Debug.h"
#include "store/MapDescriptor.h"

namespace Brell {

template <StoreTraits T>
class Tmp : public BrellWriter<T> {
 public:
  explicit Tmp(std::string name)
      : BrellWriter<T>(name, MapDescriptor::localTemporary(100), "local:" + name) {
    VORL_TRACE(Debug::temp(), kDebugLevel, "creating local BrellWriter {}", name);
  }
};

}  // namespace Brell
