// The single writer of a store: Brell::BrellWriter.
//
// One process per root directory writes (the owner file's lock enforces it
// machine-wide); any number of BrellReaders in other processes read concurrently
// without locks. All operations run on the thread that owns the writer.
//
// Every operation that changes the maps runs inside a critical section: bit 0 of the
// header's runtime flags is set on entry and cleared on a normal exit. An operation
// that leaves by an exception leaves the bit set (the files may be half-changed, so
// the next attach's validation rejects them); only the paths that changed nothing
// (table full, the file could not grow) clear it before throwing. A writer whose
// earlier operation failed that way refuses further changes with
// CorruptionDetectedException until it is attached again; a re-entrant call (from a
// callback inside an operation) is a programming error and stops the process.
//
// Change callbacks run after the critical section is left, once the store is whole
// again: an operation collects the slots it changed and hands them to the callback
// on its way out. A callback that throws therefore cannot leave the bit set or a
// compaction half done; the other changed slots are still delivered and the first
// exception then reaches the caller of the operation.
//
// Publication order (what readers rely on, see SlotLayout.h): a new slot is fully
// written (link, value, rhash, occupied bit) before the one 8-byte store that links
// it into its predecessor; a removed slot is unlinked before it is freed; every link
// change adds 4 to its version word. Each store below names the reader load it pairs
// with.
//
// Life cycle: initialize() attaches to the root's files (reusing valid ones, wiping
// and re-formatting once otherwise), detach() unmaps and keeps the files, cleanup()
// removes them. A local writer (descriptor.local, see Tmp) keeps everything in heap
// memory of this process and has no files.
#pragma once

#include <unistd.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/OwnerFile.h"
#include "platform/sharedmem/PyrelFile.h"
#include "platform/vorl/Toggle.h"
#include "store/BrellInterface.h"
#include "store/Debug.h"
#include "store/MapDescriptor.h"
#include "store/SlotWriterTable.h"
#include "store/StoreFiles.h"
#include "store/Validator.h"
#include "store/WriterHashMap.h"

namespace Brell {

template <StoreTraits T>
class BrellWriter : public BrellInterface<T> {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;
  using Info = TraitsInfo<T>;
  using Slots = SlotWriterTable<T>;
  using Map = BrellCore::WriterHashMap<T>;
  // Called with the index of every slot whose contents or membership changed.
  using Notify = std::function<void(std::uint32_t slotIndex)>;

  static constexpr std::uint32_t kSharedMemType = 1;

  BrellWriter(std::string name, MapDescriptor const& descriptor, std::string rootPath,
              Notify notify = {})
      : rootPath_(std::move(rootPath)),
        name_(std::move(name)),
        descriptor_(descriptor),
        notify_(std::move(notify)),
        slots_(descriptor.local ? SharedMem::MappedFile::onHeap(name_ + "/" + kSlotFileName)
                                : SharedMem::MappedFile::inDirectory(rootPath_, kSlotFileName),
               SlotTableSettings{descriptor.maxSize, descriptor.fixedSize, descriptor.shrinkable},
               counters_),
        map_(descriptor.local
                 ? SharedMem::MappedFile::onHeap(name_ + "/" + BrellCore::kBucketFileName)
                 : SharedMem::MappedFile::inDirectory(rootPath_, BrellCore::kBucketFileName),
             slots_, counters_, descriptor.shrinkBuckets, descriptor.criticalTaskCheck),
        vanquo_(rootPath_, descriptor.local, [this] { return pyrel_; },
                descriptor.notificationCapacity),
        typeName_(T::typeName()),
        criticalTaskCheck_(descriptor.criticalTaskCheck) {
    if (descriptor.maxSize == 0) {
      throw Vorl::InvalidInitializeException(fmt::format(
          "0 is not a valid initialization size for collection {} in writer mode", name_));
    }
    if (descriptor.maxSize > kMaxSlots) {
      throw Vorl::InvalidInitializeException(
          fmt::format("size {} of collection {} exceeds {}", descriptor.maxSize, name_, kMaxSlots));
    }
    if (descriptor.heap && !descriptor.local) {
      throw Vorl::InvalidInitializeException(fmt::format(
          "cannot initialize collection {} heap allocation in non-local mode not allowed", name_));
    }
    auto mode = Vorl::getToggleState("Brell.json", "FullCoreDump")
                    ? SharedMem::CoreDumpMode::include
                    : SharedMem::CoreDumpMode::exclude;
    slots_.file().coreDumpModeIs(mode);
    map_.bucketWriter().file().coreDumpModeIs(mode);
    if (!descriptor.local) ownerFile_ = std::make_unique<SharedMem::OwnerFile>(rootPath_);
  }

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
    if (!descriptor_.local && !Util::atomicsSupported()) {
      throw Vorl::InvalidInitializeException("Hardware does not support Atomics");
    }
    if (this->initialized_) return true;
    VORL_TRACE(Debug::writer(), kDebugLevel, "{} event:{}", rootPath_, event);
    attach();
    this->initialized_ = true;
    return true;
  }

