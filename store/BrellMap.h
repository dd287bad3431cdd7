// The object a collection holds to reach its store: Brell::BrellMap.
//
// A map owns one store implementation at a time and replaces it as the collection
// moves through its life:
//   local (a Tmp writer on heap memory, 100 entries)
//     -> init(descriptor): a writer on the root's files, or a placeholder until a
//        reader attaches
//     -> attach(event): the implementation attaches to its files (writer: reuse,
//        or wipe and re-format once; reader: validate against the restart identity)
//     -> detach (files kept) or cleanupAndDetach (files removed) -> destroyed.
// Every data operation is forwarded to the current implementation; the writing ones
// only when it is a writer (writer_), and refused with Vorl::NoPermissionException
// otherwise, here and nowhere else. A
// CorruptionDetectedException from any of them is recorded (corruptionDetected()),
// reported in the root's "corruption-detected" file when the map reads someone
// else's store, and rethrown.
//
// A reader mount of kind shadow is driven by processNotifications() on the owning
// thread; its change callbacks (notifyIs) arrive there.
//
// Thread-safety: one owning thread.
#pragma once

#include "platform/plugin/Export.h"

#include <functional>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "platform/sharedmem/OwnerFile.h"
#include "platform/sharedmem/ProcessIdentity.h"
#include "platform/sharedmem/PyrelFile.h"
#include "store/BrellDummy.h"
#include "store/BrellInterface.h"
#include "store/BrellReader.h"
#include "store/BrellShadow.h"
#include "store/BrellTmp.h"
#include "store/BrellWriter.h"
#include "store/Debug.h"
#include "store/MapDescriptor.h"
#include "store/Notify.h"
#include "store/StoreFiles.h"
#include "store/StoreInspector.h"

namespace Mem {

// How a collection is mounted. A reader mount reads the files directly (plain) or
// keeps a shadow fed by the writer's notifications.
struct HWTABLES_API CollectionDescriptor {
  enum class Mode { writer, reader };
  enum class ReaderKind : int { plain = 0, shadow = 1 };
  Mode mode = Mode::writer;
  ReaderKind readerKind = ReaderKind::plain;
  std::string rootPath;
  std::uint32_t size = 0;
  bool fixedSize = false;
  bool shrinkable = true;
  bool shrinkBuckets = true;
  bool heap = false;
  bool local = false;
  bool criticalTaskCheck = false;
  int coreDumpMode = 0;  // 0: as the "FullCoreDump" toggle says; 1 or 3: not in core dumps

  bool operator==(CollectionDescriptor const&) const = default;

  Brell::MapDescriptor mapDescriptor() const {
    Brell::MapDescriptor descriptor;
    descriptor.maxSize = size;
    descriptor.fixedSize = fixedSize;
    descriptor.shrinkable = shrinkable;
    descriptor.shrinkBuckets = shrinkBuckets;
    descriptor.heap = heap;
    descriptor.local = local;
    descriptor.criticalTaskCheck = criticalTaskCheck;
    descriptor.coreDumpMode = coreDumpMode;
    return descriptor;
  }
  std::string toString() const {
    return fmt::format("{{mode:{} reader:{} root:{} {}}}",
                       mode == Mode::writer ? "writer" : "reader",
                       readerKind == ReaderKind::shadow ? "shadow" : "plain", rootPath,
                       mapDescriptor().toString());
  }
};

}  // namespace Mem

namespace Brell {

inline constexpr char const* kWriteRefused = "write to read-only Brell table";
inline constexpr char const* kRemoveRefused = "remove to read-only Brell table";
inline constexpr char const* kMarkRefused = "mark-and-sweep flag change on read-only Brell table";

template <StoreTraits T>
class BrellMap {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;

  // A new map keeps its entries in a local temporary writer until init().
  explicit BrellMap(std::string name) : name_(std::move(name)) { createDefaultLocalWriter(); }

