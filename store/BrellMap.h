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
// Every data operation is forwarded to the current implementation. A
// CorruptionDetectedException from any of them is recorded (corruptionDetected()),
// reported in the root's "corruption-detected" file when the map reads someone
// else's store, and rethrown.
//
// Thread-safety: one owning thread.
#pragma once

#include <memory>
#include <string>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "store/BrellDummy.h"
#include "store/BrellInterface.h"
#include "store/BrellReader.h"
#include "store/BrellWriter.h"
#include "store/Debug.h"
#include "store/MapDescriptor.h"
#include "store/StoreFiles.h"

namespace Mem {

// How a collection is mounted.
struct CollectionDescriptor {
  enum class Mode { writer, reader };
  Mode mode = Mode::writer;
  std::string rootPath;
  std::uint32_t size = 0;
  bool fixedSize = false;
  bool shrinkable = true;
  bool shrinkBuckets = true;
  bool heap = false;
  bool local = false;
  bool criticalTaskCheck = false;

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
    return descriptor;
  }
  std::string toString() const {
    return fmt::format("{{mode:{} root:{} {}}}", mode == Mode::writer ? "writer" : "reader",
                       rootPath, mapDescriptor().toString());
  }
};

}  // namespace Mem

namespace Brell {

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
      ASIC_FATAL_ASSERT(writer->initialize("none"), "initialize",
                        "unable to initialize local BrellTemporary");
      implementation_ = std::move(writer);
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
    try {
      if (descriptor.mode == Mem::CollectionDescriptor::Mode::writer) {
        if (!descriptor.local) Util::writeControlFile(descriptor.rootPath);
        implementation_ = std::make_unique<BrellWriter<T>>(name_, descriptor.mapDescriptor(),
                                                           descriptor.rootPath);
      } else {
        implementation_ = std::make_unique<BrellDummy<T>>(name_, descriptor.rootPath);
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
    if (initialized_ && descriptor_.mode == Mem::CollectionDescriptor::Mode::reader &&
        dynamic_cast<BrellReader<T>*>(implementation_.get()) == nullptr) {
      implementation_ = std::make_unique<BrellReader<T>>(name_, descriptor_.rootPath);
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
    return true;
  }

  bool tryAttach() {
    if (implementation_->mountStatus() == 1) {
      VORL_TRACE(Debug::map(), kDebugLevel, "{} is already mounted, mountStatus:{}", name_,
                 implementation_->mountStatus());
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

  void installDummy() {
    implementation_ = std::make_unique<BrellDummy<T>>(name_, descriptor_.rootPath);
  }

  int mountStatus() const { return implementation_->mountStatus(); }
  bool initialized() const { return initialized_; }
  bool corruptionDetected() const { return !corruption_.empty(); }
  std::string const& corruptionReason() const { return corruption_; }
  BrellInterface<T>& implementation() { return *implementation_; }
  std::string const& name() const { return name_; }

  // --- forwarded data operations --------------------------------------------------
  Value const* lookup(Key const& key, bool& found, Value* buffer) {
    return guarded([&] { return implementation_->lookup(key, found, buffer); });
  }
  Value const* write(Value const& value, bool overwrite) {
    return guarded([&] { return implementation_->write(value, overwrite); });
  }
  bool remove(Key const& key, Value* removed) {
    return guarded([&] { return implementation_->remove(key, removed); });
  }
  Value* directWrite(Value const& value) {
    return guarded([&] { return implementation_->directWrite(value); });
  }
  void directCommit() {
    guarded([&] { return implementation_->directCommit(), true; });
  }
  bool first(Value& value, IterHint& hint) {
    return guarded([&] { return implementation_->first(value, hint); });
  }
  bool next(Key const& key, Value& value, IterHint& hint) {
    return guarded([&] { return implementation_->next(key, value, hint); });
  }
  bool markAndSweepFlag(Key const& key, MarkAndSweepOperation operation) {
    return guarded([&] { return implementation_->markAndSweepFlag(key, operation); });
  }
  std::uint32_t members() const { return implementation_->members(); }
  std::uint32_t capacity() const { return implementation_->capacity(); }
  std::uint32_t buckets() const { return implementation_->buckets(); }
  std::string dumpHeaders() const { return implementation_->dumpHeaders(); }

 private:
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
  bool initialized_ = false;
  Mem::CollectionDescriptor descriptor_;
  std::string corruption_;
};

}  // namespace Brell
