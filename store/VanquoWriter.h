// The writer's side of the change-notification ring: Vanquo::VanquoWriter.
//
// The store's writer calls slotChanged() for every slot whose contents or
// membership it changed; the ring publishes (sequence, slot index) for it to every
// reader process (format and protocol: VanquoRing.h). attach() makes a new ring in
// the store's directory, recording this process's identity and the store's restart
// identity; detach() clears the identity and wakes sleeping readers, so they learn
// that the writer went away. A local writer (heap memory, no files) publishes
// nothing and makes no file.
//
// Publishing is two atomic stores and one load, plus a futex wake only when a reader
// has gone to sleep on the ring since the last wake-up; a batch of changes shares
// one store of head and one load (beginBatch/endBatch). The ring never blocks the
// writer: a reader that falls behind by more than the capacity resynchronises from
// the slot table. Nothing a reader leaves behind when it dies (see the wait page in
// VanquoRing.h) slows the writer down.
//
// Thread-safety: the writer's thread only.
#pragma once

#include "platform/plugin/Export.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/sharedmem/PyrelId.h"
#include "store/Link.h"
#include "store/VanquoRing.h"

namespace Vanquo {

class HWTABLES_API VanquoWriter {
 public:
  // `pyrel` tells the store's restart identity when attach() runs (the writer's
  // identity changes with every wipe). `local`: publish nothing. `capacity`: entries
  // of the ring, a power of two (see ringCapacityFor).
  VanquoWriter(std::string rootPath, bool local, std::function<SharedMem::PyrelId()> pyrel,
               std::uint32_t capacity);
  VanquoWriter(VanquoWriter const&) = delete;
  VanquoWriter& operator=(VanquoWriter const&) = delete;
  ~VanquoWriter() { detach(); }

  // Makes a new ring (replacing any earlier one, whose readers are woken and see it
  // retired). Throws Vorl::MemoryResourceException when the file cannot be made
  // (e.g. no space: nothing is left behind then).
  void attach();
  // Clears the writer identity in the ring and wakes every sleeping reader. The
  // file stays (readers still mapping it see the writer gone).
  void detach();
  // Removes the ring file (the store's files are being removed).
  void removeFile();

  void slotChanged(std::uint32_t slotIndex) {
    if (base_ == nullptr) return;
    if (batching_) {
      storeEntry(slotIndex);
      return;
    }
    publish(slotIndex);
  }

  // slotChanged() for several slots in the order given, with the ring's place kept
  // in registers rather than reloaded for every entry.
  void slotsChanged(std::uint32_t const* slotIndices, std::size_t count) {
    if (base_ == nullptr) return;
    if (!batching_) {
      for (std::size_t at = 0; at < count; ++at) publish(slotIndices[at]);
      return;
    }
    unsigned char* const entries = base_ + kEntryOffset;
    std::uint64_t const mask = capacity_ - 1;
    std::uint64_t sequence = head_;
    for (std::size_t at = 0; at < count; ++at, ++sequence) {
      storeEntryAt(entries, mask, sequence, slotIndices[at]);
    }
    head_ = sequence;
  }

  // A batch: between beginBatch() and endBatch() every change's entry is stored as
  // it happens, and endBatch() publishes them all with one store of head (one
  // sequentially consistent store and one look at the sleepers). Readers see the
  // batch's notifications only then, all at once, each with its own sequence; a
  // batch longer than the ring laps it (readers behind resynchronise, as for any
  // writer that laps them). A writer killed inside a batch leaves entries beyond
  // head that nobody reads.
  void beginBatch() { batching_ = true; }
  void endBatch() {
    batching_ = false;
    if (base_ != nullptr && publishedHead_ != head_) publishHead();
  }

  // The name readers find the ring under, recorded in the owner file.
  std::string socketName() const { return local_ ? "none" : kRingFileName; }
  std::string path() const { return rootPath_ + "/" + kRingFileName; }
  bool attached() const { return base_ != nullptr; }
  // The sequence the next notification will carry.
  std::uint64_t head() const { return head_; }
  std::uint32_t capacity() const { return capacity_; }
  // Wake-ups made (FUTEX_WAKE calls: a reader had gone to sleep since the last one).
  std::uint64_t wakes() const { return wakes_; }
  // How many times readers have gone to sleep on this ring (the wait page's count).
  std::uint32_t sleeps() const;
  // Bytes of the ring's file (0 when detached).
  std::size_t fileBytes() const { return base_ != nullptr ? ring_.size() : 0; }

 private:
  void publish(std::uint32_t slotIndex);
  // Inline: a batch stores one entry per change and nothing else.
  void storeEntry(std::uint32_t slotIndex) {
    storeEntryAt(base_ + kEntryOffset, capacity_ - 1, head_, slotIndex);
    ++head_;
  }
  static void storeEntryAt(unsigned char* entries, std::uint64_t mask, std::uint64_t sequence,
                           std::uint32_t slotIndex) {
    // Pairs with the reader's acquire load of the entry: a reader that accepts it has
    // loaded a head beyond it, so it sees the whole word.
    Brell::storeLong(entries + (sequence & mask) * 8, packEntry(sequence, slotIndex),
                     std::memory_order_release);
  }
  void publishHead();
  // Clears the identity of the ring at `ring` and wakes its sleepers.
  static void retire(RingFile& ring);

  std::string rootPath_;
  bool local_;
  std::function<SharedMem::PyrelId()> pyrel_;
  std::uint32_t capacity_;
  RingFile ring_;
  unsigned char* base_ = nullptr;
  unsigned char* waitPage_ = nullptr;
  std::uint64_t head_ = 1;
  // The head readers were last shown (head_ runs ahead of it inside a batch).
  std::uint64_t publishedHead_ = 1;
  bool batching_ = false;
  std::uint64_t wakes_ = 0;
  // The sleeps count at the last wake-up: readers that went to sleep before it were
  // woken (or are gone).
  std::uint32_t sleepsWoken_ = 0;
};

}  // namespace Vanquo