  BrellMap(BrellMap const&) = delete;
  BrellMap& operator=(BrellMap const&) = delete;

  ~BrellMap() {
    VORL_TRACE(Debug::map(), kDebugLevel, "deleting state");
    try {
      if (implementation_) implementation_->detach(true);
    } catch (...) {
      // Destructors never throw.
    }
  }

  void createDefaultLocalWriter() {
    try {
      auto writer = std::make_unique<Tmp<T>>(name_);
      ASIC_FATAL_CHECK(writer->initialize("none"), "unable to initialize local BrellTemporary");
      install(std::move(writer));
    } catch (Vorl::Exception const& error) {
      ASIC_FATAL_ASSERT(false, "initialize", "unable to initialize local BrellTemporary: {}",
                        error.what());
    }
    initialized_ = false;
  }

  // Chooses the implementation for a mount. Throws InvalidInitializeException on a
  // refused descriptor; nothing changes then.
  void init(Mem::CollectionDescriptor const& descriptor) {
    if (initialized_) {
      std::string reason;
      if (descriptor == descriptor_) {
        VORL_TRACE(Debug::map(), kDebugLevel,
                   "name:{} already initialized; current {}; incoming {}", name_,
                   descriptor_.toString(), descriptor.toString());
        return;
      }
      if (!descriptor_.mapDescriptor().supportsReinitWith(descriptor.mapDescriptor(), &reason) ||
          descriptor.mode != descriptor_.mode || descriptor.rootPath != descriptor_.rootPath) {
        if (reason.empty()) reason = "mode or root differs";
        throw Vorl::InvalidInitializeException(
            fmt::format("name:{} failed subsequent initialize; old {}; new {}; reason: {}", name_,
                        descriptor_.toString(), descriptor.toString(), reason));
      }
    }
    VORL_TRACE(Debug::map(), kDebugLevel, "name:{} {}", name_, descriptor.toString());
    if (descriptor.heap && !descriptor.local) {
      throw Vorl::InvalidInitializeException(fmt::format(
          "cannot initialize collection {} heap allocation in non-local mode not allowed", name_));
    }
    if (descriptor.mode == Mem::CollectionDescriptor::Mode::writer && descriptor.size == 0) {
      throw Vorl::InvalidInitializeException(fmt::format(
          "0 is not a valid initialization size for collection {} in writer mode", name_));
    }
    if (descriptor.mode == Mem::CollectionDescriptor::Mode::reader &&
        descriptor.readerKind != Mem::CollectionDescriptor::ReaderKind::plain &&
        descriptor.readerKind != Mem::CollectionDescriptor::ReaderKind::shadow) {
      throw Vorl::InvalidInitializeException(
          fmt::format("not a valid reader type:{}", static_cast<int>(descriptor.readerKind)));
    }
    try {
      if (descriptor.mode == Mem::CollectionDescriptor::Mode::writer) {
        if (!descriptor.local) Util::writeControlFile(descriptor.rootPath);
        install(std::make_unique<BrellWriter<T>>(name_, descriptor.mapDescriptor(),
                                                 descriptor.rootPath));
      } else {
        install(std::make_unique<BrellDummy<T>>(name_, descriptor.rootPath));
      }
    } catch (Vorl::InvalidInitializeException const&) {
      throw;
    } catch (Vorl::Exception const& error) {
      throw Vorl::InvalidInitializeException(
          fmt::format("failed to initialize collection {}: {}", name_, error.what()));
    }
    descriptor_ = descriptor;
    initialized_ = true;
    corruption_.clear();
  }

