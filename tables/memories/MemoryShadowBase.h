// The write paths of a memory shadow: one row, and the whole memory in DMA bulk writes.
//
// MemoryShadowBase turns a memory shadow's stored rows into write commands. Every
// path gates first: the applicable mask is the part of the requested mask that the
// shadow serves; when it is empty the path returns a null command list.
//
//   rowSchanCmds     one memory write of one row with its stored data, or the
//                    default data when the row is not stored or `useDefault`
//   downloadInto     Glimmet record and traces, gate, then the whole-memory walk
//   clearShadow      the walk with default data; then the store is emptied, also
//                    when nothing was applicable
//
// The whole-memory walk visits every array (from the first, for the member's array
// count) and every row (from the first, for its row count). With a DMA pool the rows
// are packed back to back into pool buffers; a full buffer, and the last partly
// filled one, becomes one bulk write per covered instance. Without a pool every row
// is its own write. A download copies each row once, from the store (or the default
// entry) into its buffer, and appends its commands to the table's list
// (downloadInto) rather than making a list of its own. A pool whose buffers cannot hold one row is refused before any
// command is built.
//
// The memory accessor's nested Shadow (MemoryShadows<Model>::Shadow) derives from this
// and supplies the rows (storedRowData) and the store.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include <cstring>
#include <optional>
#include <vector>

#include "platform/tessar/DirectKeyBasedShadowBase.h"

namespace Framework {

class MemoryShadowBase : public Tessar::DirectKeyBasedShadowBase {
 public:
  using DirectKeyBasedShadowBase::DirectKeyBasedShadowBase;

  bool downloadInto(Vorl::String const& fapType, Hardware::Sand::FapRevision const& fapRevision,
                    Pelcar::Fapmask const& downloadFapmask,
                    Pelcar::SchanCmds& into) const override;
  Vorl::Ptr<Pelcar::SchanCmds> clearShadow(Hardware::Sand::FapRevision const& fapRevision,
                                           Pelcar::Fapmask const& mask) override;

  // Removes every stored entry.
  virtual void collCleanup() = 0;

  // Every row of `member` made in one pass over the store (not a lookup per row).
  std::vector<U8> expectedRows(Tessar::BcmRegMemInfo const& member) const override;

 protected:
  // The write of one row to the FAPs of `mask` that the shadow serves; null when it
  // serves none of them.
  Vorl::Ptr<Pelcar::SchanCmds> rowSchanCmds(Pelcar::Fapmask const& mask,
                                            Hardware::Sand::FapRevision const& fapRevision,
                                            U8 arrayIndex, U32 row, bool useDefault) const;

  // Copies the stored data of that row (entrySize() bytes) to `data`; false when the
  // row is not stored.
  virtual bool storedRowData(U8 arrayIndex, U32 row, U8* data) const = 0;

  // Where each row of a memory goes in a set of buffers: the rows of an array are
  // cut into runs of `capacity` rows, run k of array a in buffers[a * runsPerArray + k].
  // A whole-memory write places every stored row with it, straight from the store.
  struct RowPlacement {
    U32 firstArrayIndex = 0;
    U32 arrayCount = 0;
    U32 firstRow = 0;
    U32 rowCount = 0;
    U32 entrySize = 0;
    U32 capacity = 1;
    U32 runsPerArray = 0;
    U8* const* buffers = nullptr;

    // Copies the row's data to its place; a row outside the memory has none.
    void place(U32 arrayIndex, U32 row, U8 const* data) const {
      if (arrayIndex - firstArrayIndex >= arrayCount || row - firstRow >= rowCount) return;
      U32 offset = row - firstRow;
      // Most memories' arrays fit one buffer: no division for them.
      U32 run = runsPerArray == 1 ? 0 : offset / capacity;
      U32 inRun = offset - run * capacity;
      copyRow(buffers[std::size_t{arrayIndex - firstArrayIndex} * runsPerArray + run] +
                  std::size_t{inRun} * entrySize,
              data, entrySize);
    }

    // The memories' rows are 4 to 16 bytes: a copy of a size known here is a load
    // and a store or two, where a copy of any size is a call.
    static void copyRow(U8* to, U8 const* from, U32 size) {
      switch (size) {
        case 4: std::memcpy(to, from, 4); return;
        case 8: std::memcpy(to, from, 8); return;
        case 12: std::memcpy(to, from, 12); return;
        case 16: std::memcpy(to, from, 16); return;
        default: std::memcpy(to, from, size); return;
      }
    }
  };
  // Places every stored row (entrySize() bytes each) in one pass over the store, in
  // no particular order (one lookup per row would cost more than the walk).
  virtual void placeStoredRows(RowPlacement const& placement) const = 0;

 private:
  // Where a whole-memory write goes: the description's first member (its ranges are
  // walked) and every (member, covered instance) pair, in description order. Made on
  // the first write and kept; the description of a shadow does not change.
  struct WriteTargets {
    Tessar::BcmGroupAddrInfo const* description = nullptr;
    Tessar::BcmRegMemInfo const* first = nullptr;
    std::vector<std::pair<Tessar::BcmRegMemInfo const*, Tessar::BcmInstanceInfo const*>> pairs;
  };
  WriteTargets const& writeTargets() const;

  // The whole-memory walk; appends its commands to `into`. False (nothing appended)
  // when no FAP of `mask` is served.
  bool downloadWorker(Hardware::Sand::FapRevision const& fapRevision, Pelcar::Fapmask const& mask,
                      bool isDelete, Pelcar::SchanCmds& into) const;
  // The walk in DMA bulk writes: every row is copied once, from the store (or the
  // default entry) straight into the pool buffer of its bulk write.
  void bulkWrites(WriteTargets const& targets, Pelcar::Fapmask const& applicable,
                  Hardware::Sand::FapRevision const& fapRevision, bool isDelete,
                  Pelcar::SchanCmds& into) const;
  // The walk without a pool: one write per row.
  void rowWrites(WriteTargets const& targets, Pelcar::Fapmask const& applicable,
                 Hardware::Sand::FapRevision const& fapRevision, bool isDelete,
                 Pelcar::SchanCmds& into) const;
  // The data the one-row write puts in a row: stored, or default.
  U8 const* rowData(U8 arrayIndex, U32 row, bool useDefault, U8* scratch) const;
  std::optional<Pelcar::Fapmask> gate(Pelcar::Fapmask const& requested) const;

  mutable WriteTargets writeTargets_;
};

}  // namespace Framework
