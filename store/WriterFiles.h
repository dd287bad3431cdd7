// The files of one writer and their life cycle: taking ownership of the root,
// attaching (reusing valid files, wiping and re-formatting once otherwise),
// validation, detaching, and removal.
//
// A store is three files under its root (slots, buckets, the notification ring)
// plus the owner file, whose lock makes this writer the only one on the machine,
// and the restart-identity (pyrel) file. Files are reused only when all of them are
// attached the same way (all existing, or all new; see AttachOutcome) and pass
// validation; otherwise every entry is dropped once ("wiped"), the identity is
// changed so that readers of the old files notice, and the files are formatted
// again. A local writer (descriptor.local) keeps its tables in heap memory of this
// process and has none of these files.
//
// Owns the slot table, the hash map, the notification writer and the counters that
// BrellWriter's operations use. Thread-safety: the writer's thread only.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "platform/sharedmem/CoreDump.h"
#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/OwnerFile.h"
#include "platform/sharedmem/PyrelFile.h"
#include "platform/vorl/Toggle.h"
#include "store/AttachResult.h"
#include "store/Debug.h"
#include "store/MapDescriptor.h"
#include "store/SlotWriterTable.h"
#include "store/StoreFiles.h"
#include "store/Validator.h"
#include "store/VanquoWriter.h"
#include "store/WriterHashMap.h"

namespace Brell {

template <StoreTraits T>
class WriterFiles {
 public:
  using Value = typename T::Value;
  using Info = TraitsInfo<T>;
  using Slots = SlotWriterTable<T>;
  using Map = BrellCore::WriterHashMap<T>;