  // Initialises the current implementation against its files; a reader mount first
  // creates its BrellReader. False when the files are not (yet) usable.
  bool attach(std::string const& event) {
    bool reader = initialized_ && descriptor_.mode == Mem::CollectionDescriptor::Mode::reader;
    if (reader && implementation_->type() != StoreType::shadow &&
        dynamic_cast<BrellReader<T>*>(implementation_.get()) == nullptr) {
      if (descriptor_.readerKind == Mem::CollectionDescriptor::ReaderKind::shadow) {
        auto shadow = std::make_unique<BrellShadow<T>>(name_, descriptor_.rootPath, notify_);
        shadow->corruptionHandlerIs(
            [this](std::string const& reason) { corruptionDetected(reason); });
        install(std::move(shadow));
      } else {
        install(std::make_unique<BrellReader<T>>(name_, descriptor_.rootPath));
      }
    }
    VORL_TRACE(Debug::map(), kDebugLevel, "attempting to attach {} as {}", descriptor_.rootPath,
               implementation_->type());
    bool done = guarded([&] { return implementation_->initialize(event); });
    if (!done) {
      VORL_TRACE(Debug::map(), kDebugLevel, "initialize failed for {}", descriptor_.rootPath);
      if (descriptor_.mode == Mem::CollectionDescriptor::Mode::reader) installDummy();
      return false;
    }
    VORL_TRACE(Debug::map(), kDebugLevel, "successful");
    if (reader && readerAttached_) readerAttached_();
    return true;
  }

  bool tryAttach() {
    MountStatus status = implementation_->mountStatus();
    if (status == MountStatus::mounted || status == MountStatus::synced) {
      VORL_TRACE(Debug::map(), kDebugLevel, "{} is already mounted, mountStatus:{}", name_, status);
      return true;
    }
    bool done = attach("tryAttach");
    VORL_TRACE(Debug::map(), kDebugLevel, "mounted {} mountStatus:{}", name_, mountStatus());
    return done;
  }

  void detach(bool force) { implementation_->detach(force); }

  void cleanup() {
    guarded([&] { return implementation_->cleanup(), true; });
  }

  void cleanupAndDetach() {
    VORL_TRACE(Debug::map(), kDebugLevel, "{}", descriptor_.rootPath);
    if (!initialized_)
      VORL_TRACE(Debug::map(), kDebugLevel, "detaching uninitialized brell:{}", name_);
    cleanup();
    detach(true);
  }

  bool validate() {
    return guarded([&] { return implementation_->validate(); });
  }
  bool validateFiles() {
    return guarded([&] { return implementation_->validateFiles(); });
  }

  void installDummy() { install(std::make_unique<BrellDummy<T>>(name_, descriptor_.rootPath)); }

  MountStatus mountStatus() const { return implementation_->mountStatus(); }
  bool initialized() const { return initialized_; }
  bool corruptionDetected() const { return !corruption_.empty(); }
  std::string const& corruptionReason() const { return corruption_; }
  BrellInterface<T>& implementation() { return *implementation_; }
  std::string const& name() const { return name_; }

  // --- notifications, shadows and clients -------------------------------------------
  // The collection's change callbacks; a shadow created by a later attach gets them
  // (and a current one at once).
  void notifyIs(Mem::Notify<Key, Value> notify) {
    notify_ = std::move(notify);
    if (auto* current = shadow()) current->notifyIs(notify_);
  }
  // Called after every successful attach of a reader mount.
  void readerAttachedIs(std::function<void()> callback) { readerAttached_ = std::move(callback); }

  // The shadow behind a reader mount of kind shadow, or null.
  BrellShadow<T>* shadow() { return dynamic_cast<BrellShadow<T>*>(implementation_.get()); }

  // Drives a shadow (see BrellShadow::processNotifications); false for other kinds.
  bool processNotifications(std::chrono::milliseconds timeout) {
    auto* current = shadow();
    return current != nullptr && guarded([&] { return current->processNotifications(timeout); });
  }

