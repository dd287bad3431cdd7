#include "store/CorruptionHandler.h"

#include "store/Debug.h"
#include "store/StoreFiles.h"

namespace Brell {
namespace {

CorruptionHandler& installed() {
  static CorruptionHandler handler;
  return handler;
}

void defaultHandler(std::string const& rootPath, std::string const& reason) {
  VORL_TRACE(Debug::map(), kDebugLevel, "corruption detected in {}: {}", rootPath, reason);
  if (!rootPath.empty()) {
    try {
      Util::writeCorruptionFile(rootPath, reason);
    } catch (...) {
      // The trace above is all a damaged or vanished directory allows.
    }
  }
}

}  // namespace

CorruptionHandler corruptionHandlerIs(CorruptionHandler handler) {
  auto previous = std::move(installed());
  installed() = std::move(handler);
  return previous;
}

void handleCorruption(std::string const& rootPath, std::string const& reason) {
  if (installed()) {
    installed()(rootPath, reason);
  } else {
    defaultHandler(rootPath, reason);
  }
}

}  // namespace Brell
