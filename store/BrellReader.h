// A reader of a store in any process: Brell::BrellReader.
//
// Maps "slots" and "buckets" read-only (PROT_READ) and looks keys up without locks
// while the writer changes them (ReaderHashMap). It attaches only to files whose
// headers carry the identity found in the restart-identity file, so it never reads
// a store half-way through a wipe; damage is reported as
// Vorl::CorruptionDetectedException, never as a crash. It has no writing operations;
// a map whose mount is a reader refuses writes (BrellMap).
//
// Thread-safety: one thread per reader object; any number of readers.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>

#include <fmt/format.h>

#include "platform/sharedmem/MappedFile.h"
#include "platform/sharedmem/PyrelFile.h"
#include "store/BrellInterface.h"
#include "store/Debug.h"
#include "store/ListOrder.h"
#include "store/ReaderHashMap.h"
#include "store/SlotReaderTable.h"
#include "store/StoreFiles.h"

namespace Brell {

template <StoreTraits T>
class BrellReader : public BrellInterface<T> {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;
  using Slots = SlotReaderTable<T>;
  using Map = BrellCore::ReaderHashMap<T>;
  using Body = typename Slots::Body;
  using Outcome = BrellCore::Outcome;

  // How many remaps one operation may need before a persistent failure is damage.
  static constexpr int kMaxResizeRetries = 64;

  BrellReader(std::string name, std::string rootPath)
      : name_(std::move(name)),
        rootPath_(std::move(rootPath)),
        slots_(SharedMem::MappedFile::inDirectory(rootPath_, kSlotFileName), counters_),
        map_(SharedMem::MappedFile::inDirectory(rootPath_, BrellCore::kBucketFileName), slots_,
             counters_) {}

  ~BrellReader() override { detach(true); }

