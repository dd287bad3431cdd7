// The three keyed stores the benchmark compares, behind one small interface.
//
// Every subject keeps values of Brell::RawValue<V> (a 4-byte key followed by V - 4
// payload bytes) under their 4-byte key, and every lookup copies the value out, as a
// reader in another process must:
//
//   MapSubject    std::unordered_map<std::uint32_t, RawValue<V>> in this process: the
//                 reference for speed; not shared with other processes. Insert is
//                 insert_or_assign, update of a present key is find then assign.
//   StoreSubject  the store's single writer (Brell::BrellWriter) on files in a fresh
//                 directory under /dev/shm; its reader sides are a Brell::BrellReader
//                 (StoreReaderSide) or a Brell::BrellShadow (ShadowReaderSide: a local
//                 index of the keys kept up to date from the notification ring, the
//                 value read from the shared slot) in another process.
//   LmdbSubject   an LMDB environment in a fresh directory under /dev/shm, opened with
//                 MDB_NOSYNC | MDB_WRITEMAP, integer keys, one write transaction per
//                 put or delete (so each write is visible to readers at once); its
//                 reader side (LmdbReaderSide) opens the environment read-only in
//                 another process and renews one read transaction per lookup (so each
//                 lookup sees the latest write, as a store reader does).
//
// Memory: memory() names what it counts and how many bytes (the map has none: its
// memory is the heap it takes, which the caller measures around building it).
//
// Thread-safety: none; one thread per object, reader sides in their own processes.
#pragma once

#include <lmdb.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "store/BrellReader.h"
#include "store/BrellShadow.h"
#include "store/BrellWriter.h"
#include "store/RawValue.h"
#include "store/VanquoRing.h"

namespace Bench {

template <std::size_t V>
using Value = Brell::RawValue<V>;

template <std::size_t V>
Value<V> valueOf(std::uint32_t key, std::uint32_t generation) {
  Value<V> value;
  value.key = key;
  for (std::size_t byte = 0; byte < V - 4; ++byte) {
    value.payload[byte] = static_cast<unsigned char>(generation >> (8 * (byte % 4)));
  }
  return value;
}

// A fresh directory under /dev/shm, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/dev/shm/hwtables-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(ScratchDir const&) = delete;
  ScratchDir& operator=(ScratchDir const&) = delete;
  std::string const& path() const { return path_; }

 private:
  std::string path_;
};

// One figure of a subject's memory; `what` says what it counts.
struct MemoryReading {
  std::string what;
  std::uint64_t bytes = 0;
};

// The files of a directory that memory figures count.
struct FileBytes {
  std::string counted;          // the names of those that exist, comma-separated
  std::uint64_t pageBytes = 0;  // their sizes, each rounded up to whole 4096-byte pages
  std::uint64_t allocated = 0;  // the blocks the file system holds for them
};

// Sizes of those of the files `names` in `dir` that exist. A file in /dev/shm takes
// memory only for the pages written to, so a file sized for growth (or an LMDB map)
// shows a larger size than allocation.
inline FileBytes fileBytes(std::string const& dir, std::vector<std::string> const& names) {
  constexpr std::uint64_t kPage = 4096;
  FileBytes bytes;
  for (auto const& name : names) {
    struct stat status {};
    if (::stat((dir + "/" + name).c_str(), &status) != 0) continue;
    auto size = static_cast<std::uint64_t>(status.st_size);
    bytes.pageBytes += (size + kPage - 1) / kPage * kPage;
    bytes.allocated += static_cast<std::uint64_t>(status.st_blocks) * 512;
    bytes.counted += bytes.counted.empty() ? name : ", " + name;
  }
  return bytes;
}

template <std::size_t V>
class MapSubject {
 public:
  static constexpr char const* kName = "unordered_map";

  void insert(Value<V> const& value) { map_.insert_or_assign(value.key, value); }
  // The map's own update of a present key: find it, assign the new value in place.
  void update(Value<V> const& value) {
    auto found = map_.find(value.key);
    if (found != map_.end()) found->second = value;
  }
  bool remove(std::uint32_t key) { return map_.erase(key) == 1; }
  bool lookup(std::uint32_t key, Value<V>& out) const {
    auto found = map_.find(key);
    if (found == map_.end()) return false;
    out = found->second;
    return true;
  }
  // Back to a new, empty map (its bucket array released too).
  void clear(std::vector<std::uint32_t> const&) { map_ = {}; }
  std::size_t size() const { return map_.size(); }

 private:
  std::unordered_map<std::uint32_t, Value<V>> map_;
};

template <std::size_t V>
class StoreSubject {
 public:
  using Traits = Brell::RawValueTraits<V>;
  static constexpr char const* kName = "store";

  // A table configured for `entries` (it still grows past them, as tables do): its
  // notification ring is sized to it.
  explicit StoreSubject(std::size_t entries) : writer_("bench", descriptor(entries), dir_.path()) {
    writer_.initialize("bench");
  }

