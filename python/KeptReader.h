// A memory shadow's store kept open for reading between calls, so that reading a
// shadow again costs the walk of its entries rather than mapping its files anew.
//
// A kept reader must never answer from files that are gone or that a new writer
// replaced. Before each read it compares the store's marks with those it opened:
//   - the restart-identity file's contents: its identity changes with every wipe and
//     its time with every writer that attaches, reusing the files or not;
//   - the device and inode of the slot and bucket files: a directory removed and
//     made again, or files replaced before the identity file was rewritten, have new
//     ones.
// Any difference (or a file missing) closes the reader, and the store is opened
// again as if for the first time: a store being made or wiped is refused as
// "cannot be read now", a directory that is gone as "no store". Files replaced
// while a walk runs are seen at the next read, as a reader opened anew would.
//
// Damage found while walking closes the reader too, and is reported
// (Vorl::CorruptionDetectedException); the next read opens the store again.
//
// Thread-safety: one thread at a time (the package calls it with the GIL held).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/TableRegistry.h"
#include "platform/vorl/Types.h"
#include "store/ErasedStore.h"

namespace PyHwtables {

class KeptReader {
 public:
  using Entry = std::pair<Framework::StoredKey, std::vector<U8>>;

  // `where` ("TABLE FAP N") begins the messages of refused reads.
  KeptReader(std::shared_ptr<Framework::TableRecord const> record, std::string directory,
             std::string where);

  // The entries in key order. Throws Tool::CheckFailed when there is no store or it
  // cannot be read now.
  std::vector<Entry> entries();
  // Every entry's key and value bytes, in the store's order; refused as entries() is.
  void forEach(Brell::ErasedVisitor const& visit);
  // Unmaps the files; the next read opens them again.
  void close();

  bool open() const { return reader_ != nullptr; }
  std::string const& directory() const { return directory_; }
  std::string const& where() const { return where_; }
  Framework::TableInfo const& info() const { return *record_->info; }
  Framework::MemoryStoreAccess const& access() const { return record_->store; }
  // How many times the store was opened: once, unless its marks changed.
  std::uint64_t opens() const { return opens_; }

 private:
  struct FileMark {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(FileMark const&) const = default;
  };
  struct Marks {
    std::uint32_t identity = 0;
    std::uint64_t identityTime = 0;
    FileMark slots;
    FileMark buckets;
    bool operator==(Marks const&) const = default;
  };

  // The store's marks now; none when a file is missing or the identity unreadable.
  std::optional<Marks> marksNow() const;
  // A reader on the files whose marks are `marks`, or an error.
  void reopen(Marks const& marks);

  std::shared_ptr<Framework::TableRecord const> record_;
  std::string directory_;
  std::string where_;
  std::unique_ptr<Brell::ErasedReader> reader_;
  Marks marks_;
  std::uint64_t opens_ = 0;
  std::size_t lastCount_ = 0;  // entries at the last read: room made for as many
};

}  // namespace PyHwtables
