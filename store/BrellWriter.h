// The single writer of a store: Brell::BrellWriter.
//
// One process per root directory writes (the owner file's lock enforces it
// machine-wide); any number of BrellReaders in other processes read concurrently
// without locks. All operations run on the thread that owns the writer.
//
// The writer is put together from parts with one concern each:
//   WriterFiles      ownership of the root, attach/validate/wipe, detach, removal
//   WriterOperation  the critical section around each change, change callbacks
//   ChainWriter      slot allocation, linking, rewriting, unlinking, in the order
//                    readers rely on (publication order, see SlotLayout.h)
//   SlotCompactor    moving entries down and shrinking the slot table
//   WriterIteration  walking the list in order
//   DirectWrite      the pending first phase of a two-phase write
//   WriterSlotCache  where batches last found their keys (one-integer keys)
// This class holds the data operations and the queries, and ties the parts together.
//
// Life cycle: initialize() attaches to the root's files (reusing valid ones, wiping
// and re-formatting once otherwise), detach() unmaps and keeps the files, cleanup()
// removes them. A local writer (descriptor.local, see Tmp in BrellTmp.h) keeps
// everything in heap memory of this process and has no files.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <span>
#include <string>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"
#include "store/BrellInterface.h"
#include "store/ChainWriter.h"
#include "store/Debug.h"
#include "store/DirectWrite.h"
#include "store/MapDescriptor.h"
#include "store/SlotCompactor.h"
#include "store/SlotWriterTable.h"
#include "store/StoreFiles.h"
#include "store/WriterFiles.h"
#include "store/WriterHashMap.h"
#include "store/WriterIteration.h"
#include "store/WriterOperation.h"
#include "store/WriterSlotCache.h"

namespace Brell {

template <StoreTraits T>
class BrellWriter : public BrellInterface<T> {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;
  using Info = TraitsInfo<T>;
  using Slots = SlotWriterTable<T>;
  using Map = BrellCore::WriterHashMap<T>;
  using Cache = WriterSlotCache<T>;
  // Called with the index of every slot whose contents or membership changed.
  using Notify = typename WriterOperation<T>::Notify;

  BrellWriter(std::string name, MapDescriptor const& descriptor, std::string rootPath,
              Notify notify = {})
      : files_(std::move(name), descriptor, std::move(rootPath)),
        operation_(files_.slots(), files_.vanquo(), files_.rootPath(), std::move(notify)),
        chain_(files_.slots(), files_.map(), files_.counters(), operation_, files_.rootPath()),
        compactor_(files_.slots(), files_.map(), files_.counters(), operation_,
                   descriptor.criticalTaskCheck),
        iteration_(files_.slots(), files_.map(), files_.rootPath()) {}

  BrellWriter(BrellWriter const&) = delete;
  BrellWriter& operator=(BrellWriter const&) = delete;

  ~BrellWriter() override {
    try {
      detach(true);
    } catch (...) {
      // Destructors never throw; detach's own failures are traced there.
    }
  }

  // --- life cycle -----------------------------------------------------------------
  bool initialize(std::string const& event) override {
    if (!descriptor().local && !Util::atomicsSupported()) {
      throw Vorl::InvalidInitializeException("Hardware does not support Atomics");
    }
    if (this->initialized_) return true;
    VORL_TRACE(Debug::writer(), kDebugLevel, "{} event:{}", rootPath(), event);
    attach();
    this->initialized_ = true;
    return true;
  }

  // Takes ownership of the root and attaches to its files; wipes once when they are
  // not valid. Throws InvalidInitializeException when another writer owns the root.
  void attach() { files_.attach(); }

  bool validate() override { return files_.validate(files_.pyrel(), true); }

  // The checks of existing files: slot table, bucket table, both walks, and (when
  // asked) the owner file. Never changes the store.
  bool validate(SharedMem::PyrelId identity, bool checkOwner, std::string* reasonOut = nullptr) {
    return files_.validate(identity, checkOwner, reasonOut);
  }

  bool validateFiles() override { return files_.validateFiles(); }

  void cleanup() override {
    files_.claimForCleanup();
    removeFiles();
  }

  // Removes every file of the store; the writer is detached afterwards.
  void removeFiles() {
    direct_.requireNone();
    files_.remove();
    this->initialized_ = false;
  }

