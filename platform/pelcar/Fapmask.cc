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
  for (std::uint32_t id = 0; id < kMaxFaps; ++id) {
    if (bits_.test(id)) ids.emplace_back(id);
  }
  return ids;
}

Fapmask Fapmask::of(std::initializer_list<std::uint32_t> ids) {
  Fapmask mask;
  for (auto id : ids) mask.fapIdIs(FapId(id), true);
  return mask;
}

Vorl::String valueToStrep(Fapmask const& mask) {
  Vorl::String text = "{";
  auto ids = mask.fapIds();
  for (std::size_t first = 0; first < ids.size();) {
    std::size_t last = first;
    while (last + 1 < ids.size() && ids[last + 1].value == ids[last].value + 1) ++last;
    if (first != 0) text += ',';
    text += last == first ? fmt::format("{}", ids[first])
                          : fmt::format("{}-{}", ids[first], ids[last]);
    first = last + 1;
  }
  return text + "}";
}

}  // namespace Pelcar
