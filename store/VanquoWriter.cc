#include "store/VanquoWriter.h"

#include <atomic>

#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/ProcessIdentity.h"
#include "store/Link.h"

namespace Vanquo {

VanquoWriter::VanquoWriter(std::string rootPath, bool local,
                           std::function<SharedMem::PyrelId()> pyrel, std::uint32_t capacity)
    : rootPath_(std::move(rootPath)),
      local_(local),
      pyrel_(std::move(pyrel)),
      capacity_(capacity) {}

void VanquoWriter::attach() {
  if (local_) return;
  detach();
  // A ring left by an earlier writer (crashed, or this writer before a wipe) is
  // retired first, so readers still following it learn that it ended.
  RingFile old;
  if (old.open(path(), true, nullptr)) retire(old);
  old.close();
  // The ring is renamed into place with this writer already in it (the rename
  // publishes the file's contents to every process that opens it afterwards).
  ring_ = RingFile::create(path(), capacity_, pyrel_ ? pyrel_() : SharedMem::PyrelId(),
                           SharedMem::ProcessIdentity::self());
  base_ = ring_.writableBase();
  waitPage_ = ring_.waitPage();
  head_ = 1;
  publishedHead_ = 1;
  sleepsWoken_ = 0;
}

void VanquoWriter::detach() {
  if (base_ == nullptr) return;
  retire(ring_);
  ring_.close();
  base_ = nullptr;
  waitPage_ = nullptr;
}

void VanquoWriter::removeFile() {
  detach();
  if (!local_) SharedMem::removeFile(path());
}

std::uint32_t VanquoWriter::sleeps() const {
  if (base_ == nullptr) return 0;
  return Brell::loadWord(waitPage_ + RingOffset::sleeps, std::memory_order_seq_cst);
}

void VanquoWriter::retire(RingFile& ring) {
  unsigned char* base = ring.writableBase();
  // Pairs with the reader's acquire load of the process id: 0 means no writer.
  Brell::storeLong(base + RingOffset::writerProcess, 0, std::memory_order_release);
  unsigned char* wait = ring.waitPage();
  std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(wait + RingOffset::wakeWord))
      .fetch_add(1, std::memory_order_seq_cst);
  futexWakeAll(wait + RingOffset::wakeWord);
}

void VanquoWriter::publishHead() {
  publishedHead_ = head_;
  // Sequentially consistent, with the sleeps load below: pairs with the sleeping
  // reader's increment of sleeps and its re-check of head (see VanquoRing.h).
  Brell::storeLong(base_ + RingOffset::head, head_, std::memory_order_seq_cst);
  std::uint32_t sleeps = Brell::loadWord(waitPage_ + RingOffset::sleeps, std::memory_order_seq_cst);
  if (sleeps != sleepsWoken_) [[unlikely]] {
    // A reader went to sleep since the last wake-up. The bump of the wake word ends
    // the sleep of one that has not reached FUTEX_WAIT yet; the call wakes the others.
    std::atomic_ref<std::uint32_t>(
        *reinterpret_cast<std::uint32_t*>(waitPage_ + RingOffset::wakeWord))
        .fetch_add(1, std::memory_order_seq_cst);
    futexWakeAll(waitPage_ + RingOffset::wakeWord);
    sleepsWoken_ = sleeps;
    ++wakes_;
  }
}

void VanquoWriter::publish(std::uint32_t slotIndex) {
  storeEntry(slotIndex);
  publishHead();
}

}  // namespace Vanquo