  void insert(Value<V> const& value) { writer_.write(value, true); }
  void update(Value<V> const& value) { writer_.write(value, true); }
  void updateBatch(std::span<Value<V> const> values) { writer_.writeBatch(values, true); }
  bool remove(std::uint32_t key) { return writer_.remove(key, nullptr); }
  bool lookup(std::uint32_t key, Value<V>& out) {
    bool found = false;
    auto const* stored = writer_.lookup(key, found, nullptr);
    if (!found) return false;
    std::memcpy(static_cast<void*>(&out), stored, sizeof out);
    return true;
  }
  // Removes every entry; the store shrinks back as it would in use.
  void clear(std::vector<std::uint32_t> const& keys) {
    for (auto key : keys) writer_.remove(key, nullptr);
  }
  std::size_t size() const { return writer_.members(); }
  std::string const& dir() const { return dir_.path(); }

  // Every file of the store's directory: the two tables, the notification ring, and
  // the owner, pyrel and control files (a page each at most, whatever the size).
  std::vector<MemoryReading> memory() const {
    auto files = fileBytes(dir_.path(), {"slots", "buckets", Vanquo::kRingFileName, "owner",
                                         "pyrel", Brell::kControlFileName});
    return {{fmt::format("store: file sizes ({})", files.counted), files.pageBytes},
            {fmt::format("store: blocks allocated ({})", files.counted), files.allocated}};
  }

 private:
  static Brell::MapDescriptor descriptor(std::size_t entries) {
    Brell::MapDescriptor descriptor;
    descriptor.maxSize = static_cast<std::uint32_t>(std::max<std::size_t>(entries, 64));
    return descriptor;
  }

  ScratchDir dir_;
  Brell::BrellWriter<Traits> writer_;
};

template <std::size_t V>
class StoreReaderSide {
 public:
  explicit StoreReaderSide(std::string const& dir) : reader_("bench", dir) {
    if (!reader_.initialize("bench")) {
      throw std::runtime_error("store reader could not attach: " + reader_.lastError());
    }
  }
  [[gnu::always_inline]] bool lookup(std::uint32_t key, Value<V>& out) {  // see the shadow's
    bool found = false;
    reader_.lookup(key, found, &out);
    return found;
  }
  // Looks up all `keys` at once (the reader overlaps their cache misses); returns how
  // many were found.
  std::size_t lookupMany(std::span<std::uint32_t const> keys, Value<V>* out, bool* found) {
    return reader_.lookupMany(keys, out, found);
  }

 private:
  Brell::BrellReader<Brell::RawValueTraits<V>> reader_;
};

// A shadow attaches in steps: initialize() fails while the writer is busy attaching,
// and the shadow answers from its local index only once a synchronisation pass has
// gone over every slot (mount status synced). Both steps are bounded: a reader that
// does not get there in about twenty seconds reports why instead of hanging.
template <std::size_t V>
class ShadowReaderSide {
 public:
  explicit ShadowReaderSide(std::string const& dir) : shadow_("bench", dir) {
    for (int attempt = 0; !shadow_.initialize("bench"); ++attempt) {
      if (attempt == 200) {
        throw std::runtime_error("shadow could not attach: " + shadow_.lastError());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int round = 0; round < 2000 && shadow_.mountStatus() != Brell::MountStatus::synced;
         ++round) {
      shadow_.processNotifications(std::chrono::milliseconds(10));
    }
    if (shadow_.mountStatus() != Brell::MountStatus::synced) {
      throw std::runtime_error("shadow did not synchronise with the store");
    }
  }
  // Inlined at every value size, as the map's find is in its loop: left to the
  // compiler, this wrapper stayed a call at V = 20 only, and that call, not the
  // store, was most of the difference between the sizes.
  [[gnu::always_inline]] bool lookup(std::uint32_t key, Value<V>& out) {
    bool found = false;
    shadow_.lookup(key, found, &out);
    return found;
  }

 private:
  Brell::BrellShadow<Brell::RawValueTraits<V>> shadow_;
};

inline void lmdbCheck(int result, char const* what) {
  if (result != MDB_SUCCESS) {
    throw std::runtime_error(fmt::format("{}: {}", what, ::mdb_strerror(result)));
  }
}

inline constexpr std::size_t kLmdbMapSize = std::size_t{4} << 30;

template <std::size_t V>
class LmdbSubject {
 public:
  static constexpr char const* kName = "LMDB";

  LmdbSubject() {
    lmdbCheck(::mdb_env_create(&env_), "mdb_env_create");
    lmdbCheck(::mdb_env_set_mapsize(env_, kLmdbMapSize), "mdb_env_set_mapsize");
    lmdbCheck(::mdb_env_open(env_, dir_.path().c_str(), MDB_NOSYNC | MDB_WRITEMAP, 0644),
              "mdb_env_open");
    MDB_txn* txn = nullptr;
    lmdbCheck(::mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
    lmdbCheck(::mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi_), "mdb_dbi_open");
    lmdbCheck(::mdb_txn_commit(txn), "mdb_txn_commit");
    lmdbCheck(::mdb_txn_begin(env_, nullptr, MDB_RDONLY, &readTxn_), "mdb_txn_begin");
    ::mdb_txn_reset(readTxn_);
  }
  ~LmdbSubject() {
    ::mdb_txn_abort(readTxn_);
    ::mdb_env_close(env_);
  }
  LmdbSubject(LmdbSubject const&) = delete;
  LmdbSubject& operator=(LmdbSubject const&) = delete;

