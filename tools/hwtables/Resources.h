// What a command that brings tables up may use, checked before anything is made: the
// store root it writes below and the size of the DMA pool's buffers.
#pragma once

#include <exception>
#include <string>

#include "platform/vorl/Types.h"

namespace Tool {

// The store root a command writes below: `chosen` (--root), else $HWTABLES_ROOT,
// else the default. A root that does not exist is created only when its parent
// directory exists: a mistyped path never makes a tree of directories. Throws
// UsageError when the root is not a directory or cannot be made.
std::string storeRoot(std::string const& chosen);

// The size of the DMA pool's buffers (--dma-buffer, the console's dma-buffer): at
// least one row of the widest memory the plug-ins registered (a buffer carries whole
// rows), at most the pool's largest buffer. Throws UsageError naming both bounds.
U32 checkDmaBuffer(U64 bytes);

// A bring-up that cannot make its shadows' stores below `root` (no space, no
// permission, a store another writer holds): a UsageError naming the root and why.
[[noreturn]] void storesCannotBeMade(std::string const& root, std::exception const& error);

}  // namespace Tool
