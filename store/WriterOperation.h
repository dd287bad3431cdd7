// The frame of every writer operation that changes the store: the critical section,
// the re-entrancy guard, and the delivery of change callbacks.
//
// Bit 0 of the slot header's runtime flags is set when an operation starts and
// cleared when it ends normally. An operation that leaves by an exception leaves the
// bit set (the files may be half-changed, so the next attach's validation rejects
// them); only the paths that changed nothing (table full, the file could not grow)
// clear it before throwing. While the bit is set, further operations are refused
// with CorruptionDetectedException until the writer is attached again. A re-entrant
// call (from a callback inside an operation) is a programming error and stops the
// process.
//
// Change callbacks run after the critical section is left, once the store is whole
// again: an operation collects the slots it changed and hands them to the callback
// on its way out. A callback that throws therefore cannot leave the bit set or a
// compaction half done; the other changed slots are still delivered and the first
// exception then reaches the caller of the operation. The notification ring hears
// of every change at once (it is part of the store).
//
// Thread-safety: the writer's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "platform/vorl/Exceptions.h"
#include "store/SlotWriterTable.h"
#include "store/VanquoWriter.h"

namespace Brell {

template <StoreTraits T>
class WriterOperation {
 public:
  // Called with the index of every slot whose contents or membership changed.
  using Notify = std::function<void(std::uint32_t slotIndex)>;

  WriterOperation(SlotWriterTable<T>& slots, Vanquo::VanquoWriter& vanquo,
                  std::string const& rootPath, Notify notify)
      : slots_(slots), vanquo_(vanquo), rootPath_(rootPath), notify_(std::move(notify)) {}

  void enter() {
    ASIC_FATAL_CHECK(!inOperation_ && !delivering_, "Brell reentrancy detected: {}", rootPath_);
    if (slots_.criticalSection()) [[unlikely]] {
      throw Vorl::CorruptionDetectedException(fmt::format(
          "Brell table {} was left mid-operation by an earlier failure and must be re-attached",
          rootPath_));
    }
    inOperation_ = true;
    pendingChanges_.clear();  // left over by an operation that failed mid-way
    slots_.criticalSectionIs(true);
  }

  void leave() {
    slots_.criticalSectionIs(false);
    inOperation_ = false;
  }

  // The operation left by an exception: the bit stays set, the guard is released.
  void abandon() { inOperation_ = false; }

  void changed(std::uint32_t slotIndex) {
    vanquo_.slotChanged(slotIndex);
    if (notify_) pendingChanges_.push_back(slotIndex);
  }

  // changed() of each slot in order.
  void changed(std::uint32_t const* slotIndices, std::size_t count) {
    vanquo_.slotsChanged(slotIndices, count);
    if (notify_) pendingChanges_.insert(pendingChanges_.end(), slotIndices, slotIndices + count);
  }

  // Hands the slots changed by the operation just left to the callback. Runs outside
  // the critical section; a callback may not start another operation.
  void deliverChanges() {
    // Most operations have no callback to run: keep that test inline.
    if (!pendingChanges_.empty()) [[unlikely]]
      deliverPending();
  }

 private:
  [[gnu::noinline]] void deliverPending() {
    std::vector<std::uint32_t> changes;
    changes.swap(pendingChanges_);
    std::exception_ptr firstFailure;
    delivering_ = true;
    for (std::uint32_t slotIndex : changes) {
      try {
        notify_(slotIndex);
      } catch (...) {
        if (!firstFailure) firstFailure = std::current_exception();
      }
    }
    delivering_ = false;
    changes.clear();
    if (pendingChanges_.empty()) pendingChanges_.swap(changes);  // keeps the capacity
    if (firstFailure) std::rethrow_exception(firstFailure);
  }

  SlotWriterTable<T>& slots_;
  Vanquo::VanquoWriter& vanquo_;
  std::string const& rootPath_;
  Notify notify_;
  bool inOperation_ = false;
  bool delivering_ = false;
  // Slots changed by the running operation, for the callback once it is left.
  std::vector<std::uint32_t> pendingChanges_;
};

// Enters the critical section on construction; leave() closes it and delivers the
// changes. Leaving the scope without leave() (an exception) keeps the file's bit set
// on purpose.
template <StoreTraits T>
class CriticalSection {
 public:
  explicit CriticalSection(WriterOperation<T>& operation) : operation_(operation) {
    operation_.enter();
  }
  // Continues the section a two-phase write left open.
  static CriticalSection resume(WriterOperation<T>& operation) {
    return CriticalSection(operation, Resume{});
  }
  CriticalSection(CriticalSection const&) = delete;
  CriticalSection& operator=(CriticalSection const&) = delete;
  ~CriticalSection() {
    if (!done_) operation_.abandon();
  }

  void leave() {
    operation_.leave();
    done_ = true;
    operation_.deliverChanges();
  }
  // Ends this scope with the section still open (the first phase of a two-phase write).
  void keepOpen() { done_ = true; }

 private:
  struct Resume {};
  CriticalSection(WriterOperation<T>& operation, Resume) : operation_(operation) {}

  WriterOperation<T>& operation_;
  bool done_ = false;
};

}  // namespace Brell
