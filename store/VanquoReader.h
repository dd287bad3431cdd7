// A reader of a store's change-notification ring: Vanquo::VanquoReader.
//
// Follows the ring written by the store's VanquoWriter (format and protocol in
// VanquoRing.h): read() hands over every notification published since the last
// call, in order, as a Slot {slotIndex, sequence}; wait() sleeps until there is news
// (or the writer goes away) without spinning; held() tells whether the ring still
// holds a given notification (it is tombstoned once the writer has lapped it);
// writerState() tells whether the writer that made the ring is still attached and
// alive. A reader that fell behind by more than the ring holds gets Read::overrun and
// must resynchronise from the slot table (restartAtHead() first, then re-read every
// slot), because notifications were lost.
//
// Nothing in the ring is trusted: slot indexes are handed over as found (callers
// bounds-check them against the slot table), a damaged header is refused at
// initialize(), and a head that moves backwards reads as an overrun.
//
// Thread-safety: one thread per reader object; any number of readers in any process.
#pragma once

#include "platform/plugin/Export.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/sharedmem/ProcessIdentity.h"
#include "platform/sharedmem/PyrelId.h"
#include "store/Link.h"
#include "store/VanquoRing.h"

namespace Vanquo {

// One notification: the slot the writer changed and the notification's sequence.
struct HWTABLES_API BasicSlot {
  std::uint32_t slotIndex = 0;
  std::uint64_t sequence = 0;
};

enum class WriterState {
  attached,  // the ring's writer is attached and alive
  detached,  // the writer detached, or a newer writer replaced this ring
  dead,      // the process that made the ring is gone (killed or crashed)
  replaced,  // the ring file was replaced by another while its writer looked alive
};

template <class Slot = BasicSlot>
class VanquoReader {
 public:
  enum class Read { ok, overrun };

  explicit VanquoReader(std::string rootPath) : path_(std::move(rootPath) + "/" + kRingFileName) {}

  // Which ring this is: a new writer makes a new one.
  struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t created = 0;
    bool operator==(Identity const&) const = default;
  };

  // Opens the ring and starts following it from its current head. False (with
  // lastError()) when there is no valid ring, or no writer attached to it while
  // `requireWriter` (a ring whose writer left still tells which writer wrote last).
  bool initialize(bool requireWriter = true) {
    detach();
    std::string reason;
    if (!ring_.open(path_, false, &reason)) {
      lastError_ = reason;
      return false;
    }
    if (requireWriter && writerProcess() == 0) {
      lastError_ = "no writer attached to " + path_;
      ring_.close();
      return false;
    }
    next_ = head();
    lastError_.clear();
    return true;
  }
  void detach() { ring_.close(); }
  Identity identity() const {
    return Identity{ring_.device(), ring_.inode(), ring_.header().created};
  }
  bool attached() const { return ring_.isOpen(); }
  std::string const& lastError() const { return lastError_; }
  std::string const& path() const { return path_; }

  // The restart identity of the store the writer attached to.
  SharedMem::PyrelId pyrel() const { return ring_.header().pyrel; }
  std::uint32_t capacity() const { return ring_.capacity(); }
  // The sequence the writer's next notification will carry.
  std::uint64_t head() const {
    // Pairs with the writer's store of head after the entry (VanquoWriter::publish).
    return Brell::loadLong(ring_.base() + RingOffset::head, std::memory_order_acquire);
  }
  // The last sequence handed over (or skipped by a resynchronisation).
  std::uint64_t sequence() const { return next_ - 1; }
  bool pending() const { return attached() && head() != next_; }
  std::uint64_t overruns() const { return overruns_; }

  // Hands every published notification not yet handed over to `handle(Slot)`, at
  // most `limit` of them. Read::overrun when the writer lapped this reader: the
  // notifications in between are lost, and the caller must resynchronise.
  template <class Handle>
  Read read(Handle&& handle, std::size_t limit = SIZE_MAX) {
    if (!attached()) return Read::ok;
    std::uint64_t published = head();
    if (published < next_ || published - next_ > ring_.capacity()) return overrun();
    std::uint64_t const mask = ring_.capacity() - 1;
    for (std::size_t count = 0; next_ < published && count < limit; ++count) {
      // Pairs with the writer's release store of the entry; a word that carries
      // another sequence was overwritten by a writer that lapped us.
      std::uint64_t entry =
          Brell::loadLong(ring_.entries() + (next_ & mask) * 8, std::memory_order_acquire);
      if (!entryHolds(entry, next_)) return overrun();
      std::uint64_t sequence = next_++;
      handle(Slot{entrySlot(entry), sequence});
    }
    return Read::ok;
  }

