#include "platform/pelcar/Fapmask.h"

#include "platform/vorl/Exceptions.h"

namespace Pelcar {

void Fapmask::fapIdIs(FapId id, bool member) {
  if (id.value >= kMaxFaps) {
    throw Vorl::RangeException(
        fmt::format("Pelcar::FapId {} out of range: the largest FAP id is {}", id.value,
                    kMaxFaps - 1));
  }
  bits_.set(id.value, member);
}

std::vector<FapId> Fapmask::fapIds() const {
  std::vector<FapId> ids;
  ids.reserve(bits_.count());
  for (std::uint32_t id = 0; id < kMaxFaps; ++id) {
    if (bits_[id]) ids.emplace_back(id);
  }
  return ids;
}

Fapmask Fapmask::of(std::initializer_list<std::uint32_t> ids) {
  Fapmask mask;
  for (auto id : ids) mask.fapIdIs(FapId(id), true);
  return mask;
}

Vorl::String valueToStrep(Fapmask const& mask) {
  // Runs of consecutive ids, written as "a-b" (or "a" alone), separated by commas.
  fmt::memory_buffer text;
  text.push_back('{');
  bool firstRun = true;
  for (std::uint32_t id = 0; id < Fapmask::kMaxFaps;) {
    if (!mask.fapId(FapId(id))) {
      ++id;
      continue;
    }
    std::uint32_t last = id;
    while (last + 1 < Fapmask::kMaxFaps && mask.fapId(FapId(last + 1))) ++last;
    if (!firstRun) text.push_back(',');
    firstRun = false;
    if (last == id) {
      fmt::format_to(std::back_inserter(text), "{}", id);
    } else {
      fmt::format_to(std::back_inserter(text), "{}-{}", id, last);
    }
    id = last + 1;
  }
  text.push_back('}');
  return fmt::to_string(text);
}

}  // namespace Pelcar
