// Where the owner of a store sends the damage it meets.
//
// A store operation that finds its files damaged throws
// Vorl::CorruptionDetectedException; the store's owner catches it and hands the
// reason here. The default handler traces it and leaves the reason in the store's
// "corruption-detected" file, so a person (or `hwtables store check`) sees why; a
// process may install its own (an agent restarts itself, a test records).
//
// Thread-safety: install the handler before the threads that use stores start.
#pragma once

#include "platform/plugin/Export.h"

#include <functional>
#include <string>

namespace Brell {

using CorruptionHandler =
    std::function<void(std::string const& rootPath, std::string const& reason)>;

// Installs `handler`; an empty one restores the default. Returns the previous one.
HWTABLES_API CorruptionHandler corruptionHandlerIs(CorruptionHandler handler);
HWTABLES_API void handleCorruption(std::string const& rootPath, std::string const& reason);

}  // namespace Brell
