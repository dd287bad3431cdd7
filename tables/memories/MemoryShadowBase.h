// The write paths of a memory shadow: one row, and the whole memory in DMA bulk writes.
//
// MemoryShadowBase turns a memory shadow's stored rows into write commands. Every
// path gates first: the applicable mask is the part of the requested mask that the
// shadow serves; when it is empty the path returns a null command list.
//
//   rowSchanCmds     one memory write of one row with its stored data, or the
//                    default data when the row is not stored or `useDefault`
//   download         Glimmet record and traces, gate, then the whole-memory walk
//   clearShadow      the walk with default data; then the store is emptied, also
//                    when nothing was applicable
//
// The whole-memory walk visits every array (from the first, for the member's array
// count) and every row (from the first, for its row count). With a DMA pool the rows
// are packed back to back into pool buffers; a full buffer, and the last partly
// filled one, becomes one bulk write per covered instance. Without a pool every row
// is its own write. A pool whose buffers cannot hold one row is refused before any
// command is built.
//
// The memory accessor's nested Shadow (MemoryTable<Model>::Shadow) derives from this
// and supplies the rows (storedRowData) and the store.
//
// Thread-safety: none; the agent's owning thread calls it.
#pragma once

#include <optional>
#include <vector>

#include "platform/tessar/DirectKeyBasedShadowBase.h"

namespace Framework {

class MemoryShadowBase : public Tessar::DirectKeyBasedShadowBase {
 public:
  using DirectKeyBasedShadowBase::DirectKeyBasedShadowBase;

  Vorl::Ptr<Pelcar::SchanCmds> download(Vorl::String const& fapType,
                                        Hardware::Sand::FapRevision const& fapRevision,
                                        Pelcar::Fapmask const& downloadFapmask) const override;
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

  // Every row of the memory as the shadow holds it, made in one pass over the store
  // for a whole-memory write (one lookup per row would cost more than the walk).
  struct RowImage {
    U8 firstArrayIndex = 0;
    U32 arrayCount = 0;
    U32 firstRow = 0;
    U32 rowCount = 0;
    U32 entrySize = 0;
    std::vector<U8> data;       // arrayCount * rowCount rows of entrySize bytes
    std::vector<bool> stored;   // whether each row is stored

    // The row's index in the image, or nothing when it lies outside the memory.
    std::optional<std::size_t> indexOf(U8 arrayIndex, U32 row) const {
      U32 array = arrayIndex;
      if (array < firstArrayIndex || array - firstArrayIndex >= arrayCount || row < firstRow ||
          row - firstRow >= rowCount) {
        return std::nullopt;
      }
      return std::size_t{array - firstArrayIndex} * rowCount + (row - firstRow);
    }
  };
  // Copies every stored row into `image` (sized and cleared by the caller).
  virtual void storedRows(RowImage& image) const = 0;

 private:
  struct BulkState;

  Vorl::Ptr<Pelcar::SchanCmds> downloadWorker(Hardware::Sand::FapRevision const& fapRevision,
                                              Pelcar::Fapmask const& mask, bool isDelete) const;
  // The data the one-row write puts in a row: stored, or default.
  U8 const* rowData(U8 arrayIndex, U32 row, bool useDefault, U8* scratch) const;
  // The data a whole-memory write puts in a row: from the image, or default.
  U8 const* imageRowData(RowImage const& image, U8 arrayIndex, U32 row, bool useDefault) const;
  void dmaEnqueue(BulkState& state, RowImage const& image, Pelcar::Fapmask const& applicable,
                  Hardware::Sand::FapRevision const& fapRevision, U8 arrayIndex, U32 row,
                  bool isDelete, Pelcar::SchanCmds& cmds) const;
  void bulkWrite(BulkState& state, Pelcar::Fapmask const& applicable,
                 Hardware::Sand::FapRevision const& fapRevision, Pelcar::SchanCmds& cmds) const;
  std::optional<Pelcar::Fapmask> gate(Pelcar::Fapmask const& requested) const;
};

}  // namespace Framework
