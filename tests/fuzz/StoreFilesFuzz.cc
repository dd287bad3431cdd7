// Fuzz target: a store directory's files, as damaged as the input makes them.
// Input: one flags byte, then the framed files "slots", "buckets" and "pyrel"
// (FuzzInput.h), the rest as "notifications" (absent when empty). Flag bit 0 redoes
// the headers' checksums first, so that a mutation reaches the checks behind them (as
// a writer's bug, not a torn disk, would leave it). Everything a tool or a reader does
// with a store it finds must end in a result or a Vorl exception.
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "platform/sharedmem/Checksum.h"
#include "platform/vorl/Exceptions.h"
#include "store/BrellReader.h"
#include "store/RawValue.h"
#include "store/StoreInspector.h"
#include "store/VanquoReader.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

// The inputs are far smaller than this many slots, so a walk or iteration that
// yields more entries is going round in circles.
constexpr std::size_t kMaxSteps = 1u << 20;

void redoChecksum(std::string& file, std::size_t at,
                  std::initializer_list<std::pair<std::size_t, std::size_t>> ranges) {
  std::size_t end = at + 4;
  for (auto [from, to] : ranges) end = std::max(end, to);
  if (file.size() < end) return;
  std::string covered;
  for (auto [from, to] : ranges) covered.append(file, from, to - from);
  std::uint32_t sum = SharedMem::checksum(covered.data(), covered.size());
  std::memcpy(file.data() + at, &sum, 4);
}

template <std::size_t V>
void readAsReader(std::string const& root, std::vector<std::uint32_t> const& keys) {
  using Traits = Brell::RawValueTraits<V>;
  try {
    Brell::BrellReader<Traits> reader("fuzz", root);
    if (!reader.initialize("fuzz")) return;
    typename Traits::Value buffer;
    bool found = false;
    for (auto key : keys) reader.lookup(key, found, &buffer);
    std::vector<typename Traits::Value> values(keys.size());
    std::unique_ptr<bool[]> founds(new bool[keys.size() + 1]);
    reader.lookupMany(std::span<std::uint32_t const>(keys), values.data(), founds.get());
    Brell::IterHint hint;
    std::size_t steps = 0;
    for (bool more = reader.first(buffer, hint); more;
         more = reader.next(Traits::key(buffer), buffer, hint)) {
      if (++steps > kMaxSteps) std::abort();
    }
    reader.validate();
  } catch (Vorl::Exception const&) {
    // Damage reported as such: the outcome wanted.
  }
}

void readRing(std::string const& root) {
  try {
    Vanquo::VanquoReader<> ring(root);
    if (!ring.initialize(false)) return;
    std::size_t count = 0;
    ring.read([&](Vanquo::BasicSlot const&) { ++count; }, 4096);
    ring.restartAtHead();
    ring.read([&](Vanquo::BasicSlot const&) { ++count; }, 4096);
  } catch (Vorl::Exception const&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  auto& scratch = Fuzz::ScratchDirectory::instance();
  scratch.empty();
  if (size == 0) return 0;
  bool const repair = (data[0] & 1) != 0;
  Fuzz::Framed input(data + 1, size - 1);
  std::string slots(input.part());
  std::string buckets(input.part());
  std::string pyrel(input.part());
  std::string notifications(input.rest());
  if (repair) {
    // The layouts of docs/store-format.md: slots [0,72)+[96,352) at 92, buckets
    // [0,12) at 12, pyrel [0,24) at 24, notifications [0,40) with its field zero at 32.
    redoChecksum(slots, 92, {{0, 72}, {96, 352}});
    redoChecksum(buckets, 12, {{0, 12}});
    redoChecksum(pyrel, 24, {{0, 24}});
    if (notifications.size() >= 40) {
      std::memset(notifications.data() + 32, 0, 4);
      redoChecksum(notifications, 32, {{0, 40}});
    }
  }
  scratch.write("control", "");
  scratch.write("slots", slots);
  scratch.write("buckets", buckets);
  scratch.write("pyrel", pyrel);
  if (!notifications.empty()) scratch.write("notifications", notifications);

  Brell::StoreInspector::Options options;
  options.maxWaitMilliseconds = 0;
  std::vector<std::uint32_t> keys = {0, 1, 7, 0xFFFFFFFFu};
  try {
    Brell::StoreInspector inspector(scratch.path(), options);
    inspector.check();
    std::size_t walked = 0;
    inspector.dumpEach([](Brell::InspectionReport const&) {},
                       [&](Brell::ChainEntry const& entry) {
                         if (++walked > kMaxSteps) std::abort();
                         if (entry.value.size() >= 4 && keys.size() < 64) {
                           std::uint32_t key;
                           std::memcpy(&key, entry.value.data(), 4);
                           keys.push_back(key);
                         }
                       });
  } catch (Vorl::Exception const&) {
  }

  std::uint32_t valueSize = 8;
  if (slots.size() >= 28) std::memcpy(&valueSize, slots.data() + 24, 4);
  switch (valueSize) {
    case 12: readAsReader<12>(scratch.path(), keys); break;
    case 16: readAsReader<16>(scratch.path(), keys); break;
    case 20: readAsReader<20>(scratch.path(), keys); break;
    default: readAsReader<8>(scratch.path(), keys); break;
  }
  readRing(scratch.path());
  return 0;
}