  bool notifyingIs(bool notifying) {
    VORL_TRACE(Debug::map(), kDebugLevel, "{} notifying:{}", name_, notifying);
    auto* current = shadow();
    if (current == nullptr || !current->initialized()) {
      VORL_TRACE(Debug::map(), kDebugLevel,
                 "not allowed at this time, initialized:{} keyNotifications:{}", initialized_,
                 current != nullptr && current->mountStatus() == MountStatus::synced);
      return false;
    }
    return current->notifyingIs(notifying);
  }
  void yieldTimeIs(double seconds) {
    if (auto* current = shadow()) current->yieldTimeIs(seconds);
  }
  void handleDisconnect() {
    auto* current = shadow();
    ASIC_GRACEFUL_CHECK(current != nullptr, "wrong type:{}", implementation_->type());
    current->handleDisconnect(Vanquo::WriterState::detached);
  }

  bool quiesced() const {
    VORL_TRACE(Debug::map(), kDebugLevel, "{} type:{}", name_, implementation_->type());
    return implementation_->quiesced();
  }
  // Whether a named reader of this store has caught up: not tracked by this store.
  bool clientQuiesced(std::string const& readerName) const {
    VORL_TRACE(Debug::map(), kDebugLevel, "{} readerName:{}", name_, readerName);
    VORL_TRACE(Debug::map(), kDebugLevel, "clientQuiesced is unimplemented for {}", name_);
    return false;
  }

  // A value the writing map keeps for its clients; readers may not set it.
  void scratchpadIs(std::uint64_t value) {
    if (implementation_->type() != StoreType::writer) {
      throw Vorl::NoPermissionException("invalid attempt to write scratchpad as reader");
    }
    scratchpad_ = value;
  }
  // Kept by the writing map only: a reader reads 0.
  std::uint64_t scratchpad() const { return writer_ != nullptr ? scratchpad_ : 0; }

  // The writer that owns the store: "<process id>:<notification ring>" while it is
  // alive, empty when there is none.
  std::string owner() const {
    auto peek = SharedMem::OwnerFile::peek(descriptor_.rootPath);
    if (!peek) return {};
    if (!peek->valid) return fmt::format("corruption detected: {}", "owner file damaged");
    auto const& socket = peek->shocketInfo;
    if (socket.empty() || SharedMem::ProcessIdentity::of(socket.processId).empty()) return {};
    return fmt::format("{}:{}", socket.processId, socket.name);
  }

  // Detaches with force and drops the mount control (the reader attach callback).
  void controlDetach() {
    VORL_TRACE(Debug::map(), kDebugLevel, "{} control detach", name_);
    detach(true);
    readerAttached_ = nullptr;
  }

  // Whether the store in `path` is valid under restart identity `pyrelId`; a valid
  // store loses its "corruption-detected" file.
  bool validateFiles(std::string const& path, SharedMem::PyrelId pyrelId) {
    auto contents = SharedMem::PyrelFile(path).read();
    if (!contents || contents->identity != pyrelId) {
      VORL_TRACE(Debug::map(), kDebugLevel, "{}: restart identity is not {}", path,
                 pyrelId.toString());
      return false;
    }
    auto report = StoreInspector(path).check();
    if (!report.valid()) {
      VORL_TRACE(Debug::map(), kDebugLevel, "{}: {}", path, report.reason);
      return false;
    }
    Util::removeCorruptionFile(path);
    return true;
  }

  WriterCounters writerCounters() const {
    return writer_ != nullptr ? writer_->counters() : WriterCounters{};
  }
  ReaderCounters readerCounters() const { return implementation_->readerCounters(); }

  // Version anchors serve value-caching shadows, which this store does not make.
  std::uint64_t getCacheVersionAnchor(Key const&) const {
    ASIC_GRACEFUL_ASSERT(false, "valueShadowSlot", "{}: called with unsupported slot variant",
                         name_);
    return 0;
  }
  bool validateVersionAnchor(Key const&, std::uint64_t) const {
    ASIC_GRACEFUL_ASSERT(false, "valueShadowSlot", "{}: called with unsupported slot variant",
                         name_);
    return false;
  }