  WriterFiles(std::string name, MapDescriptor const& descriptor, std::string rootPath)
      : rootPath_(std::move(rootPath)),
        name_(std::move(name)),
        descriptor_(descriptor),
        slots_(descriptor.local ? SharedMem::MappedFile::onHeap(name_ + "/" + kSlotFileName)
                                : SharedMem::MappedFile::inDirectory(rootPath_, kSlotFileName),
               SlotTableSettings{descriptor.maxSize, descriptor.fixedSize, descriptor.shrinkable},
               counters_),
        map_(descriptor.local
                 ? SharedMem::MappedFile::onHeap(name_ + "/" + BrellCore::kBucketFileName)
                 : SharedMem::MappedFile::inDirectory(rootPath_, BrellCore::kBucketFileName),
             slots_, counters_, descriptor.shrinkBuckets, descriptor.criticalTaskCheck),
        vanquo_(
            rootPath_, descriptor.local, [this] { return pyrel_; }, ringCapacity(descriptor)),
        typeName_(T::typeName()) {
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
    // The store in core dumps: left out when the descriptor says so (1 or 3),
    // otherwise as the "FullCoreDump" toggle says; an included shared store also has
    // the process dump its file-backed shared mappings, which it does not by default.
    if (descriptor.coreDumpMode != 0 && descriptor.coreDumpMode != 1 &&
        descriptor.coreDumpMode != 3) {
      throw Vorl::InvalidInitializeException(fmt::format(
          "core-dump mode {} of collection {} is not 0, 1 or 3", descriptor.coreDumpMode, name_));
    }
    auto mode = descriptor.coreDumpMode != 0
                    ? static_cast<SharedMem::CoreDumpMode>(descriptor.coreDumpMode)
                : Vorl::getToggleState("Brell.json", "FullCoreDump")
                    ? SharedMem::CoreDumpMode::include
                    : SharedMem::CoreDumpMode::exclude;
    slots_.file().coreDumpModeIs(mode);
    map_.bucketWriter().file().coreDumpModeIs(mode);
    if (!descriptor.local && mode == SharedMem::CoreDumpMode::include &&
        !SharedMem::includeSharedMappingsInCoreDumps()) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "cannot include {} in core dumps", rootPath_);
    }
    if (!descriptor.local) ownerFile_ = std::make_unique<SharedMem::OwnerFile>(rootPath_);
  }

  WriterFiles(WriterFiles const&) = delete;
  WriterFiles& operator=(WriterFiles const&) = delete;

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
      lockOwnerFile();
      socket = SharedMem::ShocketInfo{static_cast<std::uint32_t>(::getpid()), vanquo_.socketName()};
      SharedMem::PyrelFile pyrelFile(rootPath_);
      int unreadable = 0;
      if (auto contents = pyrelFile.read(unreadable)) {
        pyrel_ = contents->identity;
        identityFound = true;
      } else if (unreadable != 0) {
        // Taking a new identity would wipe the files the unread one names.
        throw Vorl::MemoryResourceException(
            fmt::format("cannot read {}: {}", pyrelFile.path(), std::strerror(unreadable)));
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
      ownerFile_->valueTypeIs(typeName_, SharedMem::SharedMemType::hashMap);
    }
    bool wipe = !ownerValid;
    AttachOutcome outcome = attachAndValidate(wipe, socket);
    // Files this writer's restart identity names must still be there: new ones mean
    // the old were lost, and are wiped so that the identity changes for readers.
    bool expectReattach = !descriptor_.local && ownerValid && identityFound;
    if (!outcome.usable() || (outcome.is(AttachResult::created) && expectReattach)) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "expectReattach: {}, attachResult: {}",
                 expectReattach, outcome.bits());
      ASIC_FATAL_CHECK(!wipe, "failed to attach to and validate new files");
      outcome = attachAndValidate(true, socket);
      ASIC_FATAL_CHECK(outcome.usable(), "failed to attach to and validate new files");
    }
    std::uint64_t modificationTime = 0;
    if (!descriptor_.local) {
      Util::removeCorruptionFile(rootPath_);
      owner_ = true;
      modificationTime = SharedMem::PyrelFile(rootPath_).write(pyrel_).modificationTime;
    }
    VORL_TRACE(Debug::writer(), kDebugLevel,
               "success {} capacity:{} pyrelId:{} mtime:{} shocketInfo:{}", rootPath_,
               slots_.numSlots(), pyrel_.toString(), modificationTime, socket.toString());
  }

  // Attaches (after wiping, when asked) and validates. The outcome of the attach
  // when the files are usable; empty when they are not (the caller wipes).
  AttachOutcome attachAndValidate(bool wipe, SharedMem::ShocketInfo const& socket) {
    if (wipe) {
      VORL_TRACE(Debug::writer(), kDebugLevel, "all entries from {} will be lost", rootPath_);
      pyrel_ = pyrel_.wiped();
      if (ownerFile_) ownerFile_->wipedIs(true);
      VORL_TRACE(Debug::writer(), kDebugLevel, "removing file: {}", slots_.file().path());
      slots_.remove();
      map_.remove();
    }
    AttachOutcome outcome = attach(pyrel_);
    if (outcome.usable()) {
      std::string reason;
      if (validate(pyrel_, false, &reason)) {
        if (ownerFile_) {
          ownerFile_->shocketInfoIs(socket);
          std::string ownerReason;
          ASIC_FATAL_CHECK(ownerFile_->validate(&ownerReason),
                           "wrote to owner file but validation failed: {}", ownerReason);
        }
        if (wipe) VORL_TRACE(Debug::writer(), kDebugLevel, "re-formatted successfully");
        return outcome;
      }
      if (wipe) throw Vorl::InvalidInitializeException("failed validation");
      if (Util::runningOnPhysicalDut() && Util::strictValidation()) {
        throw Vorl::InvalidInitializeException(
            fmt::format("failed initial validation of {} after re-attaching", rootPath_));
      }
      VORL_TRACE(Debug::writer(), kDebugLevel, "failed to validate existing files");
    } else {
      ASIC_FATAL_CHECK(!wipe, "expected successful attach post-wipe");
      VORL_TRACE(Debug::writer(), kDebugLevel, "failed to attach to existing files");
    }
    VORL_TRACE(Debug::writer(), kDebugLevel, "{}", dumpHeaders());
    VORL_TRACE(Debug::writer(), kDebugLevel, "owner file: {}",
               ownerFile_ ? ownerFile_->toString() : std::string("none"));
    slots_.detach();
    map_.detach();
    return {};
  }

  // Attaches slot table, bucket table and notification writer with an identity.
  AttachOutcome attach(SharedMem::PyrelId identity) {
    counters_ = WriterCounters{};
    AttachResult slotsAttached = slots_.attach(identity);
    VORL_TRACE(Debug::writer(), kDebugLevel, "slotsAttached:{}", fmt::underlying(slotsAttached));
    ASIC_FATAL_CHECK(isAttachResult(slotsAttached), "Invalid slot attach");
    AttachResult mapAttached = map_.attach(identity);
    VORL_TRACE(Debug::writer(), kDebugLevel, "mapAttached:{}", fmt::underlying(mapAttached));
    ASIC_FATAL_CHECK(isAttachResult(mapAttached), "Invalid map attach");
    vanquo_.attach();
    VORL_TRACE(Debug::writer(), kDebugLevel, "vanquoAttached:{}", vanquo_.attached());
    return AttachOutcome{} | slotsAttached | mapAttached;
  }

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

  // The cheap checks of the files' headers and of the identity and owner files.
  bool validateFiles() {
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

  // Takes ownership of the root before its files are removed. A damaged owner file
  // does not stop the removal.
  void claimForCleanup() {
    VORL_TRACE(Debug::writer(), kDebugLevel, "owner:{} localMem_:{} rootPath:{}", owner_,
               descriptor_.local, rootPath_);
    if (descriptor_.local) return;
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

  // Removes every file of the store; detached afterwards.
  void remove() {
    VORL_TRACE(Debug::writer(), kDebugLevel, "removing Brell files in {}", rootPath_);
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
  }

  // Unmaps everything and gives up ownership; the files stay.
  void detach() {
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
  }

  std::string dumpHeaders() const {
    return fmt::format("Brell table \"{}\"\n\n\n{}\n\n{}\n\n", name_, slots_.headerText(),
                       map_.headerText());
  }

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

  // The notification ring's capacity: the descriptor's, or sized to the table.
  static std::uint32_t ringCapacity(MapDescriptor const& descriptor) {
    if (descriptor.notificationCapacity != 0) return descriptor.notificationCapacity;
    return Vanquo::ringCapacityFor(
        descriptor.maxSize,
        std::max<std::size_t>(Vanquo::kPageSize, SharedMem::MappedFile::pageSize()));
  }

  std::string const& rootPath() const { return rootPath_; }
  std::string const& name() const { return name_; }
  MapDescriptor const& descriptor() const { return descriptor_; }
  SharedMem::PyrelId pyrel() const { return pyrel_; }
  bool owner() const { return owner_; }
  Slots& slots() { return slots_; }
  Slots const& slots() const { return slots_; }
  Map& map() { return map_; }
  Map const& map() const { return map_; }
  Vanquo::VanquoWriter& vanquo() { return vanquo_; }
  WriterCounters& counters() { return counters_; }
  WriterCounters const& counters() const { return counters_; }

 private:
  void lockOwnerFile() {
    ownerFile_->open();
    if (!ownerFile_->tryLock()) {
      ownerFile_->close();
      throw Vorl::InvalidInitializeException(
          fmt::format("another writer owns Brell table {}", rootPath_));
    }
  }

  std::string rootPath_;
  std::string name_;
  MapDescriptor descriptor_;
  SharedMem::PyrelId pyrel_;
  WriterCounters counters_;
  Slots slots_;
  Map map_;
  Vanquo::VanquoWriter vanquo_;
  std::string typeName_;
  bool owner_ = false;
  std::unique_ptr<SharedMem::OwnerFile> ownerFile_;
};

}  // namespace Brell
