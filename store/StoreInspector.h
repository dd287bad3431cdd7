// Read-only inspection of a store directory without knowing its value type.
//
// For tools ("store check", "store dump"): maps "slots" and "buckets" read-only,
// takes a consistent snapshot of both (while a writer runs, the snapshot is taken
// between two of its operations, using the writer sequence in the slot header as a
// seqlock), and validates the snapshot: the header checks, the identity against the
// restart-identity file, and the Validator's walks. Keys are hashed and ordered with
// the key layout recorded in the header; without one, the key checks are skipped.
// Nothing is ever written to the store's directory.
//
// Thread-safety: one thread per inspector.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/sharedmem/OwnerFile.h"
#include "platform/sharedmem/PyrelFile.h"
#include "store/BucketTable.h"
#include "store/SlotHeader.h"
#include "store/StoreFiles.h"
#include "store/Validator.h"

namespace Brell {

struct HWTABLES_API InspectionReport {
  // "ok": valid; "invalid": damaged or inconsistent (see reason); "missing": not a
  // store (files absent); "busy": a live writer never paused long enough;
  // "inaccessible": the files exist but cannot be opened, mapped or read (permissions,
  // no descriptor or memory left).
  std::string result = "missing";
  std::string reason;
  std::optional<SlotHeader> slotHeader;
  std::optional<BrellCore::BucketHeader> bucketHeader;
  std::optional<SharedMem::PyrelFile::Contents> pyrel;
  std::optional<SharedMem::OwnerFile::Peek> owner;
  bool writerAlive = false;
  std::uint64_t slotFileSize = 0;
  std::uint64_t bucketFileSize = 0;
  std::vector<FileSpace> files;     // every regular file of the directory
  std::uint32_t occupied = 0;       // walked (valid stores only)
  std::uint32_t freeSlots = 0;      // walked (valid stores only)
  std::string corruptionFile;       // text of "corruption-detected", if present
  std::vector<ChainEntry> entries;  // dump only, in list order

  bool valid() const { return result == "ok"; }
};

class HWTABLES_API StoreInspector {
 public:
  struct Options {
    // How long to wait for a live writer to pause between operations.
    int maxWaitMilliseconds = 2000;
  };

  explicit StoreInspector(std::string root) : StoreInspector(std::move(root), Options{}) {}
  StoreInspector(std::string root, Options options) : root_(std::move(root)), options_(options) {}

  InspectionReport check() { return inspect(nullptr, nullptr); }
  // As check(), plus every occupied slot in list order (for valid stores; for damaged
  // ones, the slots walked before the damage).
  InspectionReport dump();
  // As dump(), but streamed: `ready` gets the report once the store is validated,
  // then `each` gets every entry as the walk meets it; nothing is kept. When the
  // files cannot even be read, neither is called.
  using ReadyFunction = std::function<void(InspectionReport const&)>;
  using EntryFunction = std::function<void(ChainEntry const&)>;
  InspectionReport dumpEach(ReadyFunction const& ready, EntryFunction const& each);

  // The key bytes of an entry: the recorded key fields concatenated, or, without a
  // recorded layout, the first `fallbackBytes` bytes of the value.
  static std::vector<unsigned char> keyBytes(SlotHeader const& header, ChainEntry const& entry,
                                             std::size_t fallbackBytes = 4);

 private:
  InspectionReport inspect(ReadyFunction const* ready, EntryFunction const* each);

  std::string root_;
  Options options_;
};

}  // namespace Brell
