#include "tools/hwtables/Resources.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "platform/dma/DmaMemPool.h"
#include "platform/ordex/EntityManager.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/MemoryStores.h"

namespace Tool {

std::string storeRoot(std::string const& chosen) {
  namespace fs = std::filesystem;
  std::string root = chosen.empty() ? Ordex::EntityManager::defaultStoreRoot() : chosen;
  if (root.empty()) throw UsageError("the store root is an empty path");
  std::error_code error;
  auto status = fs::status(root, error);
  if (status.type() == fs::file_type::directory) return root;
  if (status.type() != fs::file_type::not_found) {
    throw UsageError(
        error ? fmt::format("cannot use the store root {}: {}", shown(root, 256), error.message())
              : fmt::format("the store root {} is not a directory", shown(root, 256)));
  }
  auto parent = fs::absolute(fs::path(root), error).parent_path();
  if (!fs::is_directory(parent, error)) {
    throw UsageError(
        fmt::format("the store root {} does not exist, nor does its parent {}: create it first",
                    shown(root, 256), shown(parent.string(), 256)));
  }
  if (!fs::create_directory(root, error) && error) {
    throw UsageError(
        fmt::format("cannot create the store root {}: {}", shown(root, 256), error.message()));
  }
  return root;
}

U32 checkDmaBuffer(U64 bytes) {
  U32 widest = 0;
  std::string_view widestTable;
  for (auto const* info : tableCatalogue()) {
    if (info->isRegister() || info->entryBytes <= widest) continue;
    widest = info->entryBytes;
    widestTable = info->className;
  }
  U32 largest = DmaMemPoolManager::DmaMemPoolManager::kMaxBufferBytes;
  if (bytes < std::max<U32>(widest, 1) || bytes > largest) {
    throw UsageError(fmt::format(
        "a DMA buffer of {} bytes is outside {}..{}: a buffer carries whole rows{}", bytes,
        std::max<U32>(widest, 1), largest,
        widest == 0 ? std::string()
                    : fmt::format(", and a row of {} is {} bytes", widestTable, widest)));
  }
  return static_cast<U32>(bytes);
}

void storesCannotBeMade(std::string const& root, std::exception const& error) {
  throw UsageError(
      fmt::format("cannot create the shadow stores below {}: {}", shown(root, 256), error.what()));
}

}  // namespace Tool