  void detach(bool /*force*/) override {
    direct_.requireNone([this] { return direct_.stagedText(); });
    files_.detach();
    slotCache_.clear();
    this->initialized_ = false;
  }

  // --- data -------------------------------------------------------------------------
  Value const* write(Value const& value, bool overwrite) {
    requireAttached();
    direct_.requireNone([&] {
      return fmt::format("{} when writing value:{}", direct_.stagedText(), bytesText(value));
    });
    CriticalSection<T> section(operation_);
    Key key = T::key(value);
    // A present key (an update) needs only its slot; the full walk runs for a new one.
    if (std::uint32_t slot = map().findQuickly(key); slot != Map::kNotFound) [[likely]] {
      return overwriteAt(slot, value, overwrite, section);
    }
    auto position = map().locate(key);
    if (position.found) return overwriteAt(position.slot, value, overwrite, section);
    std::uint32_t index = chain_.allocateSlot(section);
    chain_.linkNewSlot(index, position.previous, value, position.rhash);
    VORL_TRACE(Debug::writer(), kDebugLevel, "new {} bucket:{} slot:{} next:{}", Info::keyText(key),
               position.bucket, index, slots().link(index).value);
    // The occupancy straight from the header: members() is virtual.
    if (slots().occupancy() > map().growThreshold()) map().growBuckets();
    section.leave();
    return Slots::valueAt(slots().slot(index));
  }

  // Writes every value in order, as write() of each would (a key twice: the later
  // value stays), in one operation: one critical section, and one publish to the
  // notification ring for the whole batch, in which every changed slot keeps its own
  // notification and sequence. Readers see each entry old or new, never torn, as for
  // single writes; followers learn of every change once the batch is published. An
  // empty batch changes and publishes nothing. When an entry fails (table full, no
  // space to grow) the entries before it stay written and published, as if written
  // one by one, and the exception reaches the caller. A writer killed inside a batch
  // leaves the critical-section bit set: the next writer wipes the store.
  void writeBatch(std::span<Value const> values, bool overwrite = true) {
    requireAttached();
    direct_.requireNone([&] {
      return fmt::format("{} when writing a batch of {} values", direct_.stagedText(),
                         values.size());
    });
    if (values.empty()) return;
    RingBatch batch(files_.vanquo());
    CriticalSection<T> section(operation_);
    // In runs of kBatchRun: first the slots of the keys already present, then the
    // changes. The finding is reads only and each key's is independent of the others,
    // so the processor overlaps them, where finding each key just before its change
    // waits on its hash and two loads every time. A slot found stays the key's for
    // the whole batch: a batch only rewrites and adds, and neither moves an entry.
    std::uint32_t present[kBatchRun];
    bool const cached = slotCache_.fit(slots().numSlots());
    for (std::size_t start = 0; start < values.size(); start += kBatchRun) {
      std::size_t run = std::min(kBatchRun, values.size() - start);
      std::size_t missing = 0;
      for (std::size_t at = 0; at < run; ++at) {
        present[at] = findPresent(T::key(values[start + at]), cached);
        missing += present[at] == Map::kNotFound;
      }
      if (missing == 0 && overwrite) [[likely]] {
        chain_.rewriteValues(present, values.data() + start, run);
        continue;
      }
      for (std::size_t at = 0; at < run; ++at) {
        // The present keys from here on, rewritten together.
        std::size_t end = at;
        while (end < run && present[end] != Map::kNotFound) ++end;
        if (end != at) {
          if (overwrite) chain_.rewriteValues(present + at, values.data() + start + at, end - at);
          at = end - 1;
          continue;
        }
        Value const& value = values[start + at];
        // Absent at the start of the run, or beyond the short walk: the full walk,
        // which also finds a key added earlier in this batch.
        auto position = map().locate(T::key(value));
        if (position.found) {
          if (overwrite) chain_.rewriteValue(position.slot, value);
          continue;
        }
        std::uint32_t index = chain_.allocateSlot(section);
        chain_.linkNewSlot(index, position.previous, value, position.rhash);
        if (slots().occupancy() > map().growThreshold()) map().growBuckets();
      }
    }
    // Published before the section closes, as a single write's notification is.
    batch.publish();
    section.leave();
  }