  void insert(Value<V> const& value) { put(value); }
  void update(Value<V> const& value) { put(value); }
  bool remove(std::uint32_t key) {
    MDB_txn* txn = nullptr;
    lmdbCheck(::mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
    MDB_val keyVal{sizeof key, &key};
    int result = ::mdb_del(txn, dbi_, &keyVal, nullptr);
    if (result == MDB_NOTFOUND) {
      ::mdb_txn_abort(txn);
      return false;
    }
    lmdbCheck(result, "mdb_del");
    lmdbCheck(::mdb_txn_commit(txn), "mdb_txn_commit");
    return true;
  }
  bool lookup(std::uint32_t key, Value<V>& out) {
    lmdbCheck(::mdb_txn_renew(readTxn_), "mdb_txn_renew");
    MDB_val keyVal{sizeof key, &key};
    MDB_val data;
    int result = ::mdb_get(readTxn_, dbi_, &keyVal, &data);
    bool found = result == MDB_SUCCESS && data.mv_size == sizeof out;
    if (found) std::memcpy(static_cast<void*>(&out), data.mv_data, sizeof out);
    ::mdb_txn_reset(readTxn_);
    return found;
  }
  void clear(std::vector<std::uint32_t> const&) {
    MDB_txn* txn = nullptr;
    lmdbCheck(::mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
    lmdbCheck(::mdb_drop(txn, dbi_, 0), "mdb_drop");
    lmdbCheck(::mdb_txn_commit(txn), "mdb_txn_commit");
  }
  std::size_t size() {
    MDB_stat stat;
    lmdbCheck(::mdb_txn_renew(readTxn_), "mdb_txn_renew");
    lmdbCheck(::mdb_stat(readTxn_, dbi_, &stat), "mdb_stat");
    ::mdb_txn_reset(readTxn_);
    return stat.ms_entries;
  }
  std::string const& dir() const { return dir_.path(); }

  // The pages in use (up to the last page written) and the data file; with
  // MDB_WRITEMAP the file is as large as the map at once, most of it never written.
  std::vector<MemoryReading> memory() {
    MDB_envinfo info;
    MDB_stat stat;
    lmdbCheck(::mdb_env_info(env_, &info), "mdb_env_info");
    lmdbCheck(::mdb_env_stat(env_, &stat), "mdb_env_stat");
    auto file = fileBytes(dir_.path(), {"data.mdb"});
    return {{"LMDB: pages in use (last page + 1)",
             (static_cast<std::uint64_t>(info.me_last_pgno) + 1) * stat.ms_psize},
            {"LMDB: data file size", file.pageBytes},
            {"LMDB: data file blocks allocated", file.allocated}};
  }

 private:
  void put(Value<V> const& value) {
    MDB_txn* txn = nullptr;
    lmdbCheck(::mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
    std::uint32_t key = value.key;
    MDB_val keyVal{sizeof key, &key};
    MDB_val data{sizeof value, const_cast<Value<V>*>(&value)};
    lmdbCheck(::mdb_put(txn, dbi_, &keyVal, &data, 0), "mdb_put");
    lmdbCheck(::mdb_txn_commit(txn), "mdb_txn_commit");
  }

  ScratchDir dir_;
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
  MDB_txn* readTxn_ = nullptr;
};

template <std::size_t V>
class LmdbReaderSide {
 public:
  explicit LmdbReaderSide(std::string const& dir) {
    lmdbCheck(::mdb_env_create(&env_), "mdb_env_create");
    lmdbCheck(::mdb_env_set_mapsize(env_, kLmdbMapSize), "mdb_env_set_mapsize");
    lmdbCheck(::mdb_env_open(env_, dir.c_str(), MDB_RDONLY, 0644), "mdb_env_open");
    lmdbCheck(::mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn_), "mdb_txn_begin");
    lmdbCheck(::mdb_dbi_open(txn_, nullptr, MDB_INTEGERKEY, &dbi_), "mdb_dbi_open");
    ::mdb_txn_reset(txn_);
  }
  ~LmdbReaderSide() {
    ::mdb_txn_abort(txn_);
    ::mdb_env_close(env_);
  }
  LmdbReaderSide(LmdbReaderSide const&) = delete;
  LmdbReaderSide& operator=(LmdbReaderSide const&) = delete;

  bool lookup(std::uint32_t key, Value<V>& out) {
    lmdbCheck(::mdb_txn_renew(txn_), "mdb_txn_renew");
    MDB_val keyVal{sizeof key, &key};
    MDB_val data;
    int result = ::mdb_get(txn_, dbi_, &keyVal, &data);
    bool found = result == MDB_SUCCESS && data.mv_size == sizeof out;
    if (found) std::memcpy(static_cast<void*>(&out), data.mv_data, sizeof out);
    ::mdb_txn_reset(txn_);
    return found;
  }

 private:
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
  MDB_txn* txn_ = nullptr;
};

}  // namespace Bench