  // --- forwarded data operations --------------------------------------------------
  Value const* lookup(Key const& key, bool& found, Value* buffer) {
    return guarded([&] { return implementation_->lookup(key, found, buffer); });
  }
  Value const* write(Value const& value, bool overwrite) {
    return guarded([&] { return writing(kWriteRefused)->write(value, overwrite); });
  }
  bool remove(Key const& key, Value* removed) {
    return guarded([&] { return writing(kRemoveRefused)->remove(key, removed); });
  }
  Value* directWrite(Value const& value) {
    return guarded([&] { return writing(kWriteRefused)->directWrite(value); });
  }
  void directCommit() {
    guarded([&] { return writing(kWriteRefused)->directCommit(), true; });
  }
  bool first(Value& value, IterHint& hint) {
    return guarded([&] { return implementation_->first(value, hint); });
  }
  bool next(Key const& key, Value& value, IterHint& hint) {
    return guarded([&] { return implementation_->next(key, value, hint); });
  }
  bool markAndSweepFlag(Key const& key, MarkAndSweepOperation operation) {
    return guarded([&] { return writing(kMarkRefused)->markAndSweepFlag(key, operation); });
  }
  void forEachValue(std::function<void(Value const&)> const& visit) {
    guarded([&] { return implementation_->forEachValue(visit), true; });
  }
  // forEachValue with the visitor inlined when this map writes (the writer scans its
  // slot array in place); any other implementation is walked through forEachValue.
  template <class Visitor>
  void visitValues(Visitor&& visit) {
    if (writer_ == nullptr) return forEachValue(std::ref(visit));
    guarded([&] { return writer_->visitValues(visit), true; });
  }
  std::uint32_t members() const { return implementation_->members(); }
  std::uint32_t capacity() const { return implementation_->capacity(); }
  std::uint32_t buckets() const { return implementation_->buckets(); }
  std::string dumpHeaders() const { return implementation_->dumpHeaders(); }

 protected:
  // A collection that is re-homed takes a new name (TyvoBrellMap::handleParent); the
  // store implementation keeps the one it was made with.
  void nameIs(std::string name) { name_ = std::move(name); }

 private:
  // Makes `implementation` current; the writer pointer follows it, so that writing
  // operations reach a writer and nothing else.
  template <class Implementation>
  void install(std::unique_ptr<Implementation> implementation) {
    if constexpr (std::is_base_of_v<BrellWriter<T>, Implementation>) {
      writer_ = implementation.get();
    } else {
      writer_ = nullptr;
    }
    implementation_ = std::move(implementation);
  }

  // The writer for a writing operation, or `refusal` (every reading mount refuses).
  BrellWriter<T>* writing(char const* refusal) const {
    if (writer_ == nullptr) [[unlikely]] {
      throw Vorl::NoPermissionException(refusal);
    }
    return writer_;
  }

  // Runs an operation; a corruption it reports is recorded before it propagates.
  template <class Operation>
  auto guarded(Operation&& operation) -> decltype(operation()) {
    try {
      return operation();
    } catch (Vorl::CorruptionDetectedException const& error) {
      corruptionDetected(error.what());
      throw;
    }
  }

  void corruptionDetected(std::string const& reason) {
    VORL_TRACE(Debug::map(), kDebugLevel, "corruption detected: {}", reason);
    corruption_ = reason;
    if (initialized_ && descriptor_.mode == Mem::CollectionDescriptor::Mode::reader) {
      Util::writeCorruptionFile(descriptor_.rootPath, reason);
    }
  }

  std::string name_;
  std::unique_ptr<BrellInterface<T>> implementation_;
  BrellWriter<T>* writer_ = nullptr;  // implementation_ when it is a writer
  bool initialized_ = false;
  Mem::CollectionDescriptor descriptor_;
  std::string corruption_;
  Mem::Notify<Key, Value> notify_;
  std::function<void()> readerAttached_;
  std::uint64_t scratchpad_ = 0;
};

}  // namespace Brell