  bool remove(Key const& key, Value* removed) {
    requireAttached();
    direct_.requireNone([&] {
      return fmt::format("{} when removing key:{}", direct_.stagedText(), Info::keyText(key));
    });
    auto position = map().locate(key);
    if (!position.found) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "{} bucket:{} not found", Info::keyText(key),
                 position.bucket);
      return false;
    }
    CriticalSection<T> section(operation_);
    if (removed) {
      std::memcpy(static_cast<void*>(removed), Slots::valueAt(slots().slot(position.slot)),
                  sizeof(Value));
    }
    chain_.unlink(position);
    compactor_.maybeShrink();
    if (map().mayShrink(members())) map().shrinkBucketTable();
    section.leave();
    return true;
  }

  void forEachValue(std::function<void(Value const&)> const& visit) final { visitValues(visit); }

  // The slot scan of forEachValue with the visitor called directly, so that it can be
  // inlined: a whole-store pass (a download) pays no indirect call per entry.
  template <class Visitor>
  void visitValues(Visitor&& visit) {
    requireAttached();
    for (std::uint32_t index = 0; index < slots().numSlots(); ++index) {
      unsigned char const* slot = slots().slot(index);
      if ((slots().link(index).version & kOccupiedBit) != 0) visit(*Slots::valueAt(slot));
    }
  }

  Value const* lookup(Key const& key, bool& found, Value* /*buffer*/) final {
    requireAttached();
    if (std::uint32_t slot = map().findQuickly(key); slot != Map::kNotFound) [[likely]] {
      found = true;
      return Slots::valueAt(slots().slot(slot));
    }
    auto position = map().locate(key);
    found = position.found;
    return found ? Slots::valueAt(slots().slot(position.slot)) : nullptr;
  }

  // Two-phase write: returns a staging area holding `value`; the caller may change
  // it (not its key) and then calls directCommit(). The critical section stays open
  // in between, so no other change may happen.
  Value* directWrite(Value const& value) {
    requireAttached();
    direct_.requireNone([&] {
      return fmt::format("{} when modifying key:{}", direct_.stagedText(),
                         Info::keyText(T::key(value)));
    });
    CriticalSection<T> section(operation_);
    Key key = T::key(value);
    auto position = map().locate(key);
    std::uint32_t slot = position.found ? position.slot : chain_.allocateSlot(section);
    Value* staged = direct_.begin(slot, !position.found, position.previous, position.rhash, value);
    ++mutableCounters().directWrites;
    VORL_TRACE(Debug::writer(), kDebugLevel, "{}{} bucket:{} slot:{} next:{}", Info::keyText(key),
               direct_.isNew() ? " new " : " existing ", position.bucket, slot,
               slots().link(slot).value);
    section.keepOpen();
    return staged;
  }

  void directCommit() {
    direct_.requirePending();
    auto section = CriticalSection<T>::resume(operation_);
    std::uint32_t index = direct_.finish();
    Value const& staged = direct_.staged();
    // The staged value's key may not change: storing it here would put a key in a
    // chain it does not belong to. Nothing is written then; a new slot goes back.
    bool sameKey = reverseBits(direct_.rhash()) == map().hashOf(T::key(staged)) &&
                   (direct_.isNew() ||
                    T::compare(T::key(*Slots::valueAt(slots().slot(index))), T::key(staged)) == 0);
    if (!sameKey) {
      if (direct_.isNew()) chain_.freeSlot(index);
      section.leave();
      throw Vorl::RangeException(
          fmt::format("directCommit: the staged value's key {} is not the key given to directWrite",
                      Info::keyText(T::key(staged))));
    }
    if (direct_.isNew()) {
      chain_.linkNewSlot(index, direct_.previous(), staged, direct_.rhash());
    } else {
      chain_.rewriteValue(index, staged);
    }
    ++mutableCounters().directCommits;
    if (members() > map().growThreshold()) map().growBuckets();
    section.leave();
  }

  bool first(Value& value, IterHint& hint) final { return firstFrom(0, value, hint); }

  bool firstFrom(std::uint32_t bucket, Value& value, IterHint& hint) {
    requireAttached();
    return iteration_.firstFrom(bucket, value, hint);
  }

  bool next(Key const& keyIn, Value& value, IterHint& hint) final {
    requireAttached();
    Key const key = keyIn;  // the caller may pass the key inside `value`
    return iteration_.next(key, value, hint);
  }

  bool nextUnchecked(Key const& key, Value& value, IterHint& hint) {
    requireAttached();
    return iteration_.nextUnchecked(key, value, hint);
  }

  bool markAndSweepFlag(Key const& key, MarkAndSweepOperation operation) {
    requireAttached();
    auto position = map().locate(key);
    if (!position.found) return false;
    if (operation == MarkAndSweepOperation::get) {
      return markOf(slots().link(position.slot).value) != 0;
    }
    CriticalSection<T> section(operation_);
    chain_.markIs(position.slot, operation == MarkAndSweepOperation::set);
    section.leave();
    return true;
  }

  // --- queries --------------------------------------------------------------------
  std::uint32_t members() const override { return slots().attached() ? slots().occupancy() : 0; }
  std::uint32_t buckets() const override { return map().numBuckets(); }
  std::uint32_t minSize() const override { return slots().initialCapacity(); }
  std::uint32_t maxSize() const override { return slots().maxSize(); }
  std::uint32_t capacity() const override { return slots().numSlots(); }
  StoreType type() const override { return StoreType::writer; }
  MountStatus mountStatus() const override {
    return this->initialized_ ? MountStatus::mounted : MountStatus::unmounted;
  }
  std::string brellName() const override { return files_.name(); }
  std::string rootPath() const override { return files_.rootPath(); }
  SharedMem::PyrelId pyrelId() const override { return files_.pyrel(); }
  bool owner() const { return files_.owner(); }
  MapDescriptor const& descriptor() const { return files_.descriptor(); }
  WriterCounters const& counters() const { return files_.counters(); }
  std::uint32_t shrinkThreshold() const { return slots().shrinkThreshold(); }
  Slots const& slotTable() const { return slots(); }
  Map const& hashMap() const { return map(); }

  std::string dumpHeaders() const override { return files_.dumpHeaders(); }

 private:
  // Holds the ring's publishing for a batch; publishes what the batch changed also
  // when it leaves by an exception (the slots did change).
  // Entries of a batch whose slots are found together before they are changed.
  static constexpr std::size_t kBatchRun = 32;

  class RingBatch {
   public:
    explicit RingBatch(Vanquo::VanquoWriter& ring) : ring_(ring) { ring_.beginBatch(); }
    RingBatch(RingBatch const&) = delete;
    RingBatch& operator=(RingBatch const&) = delete;
    ~RingBatch() { publish(); }
    void publish() {
      if (open_) ring_.endBatch();
      open_ = false;
    }

   private:
    Vanquo::VanquoWriter& ring_;
    bool open_ = true;
  };

  Slots& slots() { return files_.slots(); }
  Slots const& slots() const { return files_.slots(); }
  Map& map() { return files_.map(); }
  Map const& map() const { return files_.map(); }
  WriterCounters& mutableCounters() { return files_.counters(); }

  // The slot of a present key, or Map::kNotFound: from the slot cache when it is
  // `cached` and knows, else by the short walk (remembered for the next batch).
  [[gnu::always_inline]] std::uint32_t findPresent(Key const& key, bool cached) {
    if constexpr (Cache::kEnabled) {
      static_assert(Cache::kNone == Map::kNotFound);
      if (cached) {
        std::uint32_t slot = slotCache_.find(key, slots());
        if (slot != Cache::kNone) [[likely]]
          return slot;
        slot = map().findQuickly(key);
        if (slot != Map::kNotFound) slotCache_.remember(key, slot);
        return slot;
      }
    }
    return map().findQuickly(key);
  }

  Value const* overwriteAt(std::uint32_t slot, Value const& value, bool overwrite,
                           CriticalSection<T>& section) {
    if (overwrite) chain_.rewriteValue(slot, value);
    VORL_TRACE(Debug::writer(), kDebugLevel, "existing {} bucket:{} slot:{} next:{}",
               Info::keyText(T::key(value)), map().bucketOf(map().hashOf(T::key(value))), slot,
               slots().link(slot).value);
    section.leave();
    return Slots::valueAt(slots().slot(slot));
  }

  void requireAttached() const {
    if (!slots().attached()) [[unlikely]] {
      throw Vorl::InvalidInitializeException(
          fmt::format("Brell table {} is not initialized", files_.rootPath()));
    }
  }

  WriterFiles<T> files_;
  WriterOperation<T> operation_;
  ChainWriter<T> chain_;
  SlotCompactor<T> compactor_;
  WriterIteration<T> iteration_;
  DirectWrite<T> direct_;
  Cache slotCache_;
};

}  // namespace Brell