  bool initialize(std::string const& event) override {
    if (!Util::atomicsSupported()) {
      throw Vorl::InvalidInitializeException("Hardware does not support Atomics");
    }
    if (this->initialized_) return true;
    auto started = std::chrono::steady_clock::now();
    int unreadable = 0;
    auto contents = SharedMem::PyrelFile(rootPath_).read(unreadable);
    if (!contents) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "failed to read pyrel file");
      VORL_TRACE(Debug::reader(), kDebugLevel, "{}", dumpHeaders());
      lastError_ = "failed to read pyrel file";
      if (unreadable != 0) lastError_ += fmt::format(": {}", std::strerror(unreadable));
      return false;
    }
    if (!map_.bucketReader().attach()) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "failed to attach to buckets");
      lastError_ = "failed to attach to buckets";
      detach(true);
      return false;
    }
    if (!slots_.attach()) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "failed to attach to slots");
      lastError_ = "failed to attach to slots";
      detach(true);
      return false;
    }
    pyrel_ = contents->identity;
    std::string reason;
    if (!map_.bucketReader().validate(pyrel_, &reason)) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "failed to validate buckets");
      VORL_TRACE(Debug::reader(), kDebugLevel, "{}", dumpHeaders());
      Util::writeCorruptionFile(rootPath_, reason);
      lastError_ = "failed to validate buckets: " + reason;
      detach(true);
      return false;
    }
    if (!slots_.validate(pyrel_, &reason)) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "failed to validate slots");
      VORL_TRACE(Debug::reader(), kDebugLevel, "{}", dumpHeaders());
      lastError_ = "failed to validate slots: " + reason;
      detach(true);
      return false;
    }
    this->initialized_ = true;
    lastError_.clear();
    VORL_TRACE(Debug::reader(), kDebugLevel,
               "success {} capacity:{} pyrelId:{} mtime:{} delay:{} event:{}", rootPath_,
               slots_.header().slotCount.value, pyrel_.toString(), contents->modificationTime,
               std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - started)
                   .count(),
               event);
    return true;
  }

  // Why the last initialize() failed (empty after a success).
  std::string const& lastError() const { return lastError_; }

  void detach(bool /*force*/) override {
    if (!slots_.attached() && !map_.bucketReader().attached()) {
      VORL_TRACE(Debug::reader(), kDebugLevel, "already detached");
      this->initialized_ = false;
      return;
    }
    map_.bucketReader().detach();
    slots_.detach();
    VORL_TRACE(Debug::reader(), kDebugLevel, "{} detached", rootPath_);
    this->initialized_ = false;
  }

  bool validate() override {
    std::string reason;
    return this->initialized_ && map_.bucketReader().validate(pyrel_, &reason) &&
           slots_.validate(pyrel_, &reason);
  }
  bool validateFiles() override { return validate(); }
  void cleanup() override {}

  // Remaps slot and bucket tables when the writer changed either; true when either
  // remapped.
  bool resize() {
    bool slotsChanged = slots_.doResize();
    bool bucketsChanged = map_.bucketReader().remapIfChanged(&counters_.bucketRemaps);
    return slotsChanged || bucketsChanged;
  }

  // Runs `read` (returning an Outcome) and repeats it after a remap: when it asks for
  // one (bucket count changed) or when it met damage that a remap explains (a stale
  // mapping). Damage that survives a remap is rethrown.
  template <class Read>
  Outcome retryOnResize(Read&& read) {
    requireAttached();
    // A changed slot count is cheap to notice up front; a changed bucket count is
    // noticed by the walk itself (end marker or greater key with the count changed).
    slots_.doResize();
    if (map_.numBuckets() == 0) map_.bucketReader().remapIfChanged(&counters_.bucketRemaps);
    for (int attempt = 0;; ++attempt) {
      try {
        Outcome outcome = read();
        if (outcome != Outcome::retry) return outcome;
        ++counters_.resizeRetries;
        if (!resize() && attempt >= kMaxResizeRetries) {
          throw Vorl::CorruptionDetectedException(
              fmt::format("bucket count mismatch persists in {}", rootPath_));
        }
      } catch (Vorl::CorruptionDetectedException const&) {
        if (!resize() || attempt >= kMaxResizeRetries) throw;
        ++counters_.resizeRetries;
      }
    }
  }

  Value const* lookup(Key const& key, bool& found, Value* buffer) final {
    ++counters_.lookups;
    Body body;
    // Three walks, each run only when the one before cannot answer: the unchecked
    // walk answers a present key whose slot did not change under its copy; the
    // checked walk answers a miss, or a key whose slot was being changed; the
    // general path remaps and retries when a count changed and reports damage.
    Outcome outcome = Outcome::retry;
    if (this->initialized_ && map_.numBuckets() != 0) [[likely]] {
      outcome = map_.lookupQuickly(key, body);
      if (outcome == Outcome::retry && slots_.countCurrent()) outcome = map_.lookup(key, body);
    }
    if (outcome == Outcome::retry) [[unlikely]]
      outcome = lookupSlowly(key, body);
    found = outcome == Outcome::found;
    if (!found) return nullptr;
    Value* target = buffer != nullptr ? buffer : &valueBuffer_;
    body.copyValueTo(*target);
    return target;
  }

  // How many keys ahead lookupMany() works: it asks for the bucket head of the key
  // 2 * kLookupAhead places on, and for the first slot of the key kLookupAhead
  // places on (whose head has arrived by then), while it looks up the current key
  // (whose lines are in cache by then). Enough keys to overlap a dozen cache misses,
  // few enough that the lines stay in cache until their lookup runs.
  static constexpr std::size_t kLookupAhead = 8;

  // Looks up every key of `keys`: found[i] tells whether keys[i] is present and, if
  // it is, values[i] receives its value (otherwise values[i] is left as it was).
  // Returns how many were found. The answers are those of lookup() key by key: it
  // runs that same checked lookup for each key, having prefetched the bucket heads
  // and first slots of the keys ahead so that their cache misses overlap.
  std::size_t lookupMany(std::span<Key const> keys, Value* values, bool* found) {
    constexpr std::size_t kRing = 4 * kLookupAhead;  // holds the 2 * kLookupAhead + 1 in flight
    static_assert((kRing & (kRing - 1)) == 0);
    std::uint32_t buckets[kRing];
    std::size_t const count = keys.size();
    auto prefetchHead = [&](std::size_t at) {
      buckets[at % kRing] = prefetchReady() ? map_.prefetchHead(keys[at]) : Map::kNoBucket;
    };
    for (std::size_t at = 0; at < std::min(count, 2 * kLookupAhead); ++at) prefetchHead(at);
    for (std::size_t at = 0; at < std::min(count, kLookupAhead); ++at) {
      map_.prefetchFirstSlot(buckets[at % kRing]);
    }
    std::size_t hits = 0;
    for (std::size_t at = 0; at < count; ++at) {
      if (at + 2 * kLookupAhead < count) prefetchHead(at + 2 * kLookupAhead);
      if (at + kLookupAhead < count) map_.prefetchFirstSlot(buckets[(at + kLookupAhead) % kRing]);
      lookup(keys[at], found[at], values + at);
      hits += found[at] ? 1 : 0;
    }
    return hits;
  }

  bool first(Value& value, IterHint& hint) final { return firstFrom(0, value, hint); }

  bool firstFrom(std::uint32_t bucket, Value& value, IterHint& hint) {
    Body body;
    std::uint32_t slotIndex = 0;
    SlotLink link;
    Outcome outcome = retryOnResize([&] { return map_.first(bucket, body, slotIndex, link); });
    if (outcome != Outcome::found) return false;
    deliver(body, slotIndex, link, value, hint);
    VORL_TRACE(Debug::reader(), kDebugLevel, "{} found at bucket {}, saving {}",
               TraitsInfo<T>::keyText(T::key(value)), bucket, slotIndex);
    return true;
  }

  bool next(Key const& keyIn, Value& value, IterHint& hint) final {
    Key const key = keyIn;  // the caller may pass the key inside `value`
    bool more = nextUnchecked(key, value, hint);
    if (more) ListOrder<T>::requireAscending(key, T::key(value), slots_.hashSeed(), rootPath_);
    return more;
  }

  bool nextUnchecked(Key const& key, Value& value, IterHint& hint) {
    Body body;
    std::uint32_t slotIndex = 0;
    SlotLink link;
    requireAttached();
    slots_.doResize();
    if (map_.numBuckets() == 0) map_.bucketReader().remapIfChanged(&counters_.bucketRemaps);
    if (hint.base == slots_.base() && hint.slotIndex < slots_.numSlots()) {
      Body hinted;
      SlotLink hintLink = slots_.readSlot(hint.slotIndex, hinted);
      if (hintLink.version == hint.version && (hintLink.version & kOccupiedBit) != 0 &&
          T::compare(T::key(hinted.value()), key) == 0) {
        try {
          Outcome outcome =
              map_.after(hint.slotIndex, hintLink, hinted.rhash(), body, slotIndex, link);
          if (outcome == Outcome::notFound) return false;
          if (outcome == Outcome::found) {
            deliver(body, slotIndex, link, value, hint);
            VORL_TRACE(Debug::reader(), kDebugLevel, "{} success {}, saving {}",
                       TraitsInfo<T>::keyText(key), true, slotIndex);
            return true;
          }
        } catch (Vorl::CorruptionDetectedException const& error) {
          VORL_TRACE(Debug::reader(), kDebugLevel,
                     "saw exception in fast path: {}. This might be okay, dropping to slow path "
                     "to find out",
                     error.what());
        }
      }
    }
    Outcome outcome =
        retryOnResize([&] { return map_.find(key, Map::Mode::after, body, slotIndex, link); });
    if (outcome != Outcome::found) return false;
    deliver(body, slotIndex, link, value, hint);
    VORL_TRACE(Debug::reader(), kDebugLevel, "{} success {}, saving {}",
               TraitsInfo<T>::keyText(key), true, slotIndex);
    return true;
  }

  // Looks `key` up through the shared chains and tells the slot it lives in (for
  // shadows: where an entry moved).
  bool lookupSlot(Key const& key, Value& value, std::uint32_t& slotIndex) {
    Body body;
    SlotLink link;
    Outcome outcome =
        retryOnResize([&] { return map_.find(key, Map::Mode::equal, body, slotIndex, link); });
    if (outcome != Outcome::found) return false;
    std::memcpy(static_cast<void*>(&value), body.bytes, sizeof(Value));
    return true;
  }

  // Reads a slot by index (for shadows): present = occupied. An index at or beyond
  // the capacity is not present.
  bool getValue(std::uint32_t slotIndex, Value& value, std::uint32_t& version) {
    requireAttached();
    bool present = false;
    retryOnResize([&] {
      present = false;
      if (slotIndex < slots_.numSlots()) {
        Body body;
        SlotLink link = slots_.readSlot(slotIndex, body);
        version = link.version;
        present = (link.version & kOccupiedBit) != 0;
        if (present) std::memcpy(static_cast<void*>(&value), body.bytes, sizeof(Value));
        hint_ = IterHint{slotIndex, link.version, slots_.base()};
      }
      return resize() ? Outcome::retry : Outcome::found;
    });
    return present;
  }

  // getValue()'s common case, for a shadow's lookups: with the mapping current, the
  // occupied slot's value under its version word. False when getValue() must answer
  // (not attached, a slot beyond this mapping, a free slot, a count changed).
  bool readOccupiedSlot(std::uint32_t slotIndex, Value& value) const {
    if (!this->initialized_ || slotIndex >= slots_.numSlots()) [[unlikely]]
      return false;
    Body body;
    if ((slots_.readSlot(slotIndex, body).version & kOccupiedBit) == 0) [[unlikely]]
      return false;
    body.copyValueTo(value);
    return true;
  }

  // The shadow's one-step read: a slot below quickSlots() (0 until the mapping is
  // made) read by SlotReaderTable::readStableValue; anything else goes through
  // readOccupiedSlot() or getValue().
  std::uint32_t quickSlots() const { return slots_.quickSlots(); }
  [[gnu::always_inline]] bool readStableValue(std::uint32_t slotIndex, Key const& key,
                                              Value& value) const {
    return slots_.readStableValue(slotIndex, key, value);
  }

  std::uint32_t members() const override { return slots_.occupancy(); }
  std::uint32_t buckets() const override { return map_.numBuckets(); }
  std::uint32_t minSize() const override { return slots_.header().initialSlots; }
  std::uint32_t maxSize() const override { return slots_.header().maximumSlots; }
  std::uint32_t capacity() const final { return slots_.numSlots(); }
  StoreType type() const override { return StoreType::reader; }
  MountStatus mountStatus() const override {
    return this->initialized_ ? MountStatus::mounted : MountStatus::unmounted;
  }
  std::string brellName() const override { return name_; }
  std::string rootPath() const override { return rootPath_; }
  SharedMem::PyrelId pyrelId() const override { return pyrel_; }
  ReaderCounters const& counters() const { return counters_; }
  ReaderCounters readerCounters() const override { return counters_; }
  // The store's hash seed (from the slot header read at attach).
  std::uint32_t hashSeed() const { return slots_.hashSeed(); }

  std::string dumpHeaders() const override {
    auto& slots = const_cast<Slots&>(slots_);
    return fmt::format("Brell table \"{}\"\n\n\n{}\n\n{}\n\n", name_, slots.headerText(),
                       map_.bucketReader().headerText());
  }

 private:
  // True when the mappings are those lookup() takes its fast walk with.
  bool prefetchReady() const {
    return this->initialized_ && slots_.countCurrent() && map_.numBuckets() != 0;
  }

  // The general lookup: remaps when a count changed and retries; reports damage.
  [[gnu::noinline]] Outcome lookupSlowly(Key const& key, Body& body) {
    std::uint32_t slotIndex = 0;
    SlotLink link;
    return retryOnResize([&] { return map_.find(key, Map::Mode::equal, body, slotIndex, link); });
  }

  void requireAttached() const {
    if (!this->initialized_) [[unlikely]] {
      throw Vorl::InvalidInitializeException(
          fmt::format("Brell reader {} is not initialized", rootPath_));
    }
  }

  void deliver(Body const& body, std::uint32_t slotIndex, SlotLink link, Value& value,
               IterHint& hint) const {
    std::memcpy(static_cast<void*>(&value), body.bytes, sizeof(Value));
    hint = IterHint{slotIndex, link.version, slots_.base()};
  }

  std::string name_;
  std::string rootPath_;
  ReaderCounters counters_;
  Slots slots_;
  Map map_;
  SharedMem::PyrelId pyrel_;
  Value valueBuffer_{};
  IterHint hint_;
  std::string lastError_;
};

}  // namespace Brell