  // Takes ownership of the root and attaches to its files; wipes once when they are
  // not valid. Throws InvalidInitializeException when another writer owns the root.
  void attach() {
    VORL_TRACE(Debug::writer(), kDebugLevel, "local:{} rootPath:{}", descriptor_.local, rootPath_);
    bool identityFound = false;
    bool ownerValid = true;
    SharedMem::ShocketInfo socket;
    if (descriptor_.local) {
      pyrel_ = SharedMem::PyrelId(0, static_cast<std::uint32_t>(::getpid()));
    } else {
      ownerFile_->open();
      if (!ownerFile_->tryLock()) {
        ownerFile_->close();
        throw Vorl::InvalidInitializeException(
            fmt::format("another writer owns Brell table {}", rootPath_));
      }
      socket = SharedMem::ShocketInfo{static_cast<std::uint32_t>(::getpid()), vanquo_.socketName()};
      SharedMem::PyrelFile pyrelFile(rootPath_);
      if (auto contents = pyrelFile.read()) {
        pyrel_ = contents->identity;
        identityFound = true;
      } else {
        pyrel_ = SharedMem::PyrelId::makeNew();
      }
      std::string reason;
      ownerValid = ownerFile_->validate(&reason);
      if (!ownerValid) {
        VORL_TRACE(Debug::writer(), kDebugLevel,
                   "owner file validation failed, dumping owner file string: {}",
                   ownerFile_->toString());
      }
      ownerFile_->valueTypeIs(typeName_, kSharedMemType);
    }
    bool wipe = !ownerValid;
    int result = attachAndValidate(wipe, socket);
    bool expectReattach = !descriptor_.local && ownerValid && identityFound;
    if ((result != kAttachNew && result != kAttachExisting) ||
        (result == kAttachNew && expectReattach)) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "expectReattach: {}, attachResult: {}",
                 expectReattach, result);
      ASIC_FATAL_ASSERT(!wipe, "!wiped", "failed to attach to and validate new files");
      result = attachAndValidate(true, socket);
      ASIC_FATAL_ASSERT(result == kAttachNew || result == kAttachExisting, "attached",
                        "failed to attach to and validate new files");
    }
    std::uint64_t modificationTime = 0;
    if (!descriptor_.local) {
      Util::removeCorruptionFile(rootPath_);
      owner_ = true;
      modificationTime = SharedMem::PyrelFile(rootPath_).write(pyrel_).modificationTime;
    }
    VORL_TRACE(Debug::writer(), kDebugLevel,
               "success {} capacity:{} pyrelId:{} mtime:{} shocketInfo:{}", rootPath_, capacity(),
               pyrel_.toString(), modificationTime, socket.toString());
  }

  // 1 (new files), 2 (existing files attached and valid), or 0 (the caller wipes).
  int attachAndValidate(bool wipe, SharedMem::ShocketInfo const& socket) {
    if (wipe) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "all entries from {} will be lost", rootPath_);
      pyrel_ = pyrel_.wiped();
      if (ownerFile_) ownerFile_->wipedIs(true);
      VORL_TRACE(Debug::writer(), kDebugLevel, "removing file: {}", slots_.file().path());
      slots_.remove();
      map_.remove();
    }
    int result = attach(pyrel_);
    if (result == kAttachNew || result == kAttachExisting) {
      std::string reason;
      if (validate(pyrel_, false, &reason)) {
        if (ownerFile_) {
          ownerFile_->shocketInfoIs(socket);
          std::string ownerReason;
          ASIC_FATAL_ASSERT(ownerFile_->validate(&ownerReason), "ownerFile.validate()",
                            "wrote to owner file but validation failed: {}", ownerReason);
        }
        if (wipe) VORL_TRACE(Debug::writer(), kDebugLevel, "re-formatted successfully");
        return result;
      }
      if (wipe) throw Vorl::InvalidInitializeException("failed validation");
      if (Util::runningOnPhysicalDut() && Util::strictValidation()) {
        throw Vorl::InvalidInitializeException(
            fmt::format("failed initial validation of {} after re-attaching", rootPath_));
      }
      VORL_TRACE(Debug::writer(), kDebugLevel, "failed to validate existing files");
    } else {
      ASIC_FATAL_ASSERT(!wipe, "!wipe", "expected successful attach post-wipe");
      VORL_TRACE(Debug::writer(), kDebugLevel, "failed to attach to existing files");
    }
    VORL_TRACE(Debug::writer(), kDebugLevel, "{}", dumpHeaders());
    VORL_TRACE(Debug::writer(), kDebugLevel, "owner file: {}",
               ownerFile_ ? ownerFile_->toString() : std::string("none"));
    slots_.detach();
    map_.detach();
    return 0;
  }

  // Attaches slot table, bucket table and notification writer with an identity;
  // the or of their results.
  int attach(SharedMem::PyrelId identity) {
    counters_ = WriterCounters{};
    int slotsAttached = slots_.attach(identity);
    VORL_TRACE(Debug::writer(), kDebugLevel, "slotsAttached:{}", slotsAttached);
    ASIC_FATAL_ASSERT((slotsAttached & ~4) != 0, "slotsAttached", "Invalid slot attach");
    int mapAttached = map_.attach(identity);
    VORL_TRACE(Debug::writer(), kDebugLevel, "mapAttached:{}", mapAttached);
    ASIC_FATAL_ASSERT((mapAttached & ~4) != 0, "mapAttached", "Invalid map attach");
    int vanquoAttached = vanquo_.attach();
    VORL_TRACE(Debug::writer(), kDebugLevel, "vanquoAttached:{}", vanquoAttached);
    ASIC_FATAL_ASSERT(vanquoAttached >= 0, "vanquoAttached", "Invalid vanquo attach");
    return slotsAttached | mapAttached | vanquoAttached;
  }

  bool validate() override { return validate(pyrel_, true); }

  // The checks of existing files: slot table, bucket table, both walks, and (when
  // asked) the owner file. Never changes the store.
  bool validate(SharedMem::PyrelId identity, bool checkOwner, std::string* reasonOut = nullptr) {
    std::string reason;
    bool valid = slots_.validate(identity, &reason) && map_.validate(identity, &reason);
    if (valid) {
      Validator validator(image(), typedKeyOps(), name_);
      valid = validator.validate(&reason);
    }
    if (valid && checkOwner && ownerFile_) valid = ownerFile_->validate(&reason);
    if (!valid) {
      VORL_TRACE(Debug::validator(), kDebugLevel, "Brell {} validation failed: {}", name_, reason);
      VORL_TRACE(Debug::writer(), kDebugLevel, "{}", dumpHeaders());
    }
    if (reasonOut) *reasonOut = reason;
    return valid;
  }

  bool validateFiles() override {
    std::string reason;
    bool valid = map_.validate(pyrel_, &reason) && slots_.validate(pyrel_, &reason);
    if (valid && !descriptor_.local) {
      auto contents = SharedMem::PyrelFile(rootPath_).read();
      valid = contents && contents->identity == pyrel_;
      if (!valid) reason = "restart-identity file does not hold this writer's identity";
      if (valid) valid = ownerFile_->validate(&reason);
    }
    if (!valid) VORL_TRACE(Debug::writer(), kDebugLevel, "validateFiles failed: {}", reason);
    if (!descriptor_.local) Util::removeCorruptionFile(rootPath_);
    return valid;
  }

  void cleanup() override {
    VORL_TRACE(Debug::writer(), kDebugLevel, "owner:{} localMem_:{} rootPath:{}", owner_,
               descriptor_.local, rootPath_);
    if (!descriptor_.local) {
      ownerFile_->open();
      if (!ownerFile_->tryLock()) {
        throw Vorl::InvalidInitializeException(
            fmt::format("another writer owns Brell table {}", rootPath_));
      }
      std::string reason;
      if (!ownerFile_->validate(&reason)) {
        VORL_TRACE(Debug::writer(), kDebugLevel,
                   "owner file corruption detected but continuing with cleanup, dumped owner "
                   "file: {}",
                   ownerFile_->toString());
        owner_ = false;
      }
    }
    removeFiles();
  }

  // Removes every file of the store; the writer is detached afterwards.
  void removeFiles() {
    VORL_TRACE(Debug::writer(), kDebugLevel, "removing Brell files in {}", rootPath_);
    ASIC_FATAL_ASSERT(
        directSlot_ == kNullReference, "directSlot_ == none",
        "unbalanced directSlot:{} - Make sure the DirectIs/Commit are properly paired!",
        directSlot_);
    if (!descriptor_.local) Util::removeCorruptionFile(rootPath_);
    map_.remove();
    VORL_TRACE(Debug::writer(), kDebugLevel, "removing file: {}", slots_.file().path());
    slots_.remove();
    vanquo_.removeFile();
    if (!descriptor_.local) {
      SharedMem::PyrelFile(rootPath_).remove();
      Util::removeControlFile(rootPath_);
      ownerFile_->remove();
      ownerFile_->close();
    }
    owner_ = false;
    this->initialized_ = false;
  }

  void detach(bool /*force*/) override {
    ASIC_FATAL_ASSERT(directSlot_ == kNullReference, "directSlot_ == none",
                      "unbalanced directSlot:{} containing value:{} - Make sure the "
                      "DirectIs/Commit are properly paired!",
                      directSlot_, bytesText(staging_));
    VORL_TRACE(Debug::writer(), kDebugLevel, "owner:{} localMem_:{} rootPath:{}", owner_,
               descriptor_.local, rootPath_);
    if (owner_ && ownerFile_ && ownerFile_->locked()) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "clearing shocketInfo");
      try {
        ownerFile_->shocketInfoIs({});
      } catch (Vorl::Exception const& error) {
        VORL_TRACE(Debug::writer(), kDebugLevel, "ignoring owner file corruption:{}", error.what());
      }
    }
    slots_.detach();
    map_.detach();
    vanquo_.detach();
    if (ownerFile_) ownerFile_->close();
    owner_ = false;
    this->initialized_ = false;
  }

  // --- data -------------------------------------------------------------------------
  Value const* write(Value const& value, bool overwrite) final {
    requireAttached();
    ASIC_FATAL_ASSERT(directSlot_ == kNullReference, "directSlot_ == none",
                      "unbalanced directSlot:{} containing value:{} when writing value:{} - Make "
                      "sure the DirectIs/Commit are properly paired!",
                      directSlot_, bytesText(staging_), bytesText(value));
    CriticalSection section(*this);
    Key key = T::key(value);
    std::uint32_t hash = map_.hashOf(key);
    std::uint32_t bucket = map_.bucketOf(hash);
    std::uint32_t rhash = reverseBits(hash);
    auto position = map_.find(key, bucket, rhash);
    if (position.found) {
      if (overwrite) {
        rewriteValue(position.slot, value);
        changed(position.slot);
      }
      VORL_TRACE(Debug::writer(), kDebugLevel, "existing {} bucket:{} slot:{} next:{}",
                 Info::keyText(key), bucket, position.slot, slots_.link(position.slot).value);
      section.leave();
      return Slots::valueAt(slots_.slot(position.slot));
    }
    std::uint32_t index = allocateSlot(section);
    linkNewSlot(index, position.previous, value, rhash);
    VORL_TRACE(Debug::writer(), kDebugLevel, "new {} bucket:{} slot:{} next:{}", Info::keyText(key),
               bucket, index, slots_.link(index).value);
    // The occupancy straight from the header: members() is virtual.
    if (slots_.occupancy() > map_.growThreshold()) map_.growBuckets();
    section.leave();
    return Slots::valueAt(slots_.slot(index));
  }

  bool remove(Key const& key, Value* removed) final {
    requireAttached();
    ASIC_FATAL_ASSERT(directSlot_ == kNullReference, "directSlot_ == none",
                      "unbalanced directSlot:{} containing value:{} when removing key:{} - Make "
                      "sure the DirectIs/Commit are properly paired!",
                      directSlot_, bytesText(staging_), Info::keyText(key));
    std::uint32_t hash = map_.hashOf(key);
    std::uint32_t bucket = map_.bucketOf(hash);
    auto position = map_.find(key, bucket, reverseBits(hash));
    if (!position.found) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "{} bucket:{} not found", Info::keyText(key),
                 bucket);
      return false;
    }
    CriticalSection section(*this);
    std::uint32_t index = position.slot;
    unsigned char* slot = slots_.slot(index);
    SlotLink link = slots_.link(index);
    if (removed) std::memcpy(static_cast<void*>(removed), Slots::valueAt(slot), sizeof(Value));
    SlotLink previous = map_.load(position.previous);
    // Unlink. Pairs with the reader's acquire load of the predecessor link in
    // ReaderHashMap::lookup: a reader still at this slot sees that link changed and
    // restarts.
    storeLink(map_.address(position.previous),
              SlotLink{previous.version + kVersionStep,
                       (link.value & ~kMarkFlag) | markOf(previous.value)});
    // Free: occupied bit cleared and +4 in the same store; pairs with the reader's
    // seqlock load of this slot's version (a reader copying it sees the change).
    storeLink(slot, SlotLink{(link.version & ~kOccupiedBit) + kVersionStep,
                             slots_.freeListHead() | markOf(link.value)});
    slots_.freeListHeadIs(index);
    slots_.occupancyIs(slots_.occupancy() - 1);
    ++counters_.removals;
    changed(index);
    maybeShrinkSlots();
    if (map_.mayShrink(members())) map_.shrinkBucketTable();
    section.leave();
    return true;
  }

  void forEachValue(std::function<void(Value const&)> const& visit) final {
    requireAttached();
    for (std::uint32_t index = 0; index < slots_.numSlots(); ++index) {
      unsigned char* slot = slots_.slot(index);
      if ((slots_.link(index).version & kOccupiedBit) != 0) visit(*Slots::valueAt(slot));
    }
  }

  Value const* lookup(Key const& key, bool& found, Value* /*buffer*/) final {
    requireAttached();
    std::uint32_t hash = map_.hashOf(key);
    auto position = map_.find(key, map_.bucketOf(hash), reverseBits(hash));
    found = position.found;
    return found ? Slots::valueAt(slots_.slot(position.slot)) : nullptr;
  }

  // Two-phase write: returns a staging area holding `value`; the caller may change
  // it (not its key) and then calls directCommit(). The critical section stays open
  // in between, so no other change may happen.
  Value* directWrite(Value const& value) final {
    requireAttached();
    ASIC_FATAL_ASSERT(directSlot_ == kNullReference, "directSlot_ == none",
                      "unbalanced directSlot:{} containing value:{} when modifying key:{} - Make "
                      "sure the DirectIs/Commit are properly paired!",
                      directSlot_, bytesText(staging_), Info::keyText(T::key(value)));
    CriticalSection section(*this);
    Key key = T::key(value);
    std::uint32_t hash = map_.hashOf(key);
    std::uint32_t bucket = map_.bucketOf(hash);
    auto position = map_.find(key, bucket, reverseBits(hash));
    if (position.found) {
      directSlot_ = position.slot;
      directNew_ = false;
    } else {
      directSlot_ = allocateSlot(section);
      directNew_ = true;
      directPrevious_ = position.previous;
    }
    std::memcpy(static_cast<void*>(&staging_), &value, sizeof(Value));
    directRhash_ = reverseBits(hash);
    ++counters_.directWrites;
    VORL_TRACE(Debug::writer(), kDebugLevel, "{}{} bucket:{} slot:{} next:{}", Info::keyText(key),
               directNew_ ? " new " : " existing ", bucket, directSlot_,
               slots_.link(directSlot_).value);
    section.keepOpen();
    return &staging_;
  }

  void directCommit() final {
    ASIC_FATAL_ASSERT(directSlot_ != kNullReference, "directSlot_ != none",
                      "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
    CriticalSection section(*this, CriticalSection::kResume);
    std::uint32_t index = directSlot_;
    directSlot_ = kNullReference;
    std::uint32_t hash = reverseBits(directRhash_);
    if (hash != map_.hashOf(T::key(staging_))) {
      // The staged value's key changed: storing it here would put a key in a chain
      // it does not belong to. Nothing is written; a new slot goes back.
      if (directNew_) freeSlot(index);
      section.leave();
      throw Vorl::RangeException(
          fmt::format("directCommit: the staged value's key {} is not the key given to directWrite",
                      Info::keyText(T::key(staging_))));
    }
    if (directNew_) {
      linkNewSlot(index, directPrevious_, staging_, directRhash_);
    } else {
      if (T::compare(T::key(*Slots::valueAt(slots_.slot(index))), T::key(staging_)) != 0) {
        section.leave();
        throw Vorl::RangeException(fmt::format(
            "directCommit: the staged value's key {} is not the key given to directWrite",
            Info::keyText(T::key(staging_))));
      }
      rewriteValue(index, staging_);
      changed(index);
    }
    ++counters_.directCommits;
    if (members() > map_.growThreshold()) map_.growBuckets();
    section.leave();
  }

  bool first(Value& value, IterHint& hint) final { return firstFrom(0, value, hint); }

  bool firstFrom(std::uint32_t bucket, Value& value, IterHint& hint) {
    requireAttached();
    if (bucket >= map_.numBuckets()) {
      throw Vorl::RangeException(
          fmt::format("bucket {} out of range numBuckets:{}", bucket, map_.numBuckets()));
    }
    auto index = map_.resolve(
        loadLink(map_.bucketWriter().head(bucket), std::memory_order_relaxed).value, bucket);
    if (!index) return false;
    VORL_TRACE(Debug::writerHashMap(), kDebugLevel, "{} found at bucket {}",
               Info::keyText(T::key(*Slots::valueAt(slots_.slot(*index)))), bucket);
    return deliver(*index, value, hint);
  }

  bool next(Key const& keyIn, Value& value, IterHint& hint) final {
    Key const key = keyIn;  // the caller may pass the key inside `value`
    bool more = nextUnchecked(key, value, hint);
    // The list ascends; a step that does not is a damaged link.
    if (more && !ascends(key, T::key(value))) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("iteration after key {} went back to key {} in {}", Info::keyText(key),
                      Info::keyText(T::key(value)), rootPath_));
    }
    return more;
  }

  bool nextUnchecked(Key const& key, Value& value, IterHint& hint) {
    requireAttached();
    if (hint.slotIndex < slots_.numSlots()) {
      unsigned char const* slot = slots_.slot(hint.slotIndex);
      SlotLink link = slots_.link(hint.slotIndex);
      if (link.version == hint.version && (link.version & kOccupiedBit) != 0 &&
          T::compare(T::key(*Slots::valueAt(slot)), key) == 0) {
        std::uint32_t bucket = map_.bucketOf(reverseBits(Slots::rhashAt(slot)));
        auto index = map_.resolve(link.value, bucket);
        VORL_TRACE(Debug::writerHashMap(), kDebugLevel, "{} next slotId {} success {}",
                   Info::keyText(key), index ? static_cast<std::int64_t>(*index) : -1,
                   index.has_value());
        if (!index) return false;
        return deliver(*index, value, hint);
      }
      VORL_TRACE(Debug::writerHashMap(), kDebugLevel,
                 "saw exception in fast path: {}. This might be okay, dropping to slow path to "
                 "find out",
                 "hint no longer matches");
    }
    std::uint32_t hash = map_.hashOf(key);
    std::uint32_t bucket = map_.bucketOf(hash);
    auto position = map_.find(key, bucket, reverseBits(hash));
    std::uint32_t reference = position.found ? slots_.link(position.slot).value : position.stop;
    auto index = map_.resolve(reference, bucket);
    if (!index) return false;
    VORL_TRACE(Debug::writerHashMap(), kDebugLevel,
               "{} success {} using {}, saving new slot hint {}", Info::keyText(key), true,
               "slow path", *index);
    return deliver(*index, value, hint);
  }

  bool markAndSweepFlag(Key const& key, MarkAndSweepOperation operation) final {
    requireAttached();
    std::uint32_t hash = map_.hashOf(key);
    auto position = map_.find(key, map_.bucketOf(hash), reverseBits(hash));
    if (!position.found) return false;
    SlotLink link = slots_.link(position.slot);
    if (operation == MarkAndSweepOperation::get) return markOf(link.value) != 0;
    CriticalSection section(*this);
    std::uint32_t reference =
        operation == MarkAndSweepOperation::set ? link.value | kMarkFlag : link.value & ~kMarkFlag;
    // Pairs with the reader's seqlock load of the version: the flag travels with the
    // entry but a chain walk ignores it.
    storeLink(slots_.slot(position.slot), SlotLink{link.version + kVersionStep, reference});
    section.leave();
    return true;
  }

  // --- queries --------------------------------------------------------------------
  std::uint32_t members() const override { return slots_.attached() ? slots_.occupancy() : 0; }
  std::uint32_t buckets() const override { return map_.numBuckets(); }
  std::uint32_t minSize() const override { return slots_.initialCapacity(); }
  std::uint32_t maxSize() const override { return slots_.maxSize(); }
  std::uint32_t capacity() const override { return slots_.numSlots(); }
  int type() const override { return kTypeWriter; }
  int mountStatus() const override { return this->initialized_ ? 1 : 0; }
  std::string brellName() const override { return name_; }
  std::string rootPath() const override { return rootPath_; }
  SharedMem::PyrelId pyrelId() const override { return pyrel_; }
  bool owner() const { return owner_; }
  MapDescriptor const& descriptor() const { return descriptor_; }
  WriterCounters const& counters() const { return counters_; }
  std::uint32_t shrinkThreshold() const { return slots_.shrinkThreshold(); }
  Slots const& slotTable() const { return slots_; }
  Map const& hashMap() const { return map_; }

  std::string dumpHeaders() const override {
    return fmt::format("Brell table \"{}\"\n\n\n{}\n\n{}\n\n", name_, slots_.headerText(),
                       map_.headerText());
  }

 protected:
  // The writer's own view of its files for the validator.
  StoreImage image() const {
    StoreImage image;
    if (!slots_.attached()) return image;
    image.slotFile = slots_.header();
    image.numSlots = slots_.numSlots();
    image.valueSize = Info::kValueSize;
    image.slotSize = Info::kSlotSize;
    image.occupancy = slots_.occupancy();
    image.freeListHead = slots_.freeListHead();
    image.hashSeed = slots_.hashSeed();
    image.bucketFile = static_cast<unsigned char const*>(map_.bucketWriter().file().base());
    image.numBuckets = map_.numBuckets();
    return image;
  }

  static KeyOps typedKeyOps() {
    KeyOps ops;
    ops.hash = [](unsigned char const* value, std::uint32_t seed, void const*) {
      Value copy;
      std::memcpy(static_cast<void*>(&copy), value, sizeof(Value));
      return T::hash(T::key(copy), seed);
    };
    ops.compare = [](unsigned char const* left, unsigned char const* right, void const*) {
      Value leftCopy;
      Value rightCopy;
      std::memcpy(static_cast<void*>(&leftCopy), left, sizeof(Value));
      std::memcpy(static_cast<void*>(&rightCopy), right, sizeof(Value));
      return T::compare(T::key(leftCopy), T::key(rightCopy));
    };
    return ops;
  }

 private:
  // Enters the critical section on construction; leave() closes it. Leaving the
  // scope without leave() (an exception) keeps the file's bit set on purpose.
  class CriticalSection {
   public:
    static constexpr int kResume = 1;
    explicit CriticalSection(BrellWriter& writer) : writer_(writer) { writer_.enterCritical(); }
    // Continues the section a directWrite left open.
    CriticalSection(BrellWriter& writer, int) : writer_(writer) {}
    CriticalSection(CriticalSection const&) = delete;
    CriticalSection& operator=(CriticalSection const&) = delete;
    ~CriticalSection() {
      if (!done_) writer_.inOperation_ = false;
    }
    void leave() {
      writer_.leaveCritical();
      done_ = true;
      writer_.deliverChanges();
    }
    void keepOpen() { done_ = true; }

   private:
    BrellWriter& writer_;
    bool done_ = false;
  };

  bool ascends(Key const& before, Key const& after) const {
    std::uint32_t beforeRhash = reverseBits(map_.hashOf(before));
    std::uint32_t afterRhash = reverseBits(map_.hashOf(after));
    if (beforeRhash != afterRhash) return beforeRhash < afterRhash;
    return T::compare(before, after) < 0;
  }

  void requireAttached() const {
    if (!slots_.attached()) [[unlikely]] {
      throw Vorl::InvalidInitializeException(
          fmt::format("Brell table {} is not initialized", rootPath_));
    }
  }

  void enterCritical() {
    ASIC_FATAL_ASSERT(!inOperation_ && !delivering_, "!inOperation_ && !delivering_",
                      "Brell reentrancy detected: {}", rootPath_);
    if (slots_.criticalSection()) [[unlikely]] {
      throw Vorl::CorruptionDetectedException(fmt::format(
          "Brell table {} was left mid-operation by an earlier failure and must be re-attached",
          rootPath_));
    }
    inOperation_ = true;
    pendingChanges_.clear();  // left over by an operation that failed mid-way
    slots_.criticalSectionIs(true);
  }

  void leaveCritical() {
    slots_.criticalSectionIs(false);
    inOperation_ = false;
  }

  void changed(std::uint32_t slotIndex) {
    vanquo_.slotChanged(slotIndex);
    if (notify_) pendingChanges_.push_back(slotIndex);
  }

  // Hands the slots changed by the operation just left to the callback. Runs outside
  // the critical section; a callback may not start another operation.
  void deliverChanges() {
    if (pendingChanges_.empty()) return;
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

  // Pops the free-list head, growing the table when the list is empty. The paths
  // that change nothing (table full, file cannot grow) close the section first.
  std::uint32_t allocateSlot(CriticalSection& section) {
    if (isNull(slots_.freeListHead())) {
      bool grown;
      try {
        grown = slots_.grow();
      } catch (Vorl::MemoryResourceException const&) {
        section.leave();
        throw;
      }
      if (!grown) {
        section.leave();
        throw TableFullException(fmt::format("Brell table full (occupancy:{} tableSize:{}) {}",
                                             slots_.occupancy(), slots_.maxSize(), rootPath_));
      }
    }
    std::uint32_t head = slots_.freeListHead();
    std::uint32_t index = indexOf(head);
    if (isEnd(head) || index >= slots_.numSlots()) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("out-of-range index: {} max:{}", head, slots_.maxSlotIndex()));
    }
    SlotLink link = slots_.link(index);
    if ((link.version & kOccupiedBit) != 0) {
      throw Vorl::CorruptionDetectedException(
          fmt::format("free-list head slot:{} is occupied version:{:#x}", index, link.version));
    }
    slots_.freeListHeadIs(link.value & ~kMarkFlag);
    slots_.occupancyIs(slots_.occupancy() + 1);
    ++counters_.allocations;
    return index;
  }

  // Returns an allocated, never linked slot to the free list.
  void freeSlot(std::uint32_t index) {
    SlotLink link = slots_.link(index);
    storeLink(slots_.slot(index), SlotLink{link.version + kVersionStep, slots_.freeListHead()});
    slots_.freeListHeadIs(index);
    slots_.occupancyIs(slots_.occupancy() - 1);
  }

  void writeBody(unsigned char* slot, Value const& value, std::uint32_t rhash) {
    unsigned char body[Info::kBodySize] = {};
    std::memcpy(body, &value, sizeof(Value));
    std::memcpy(body + Info::kRhashOffset, &rhash, 4);
    copyToShared(slot + SlotOffset::value, body, Info::kBodySize);
  }

  // Fills a free slot and links it after `previous`. New entries start unmarked.
  void linkNewSlot(std::uint32_t index, BrellCore::LinkPlace previous, Value const& value,
                   std::uint32_t rhash) {
    unsigned char* slot = slots_.slot(index);
    SlotLink link = slots_.link(index);
    SlotLink previousLink = map_.load(previous);
    std::uint32_t next = previousLink.value & ~kMarkFlag;
    std::uint32_t version = (link.version & ~(kOccupiedBit | kRewriteBit)) + kVersionStep;
    // The slot is not reachable through any chain yet. These version changes pair
    // with the seqlock loads of a reader that still holds the slot from its previous
    // life: it sees the version move and rereads or restarts.
    storeLink(slot, SlotLink{version, next});
    storeLink(slot, SlotLink{version + kRewriteBit, next});
    std::atomic_thread_fence(std::memory_order_release);
    writeBody(slot, value, rhash);
    storeLink(slot, SlotLink{(version + kVersionStep) | kOccupiedBit, next});
    // Publish. Pairs with the reader's acquire load of the predecessor link in
    // ReaderHashMap::lookup: a reader that sees this link sees the slot complete.
    storeLink(map_.address(previous),
              SlotLink{previousLink.version + kVersionStep, index | markOf(previousLink.value)});
    changed(index);
  }

  // Replaces an occupied slot's value in place through the lookaside slot.
  void rewriteValue(std::uint32_t index, Value const& value) {
    unsigned char* slot = slots_.slot(index);
    SlotLink link = slots_.link(index);
    unsigned char body[Info::kBodySize];
    copyFromShared(body, slot + SlotOffset::value, Info::kBodySize);
    // Orders the lookaside stores after the end of any earlier rewrite; pairs with
    // the acquire fence in SlotReaderTable::readSlot, so a reader that copied part of
    // the new lookaside also sees the earlier slot's final version and retries.
    std::atomic_thread_fence(std::memory_order_release);
    copyToShared(slots_.lookaside() + SlotOffset::value, body, Info::kBodySize);
    // Bit 1 on: pairs with the reader's acquire load of the version in readSlot; a
    // reader that sees it reads the (complete) lookaside copy stored above.
    storeLink(slot, SlotLink{link.version + kRewriteBit, link.value});
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(body, &value, sizeof(Value));
    copyToShared(slot + SlotOffset::value, body, Info::kBodySize);
    // Bit 1 off, +4 in all: pairs with the reader's re-load of the version after its
    // copy; a reader that overlapped the copy sees the version moved and retries.
    storeLink(slot, SlotLink{link.version + 2 * kRewriteBit, link.value});
    ++counters_.rewrites;
  }

  // Compaction when the occupancy fell below half the shrink threshold.
  void maybeShrinkSlots() {
    std::uint32_t threshold = slots_.shrinkThreshold();
    if (slots_.occupancy() >= threshold / 2) return;
    doMaybeShrinkSlots(threshold);
  }

  void doMaybeShrinkSlots(std::uint32_t threshold) {
    std::uint32_t occupied = slots_.occupancy();
    std::uint32_t target = occupied == 0 ? 0 : 1u << (std::bit_width(occupied) - 1 + 2);
    target = std::max(target, slots_.initialCapacity());
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "threshold:{} shrinkThreshold:{}{}", target,
               threshold, target < threshold ? " SUPER SHRINK!" : "");
    if (target >= slots_.numSlots()) return;
    slots_.purgeFreeSlots(target);
    TimeSlicer slicer(criticalTaskCheck_, &counters_.criticalTaskRuns);
    std::uint32_t moved = 0;
    for (std::uint32_t index = slots_.numSlots(); index-- > target;) {
      unsigned char const* slot = slots_.slot(index);
      if ((slots_.link(index).version & kOccupiedBit) == 0) {
        VORL_TRACE(Debug::slotTable(), kDebugLevel, "skipping not occupied slot:{}", index);
        continue;
      }
      Key key = T::key(*Slots::valueAt(slot));
      std::uint32_t hash = map_.hashOf(key);
      auto position = map_.find(key, map_.bucketOf(hash), reverseBits(hash));
      if (!position.found) {
        throw Vorl::CorruptionDetectedException(fmt::format("fromSlot:{} key not found", index));
      }
      if (position.slot != index) {
        throw Vorl::CorruptionDetectedException(fmt::format("fromSlot:{} not referenced", index));
      }
      move(index, position.previous);
      ++moved;
      slicer.check();
    }
    slots_.shrink(target);
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "at threshold:{} done", target);
    counters_.moves += moved;
  }

  // Moves the entry of slot `from` to the free-list head, a lower slot.
  void move(std::uint32_t from, BrellCore::LinkPlace previous) {
    std::uint32_t to = slots_.freeListHead();
    if (isEnd(to) || to >= slots_.numSlots()) {
      throw Vorl::CorruptionDetectedException(fmt::format("not valid toSlotId:{}", to));
    }
    if (to >= from) {
      throw Vorl::CorruptionDetectedException(fmt::format(
          "should always move entries to lower section fromSlotId:{} toSlotId:{}", from, to));
    }
    unsigned char* fromSlot = slots_.slot(from);
    unsigned char* toSlot = slots_.slot(to);
    SlotLink fromLink = slots_.link(from);
    SlotLink toLink = slots_.link(to);
    if ((toLink.version & kOccupiedBit) != 0) {
      throw Vorl::CorruptionDetectedException(fmt::format("not valid toSlotId:{}", to));
    }
    slots_.freeListHeadIs(toLink.value & ~kMarkFlag);
    unsigned char body[Info::kBodySize];
    copyFromShared(body, fromSlot + SlotOffset::value, Info::kBodySize);
    // The destination is unreachable until the predecessor is relinked below; the
    // versions pair with the seqlock loads of a reader holding it from its past.
    std::uint32_t version = (toLink.version & ~(kOccupiedBit | kRewriteBit));
    storeLink(toSlot, SlotLink{version + kRewriteBit, fromLink.value});
    std::atomic_thread_fence(std::memory_order_release);
    copyToShared(toSlot + SlotOffset::value, body, Info::kBodySize);
    storeLink(toSlot, SlotLink{(version + kVersionStep) | kOccupiedBit, fromLink.value});
    SlotLink previousLink = map_.load(previous);
    // Pairs with the reader's acquire load of the predecessor: from now on readers
    // reach the entry in its new slot.
    storeLink(map_.address(previous),
              SlotLink{previousLink.version + kVersionStep, to | markOf(previousLink.value)});
    // The source leaves every list; a reader at it sees the version change.
    storeLink(fromSlot,
              SlotLink{(fromLink.version & ~kOccupiedBit) + kVersionStep, kNullReference});
    VORL_TRACE(Debug::slotTable(), kDebugLevel, "moving fromSlot:{} toSlot:{}", from, to);
    changed(to);
    changed(from);
  }

  bool deliver(std::uint32_t index, Value& value, IterHint& hint) const {
    unsigned char const* slot = slots_.slot(index);
    std::memcpy(static_cast<void*>(&value), Slots::valueAt(slot), sizeof(Value));
    hint = IterHint{index, slots_.link(index).version, slots_.header()};
    return true;
  }

  std::string rootPath_;
  std::string name_;
  MapDescriptor descriptor_;
  SharedMem::PyrelId pyrel_;
  std::uint32_t directSlot_ = kNullReference;
  bool directNew_ = false;
  BrellCore::LinkPlace directPrevious_;
  std::uint32_t directRhash_ = 0;
  Value staging_{};
  WriterCounters counters_;
  Notify notify_;
  Slots slots_;
  Map map_;
  Vanquo::VanquoWriter vanquo_;
  std::string typeName_;
  bool owner_ = false;
  bool criticalTaskCheck_ = false;
  bool inOperation_ = false;
  bool delivering_ = false;
  // Slots changed by the running operation, for the callback once it is left.
  std::vector<std::uint32_t> pendingChanges_;
  std::unique_ptr<SharedMem::OwnerFile> ownerFile_;
};

// A writer on heap memory of this process, for a collection that is not mounted
// yet: 100 entries, no files, no owner.
template <StoreTraits T>
class Tmp : public BrellWriter<T> {
 public:
  explicit Tmp(std::string name)
      : BrellWriter<T>(name, MapDescriptor::localTemporary(100), "local:" + name) {
    VORL_TRACE(Debug::temp(), kDebugLevel, "creating local BrellWriter {}", name);
  }
};

}  // namespace Brell
