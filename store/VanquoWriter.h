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
// Publishing is two atomic stores, plus a futex wake only while a reader sleeps on
// the ring. The ring never blocks the writer: a reader that falls behind by more than
// the capacity resynchronises from the slot table.
//
// Thread-safety: the writer's thread only.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <functional>
#include <string>

#include "platform/sharedmem/PyrelId.h"
#include "store/VanquoRing.h"

namespace Vanquo {

class HWTABLES_API VanquoWriter {
 public:
  // `pyrel` tells the store's restart identity when attach() runs (the writer's
  // identity changes with every wipe). `local`: publish nothing. `capacity`: entries
  // of the ring, a power of two (0: kDefaultCapacity).
  VanquoWriter(std::string rootPath, bool local, std::function<SharedMem::PyrelId()> pyrel,
               std::uint32_t capacity = kDefaultCapacity);
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
    publish(slotIndex);
  }

  // The name readers find the ring under, recorded in the owner file.
  std::string socketName() const { return local_ ? "none" : kRingFileName; }
  std::string path() const { return rootPath_ + "/" + kRingFileName; }
  bool attached() const { return base_ != nullptr; }
  // The sequence the next notification will carry.
  std::uint64_t head() const { return head_; }
  std::uint32_t capacity() const { return capacity_; }
  // Wake-ups made (a reader was waiting).
  std::uint64_t wakes() const { return wakes_; }
  // Readers announcing that they sleep on the ring now (a hint).
  std::uint32_t waiters() const;

 private:
  void publish(std::uint32_t slotIndex);
  // Clears the identity of the ring at `ring` and wakes its sleepers.
  static void retire(RingFile& ring);

  std::string rootPath_;
  bool local_;
  std::function<SharedMem::PyrelId()> pyrel_;
  std::uint32_t capacity_;
  RingFile ring_;
  unsigned char* base_ = nullptr;
  std::uint64_t head_ = 1;
  std::uint64_t wakes_ = 0;
};

}  // namespace Vanquo
