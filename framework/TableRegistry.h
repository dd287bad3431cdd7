// The tables of the loaded plug-ins: what the agent and the tool know of a table
// without its compiled-in types.
//
// Each table module registers one TableRecord when its plug-in registers (the plug-in's
// register entry, modules/Modules.cc) and withdraws it at unload or when another of
// the plug-in's registrations is refused: its
// description (TableInfo: with the fields, enough to decode an entry's bytes, see
// framework/FieldValues.h), its part of the read-back audit and, for a memory table,
// how to open its shadow stores as a reader or a shadow without knowing the entry
// type (store/ErasedStore.h).
// Records name the plug-in file that registered them (Plugin::currentSource(); empty
// for tables linked into the program).
//
// A table registered twice (the same class name from a second plug-in, or a copy of
// the plug-in under another file name) is refused: the first record stays and the
// load in progress is told why (Plugin::reportLoadProblem).
//
// Thread-safety: every operation may run on any thread; records never change once
// registered, so a record held by a caller stays valid after unload.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/ReadBackAudit.h"
#include "framework/TableInfo.h"
#include "platform/plugin/Export.h"
#include "platform/vorl/Types.h"

namespace Brell {
class ErasedReader;
class ErasedShadow;
struct ErasedNotify;
}  // namespace Brell

namespace Framework {

// A memory table's key, as read from its store.
struct HWTABLES_API StoredKey {
  std::string text;  // "{arrayIndex=2 entryIndex=5}"
  U8 arrayIndex = 0;
  U32 entryIndex = 0;
};

// How a memory table's shadow stores are opened and their bytes understood.
struct HWTABLES_API MemoryStoreAccess {
  std::unique_ptr<Brell::ErasedReader> (*openReader)(std::string const& name,
                                                     std::string const& directory) = nullptr;
  std::unique_ptr<Brell::ErasedShadow> (*openShadow)(std::string const& name,
                                                     std::string const& directory,
                                                     Brell::ErasedNotify notify) = nullptr;
  // The key held in `key`'s bytes; none when they are not one key of this table.
  std::optional<StoredKey> (*key)(std::vector<unsigned char> const& key) = nullptr;
  // The entry data bytes of a stored value; empty when the bytes are not one value.
  std::vector<U8> (*entryData)(std::vector<unsigned char> const& value) = nullptr;
};

struct HWTABLES_API TableRecord {
  TableInfo const* info = nullptr;
  std::string source;  // the plug-in file; empty when linked into the program
  Framework::TableAuditor audit = nullptr;
  MemoryStoreAccess store;  // memory tables only

  bool isMemory() const { return info != nullptr && !info->isRegister(); }
};

class HWTABLES_API TableRegistry {
 public:
  static TableRegistry& singleton();

  // Registers `record` from the plug-in being loaded (its source is set here). False,
  // and nothing registered, when a table of that class name is already registered.
  bool registerTable(TableRecord record);
  // Withdraws the table that `info` describes (a refused copy's is never found).
  void unregisterTable(TableInfo const& info);

  // Every table, in registration order (each plug-in's module order).
  std::vector<std::shared_ptr<TableRecord const>> tables() const;
  // The table of that class name; null when none is registered.
  std::shared_ptr<TableRecord const> table(std::string_view className) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<TableRecord const>> records_;
};

}  // namespace Framework
