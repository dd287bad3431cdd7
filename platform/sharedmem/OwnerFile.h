// The owner file of a store directory, and the machine-wide writer lock.
//
// The owner file records who owns the store: the value type name and shared-memory
// type the store was made for, the writer's notification socket (ShocketInfo) while
// a writer is attached, and whether the store was ever wiped. Its lock is the writer
// lock: an exclusive flock on the owner file, taken without waiting, so exactly one
// writer per root exists on the machine (a second writer, in this or another
// process, is refused). The kernel drops the lock when the owning process dies, so a
// crashed writer never blocks the next one. The lock counts only on the file the
// path names: a file removed (by a cleanup) while someone waited to lock it is let
// go and the path opened again.
//
// Layout (little-endian, 256 bytes):
//   0   u64      magic "HTBOWNER"
//   8   u32      format version (1)
//   12  u32      shared-memory type
//   16  u8       wiped flag
//   17  u8[7]    zero
//   24  char[128] value type name, NUL-padded
//   152 u32      socket owner process id (0 = no socket)
//   156 char[84] socket name, NUL-padded
//   240 u64      socket owner's start time (clock ticks since boot; 0 = unknown),
//                so that a reused process id is not taken for the writer
//   248 u32      checksum of bytes 0..247
//   252 u32      zero
// An empty (just created) file is valid and means "no owner recorded yet".
//
// Thread-safety: none; one owner thread.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace SharedMem {

// The kind of shared-memory store an owner file describes (the u32 at byte 12).
enum class SharedMemType : std::uint32_t { none = 0, hashMap = 1 };

struct HWTABLES_API ShocketInfo {
  ShocketInfo() = default;
  ShocketInfo(std::uint32_t processIdIn, std::string nameIn, std::uint64_t startTimeIn = 0)
      : processId(processIdIn), name(std::move(nameIn)), startTime(startTimeIn) {}

  std::uint32_t processId = 0;
  std::string name;
  // The process's start time (see ProcessIdentity); 0 = unknown. shocketInfoIs fills
  // it in when it is not given.
  std::uint64_t startTime = 0;

  bool empty() const { return processId == 0; }
  std::string toString() const;
};

class HWTABLES_API OwnerFile {
 public:
  static constexpr char const* kFileName = "owner";
  static constexpr std::size_t kSize = 256;

  // What a read-only look at the owner file finds (it never creates or locks it).
  struct Peek {
    bool valid = false;
    std::string valueTypeName;
    ShocketInfo shocketInfo;
    bool wiped = false;
  };
  static std::optional<Peek> peek(std::string const& root);

  explicit OwnerFile(std::string root);
  OwnerFile(OwnerFile const&) = delete;
  OwnerFile& operator=(OwnerFile const&) = delete;
  ~OwnerFile();

  std::string const& path() const { return path_; }

  // Opens (creating when absent) the file. Throws Vorl::MemoryResourceException.
  void open();
  bool isOpen() const { return fd_ >= 0; }
  // Takes the writer lock without waiting; false when another writer holds it.
  // Holding it means holding the file that the path names now.
  bool tryLock();
  // True while this object holds the writer lock.
  bool locked() const { return locked_; }
  void unlock();
  void close();

  // Reads and checks the record; false with a reason when it is damaged.
  bool validate(std::string* reason = nullptr);
  // The record's text form (for traces).
  std::string toString() const;

  void valueTypeIs(std::string const& typeName, SharedMemType sharedMemType);
  void wipedIs(bool wiped);
  void shocketInfoIs(ShocketInfo const& info);
  ShocketInfo shocketInfo() const { return shocketInfo_; }
  std::string const& valueTypeName() const { return valueTypeName_; }
  bool wiped() const { return wiped_; }

  void remove();

 private:
  void load();
  void store();

  std::string path_;
  int fd_ = -1;
  bool locked_ = false;
  bool recordValid_ = false;
  std::string valueTypeName_;
  std::uint32_t sharedMemType_ = 0;
  bool wiped_ = false;
  ShocketInfo shocketInfo_;
};

}  // namespace SharedMem