  // Forgets everything not yet handed over and follows the ring from its current
  // head; returns that head. A resynchronisation calls this before it re-reads the
  // slot table, so every change after the re-read still arrives as a notification.
  std::uint64_t restartAtHead() {
    if (attached()) next_ = head();
    return next_;
  }

  // Whether the ring still holds notification `sequence` for `slotIndex`: published
  // and not yet overwritten by the writer lapping it.
  bool held(std::uint32_t slotIndex, std::uint64_t sequence) const {
    if (!attached() || sequence == 0 || sequence >= head()) return false;
    // Pairs with the writer's release store of the entry.
    std::uint64_t entry = Brell::loadLong(ring_.entries() + (sequence & (ring_.capacity() - 1)) * 8,
                                          std::memory_order_acquire);
    return entryHolds(entry, sequence) && entrySlot(entry) == slotIndex;
  }

  // Sleeps until there is news, the writer detaches, or `timeout` passed. True when
  // notifications are pending. Does not spin: a futex sleep on the ring's wake word,
  // or short sleeps when this process may not write the wait page.
  bool wait(std::chrono::nanoseconds timeout) {
    if (!attached()) return false;
    if (pending()) return true;
    unsigned char* waitPage = ring_.waitPage();
    if (waitPage == nullptr) {
      auto end = std::chrono::steady_clock::now() + timeout;
      while (!pending() && writerProcess() != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return pending();
    }
    auto* sleeps = reinterpret_cast<std::uint32_t*>(waitPage + RingOffset::sleeps);
    auto* wakeWord = reinterpret_cast<std::uint32_t*>(waitPage + RingOffset::wakeWord);
    // Sequentially consistent, pairing with the writer's store of head and its load
    // of sleeps (VanquoWriter::publish): either it sees this sleep announced and bumps
    // the wake word (and wakes us), or we see its new head below. The count is never
    // taken back, so a reader killed in its sleep leaves nothing the writer keeps
    // paying for.
    std::atomic_ref<std::uint32_t>(*sleeps).fetch_add(1, std::memory_order_seq_cst);
    std::uint32_t word = std::atomic_ref<std::uint32_t>(*wakeWord).load(std::memory_order_seq_cst);
    if (Brell::loadLong(ring_.base() + RingOffset::head, std::memory_order_seq_cst) == next_ &&
        writerProcess() != 0) {
      futexWait(wakeWord, word, timeout);
    }
    return pending();
  }

  // The identity the ring's writer recorded (empty once it detached).
  SharedMem::ProcessIdentity writer() const {
    std::uint32_t process = writerProcess();
    if (process == 0) return {};
    return SharedMem::ProcessIdentity{process,
                                      Brell::loadLong(ring_.base() + RingOffset::writerStart)};
  }

  // Whether the writer of this ring is still there. Reads /proc, so callers ask
  // when a wait ended without news rather than on every notification.
  WriterState writerState() const {
    if (!attached()) return WriterState::detached;
    auto identity = writer();
    if (identity.empty()) return WriterState::detached;
    if (!identity.alive()) return WriterState::dead;
    if (!sameFile(path_, ring_.device(), ring_.inode())) return WriterState::replaced;
    return WriterState::attached;
  }

 private:
  std::uint32_t writerProcess() const {
    // Pairs with the writer's release store of its process id (attach, retire).
    return static_cast<std::uint32_t>(
        Brell::loadLong(ring_.base() + RingOffset::writerProcess, std::memory_order_acquire));
  }
  Read overrun() {
    ++overruns_;
    return Read::overrun;
  }

  std::string path_;
  RingFile ring_;
  std::uint64_t next_ = 1;
  std::uint64_t overruns_ = 0;
  std::string lastError_;
};

inline char const* toString(WriterState state) {
  switch (state) {
    case WriterState::attached:
      return "attached";
    case WriterState::detached:
      return "detached";
    case WriterState::dead:
      return "dead";
    case WriterState::replaced:
      return "replaced";
  }
  return "unknown";
}

}  // namespace Vanquo
