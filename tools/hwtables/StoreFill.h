// `hwtables store fill`: the store's single writer, filling it with synthetic entries.
//
// Entries are plain records (Brell::RawValue<V>): a 4-byte key followed by V - 4
// payload bytes. The keys are the distinct outputs, in order, of the 32-bit Mersenne
// Twister (std::mt19937) seeded with the seed; the payload of key k is the 32-bit
// little-endian words k ^ (0x9E3779B9 * (j + 1)) for j = 0, 1, ... So anyone can tell
// which keys and values a fill wrote. After writing N entries the fill removes the
// first M keys it wrote, detaches, and leaves the files in place.
//
// A fill never destroys something it did not make: it writes only into a new or
// empty directory or into a valid store of the same value type (whose entries it
// keeps, overwriting those with the same keys).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace Tool {

struct FillOptions {
  std::string root;
  std::uint32_t entries = 0;
  std::uint32_t valueBytes = 8;
  std::uint32_t remove = 0;
  std::uint32_t seed = 1;
  // After the fill, keep rewriting the values of the entries that are left for this
  // long (a live writer to watch), in bursts with short pauses between them.
  double updateSeconds = 0;
  bool progress = false;  // a progress line on stderr
};

struct FillResult {
  std::uint32_t written = 0;
  std::uint32_t removed = 0;
  std::uint64_t updates = 0;
  std::uint32_t occupancy = 0;
  std::uint32_t capacity = 0;
  std::uint32_t buckets = 0;
  std::uint32_t slotBytes = 0;
  std::uint32_t pyrelId = 0;
  bool interrupted = false;  // SIGINT or SIGTERM stopped it between two operations
  std::string failure;       // why the store refused a change, when it did
};

// The keys a fill with `seed` writes, one at a time, in order. Memory stays bounded
// whatever the count: the keys seen so far are remembered in a hash set for small
// fills and in a bitmap of all 2^32 keys (512 MiB) for large ones.
class FillKeys {
 public:
  FillKeys(std::uint32_t seed, std::uint32_t count);
  std::uint32_t next();

 private:
  bool firstSight(std::uint32_t key);

  std::mt19937 random_;
  std::unordered_set<std::uint32_t> seen_;
  std::vector<std::uint64_t> bitmap_;
};

// The first `count` keys a fill with `seed` writes, in order.
std::vector<std::uint32_t> fillKeys(std::uint32_t seed, std::uint32_t count);

// The payload word j of key `key` (see above).
constexpr std::uint32_t fillPayloadWord(std::uint32_t key, std::uint32_t word) {
  return key ^ (0x9E3779B9u * (word + 1));
}

// Runs the fill. Throws UsageError when the directory cannot be used (nothing is
// changed then), Busy when another writer has the store, and CheckFailed when a new
// store cannot be made (its files are removed again). A change the store refuses
// during the work (no space, the file-size limit) ends it with `failure` set; SIGINT
// and SIGTERM stop it between two steps at any time.
FillResult runFill(FillOptions const& options);

}  // namespace Tool
