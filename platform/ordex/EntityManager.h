// The agent's entity manager, as far as memory-table shadows need it: where shared
// stores live, and which of them are mounted by this process.
//
// Every shared store is a directory below the store root. A shadow's directory is
// <root>/<shadow path>, with the shadow path made by Tessar::Constants::
// shadowTblBrellPath from the chip revision, the table type and the shadow key. The
// root is the one given, else $HWTABLES_ROOT, else /dev/shm/hwtables when that is
// this user's or does not exist yet, else the per-user root /dev/shm/hwtables-<uid>
// (defaultStoreRoot).
//
// mount() creates the directory (and its parents) and records it; unmount() forgets
// it and leaves the files for the next writer. A path that climbs out of the root
// ("..") or is absolute is refused.
//
// takeOverStores(): how a new shadow treats the store it mounts. Off (the default),
// a new shadow empties its store; on (a warm start), a shadow takes over a valid
// store that a writer now gone left behind, with its entries.
//
// Thread-safety: none; the agent's owning thread uses it.
#pragma once

#include "platform/plugin/Export.h"

#include <sys/types.h>

#include <set>
#include <string>

#include "platform/vorl/Ptr.h"

namespace Ordex {

// Which root a user's stores go to when none is given, and why.
struct HWTABLES_API StoreRootChoice {
  std::string path;
  // Empty for the shared root; otherwise one sentence saying why the shared root was
  // not taken and which one was.
  std::string note;
};

class HWTABLES_API EntityManager : public Vorl::Node {
 public:
  // The shared default root of stores.
  static constexpr char const* kSharedStoreRoot = "/dev/shm/hwtables";

  // $HWTABLES_ROOT when set and not empty, else chooseStoreRoot(kSharedStoreRoot,
  // this process's effective user). The first time a process is given the per-user
  // root, it says so on stderr ("hwtables: note: ..."). Throws
  // Vorl::NoPermissionException when neither root can be this user's.
  static std::string defaultStoreRoot();
  // The shared root when it does not exist or is a directory (not a symbolic link)
  // that `user` owns; otherwise `sharedRoot`-<user>, under the same conditions. A root
  // that someone else owns is never used by default: its owner could read and change
  // the stores in it. Throws Vorl::NoPermissionException when neither qualifies.
  static StoreRootChoice chooseStoreRoot(std::string const& sharedRoot, uid_t user);

  explicit EntityManager(std::string storeRoot = defaultStoreRoot());

  std::string const& storeRoot() const { return storeRoot_; }
  // The directory of a shadow path; throws Vorl::RangeException for a path that is
  // empty, absolute or holds "..".
  std::string directoryOf(std::string const& shadowPath) const;

  // Creates the directory of `shadowPath` and records the mount; returns the
  // directory. Throws Vorl::MemoryResourceException when it cannot be created.
  std::string mount(std::string const& shadowPath);
  void unmount(std::string const& shadowPath);
  bool mounted(std::string const& shadowPath) const { return mounted_.contains(shadowPath); }
  bool takeOverStores() const { return takeOverStores_; }
  void takeOverStoresIs(bool takeOver) { takeOverStores_ = takeOver; }
  std::set<std::string> const& mountedPaths() const { return mounted_; }

 private:
  std::string storeRoot_;
  std::set<std::string> mounted_;
  bool takeOverStores_ = false;
};

}  // namespace Ordex
