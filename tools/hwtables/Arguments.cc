#include "tools/hwtables/Arguments.h"

#include <set>

#include <fmt/format.h>

#include "platform/pelcar/Fapmask.h"
#include "platform/tessar/Keys.h"
#include "tools/hwtables/Errors.h"

namespace Tool {
namespace {

U32 parseFapId(std::string_view text, std::string const& list) {
  U32 value = 0;
  if (text.empty() || text.size() > 3) {
    throw UsageError(
        fmt::format("bad FAP list '{}': '{}' is not a FAP id (0..255)", shown(list), shown(text)));
  }
  for (char digit : text) {
    if (digit < '0' || digit > '9') {
      throw UsageError(fmt::format("bad FAP list '{}': '{}' is not a FAP id (0..255)", shown(list),
                                   shown(text)));
    }
    value = value * 10 + static_cast<U32>(digit - '0');
  }
  if (value > 255) {
    throw UsageError(fmt::format("bad FAP list '{}': FAP id {} is above 255", shown(list), value));
  }
  if (value == Tessar::HwShadowKey::kAllFaps) {
    throw UsageError(fmt::format(
        "bad FAP list '{}': FAP id 128 is reserved (it stands for every FAP in read requests)",
        shown(list)));
  }
  return value;
}

}  // namespace

std::vector<U32> parseFaps(std::string const& list) {
  std::set<U32> faps;
  std::string_view rest = list;
  while (true) {
    auto comma = rest.find(',');
    auto item = rest.substr(0, comma);
    if (auto dash = item.find('-'); dash != std::string_view::npos) {
      U32 first = parseFapId(item.substr(0, dash), list);
      U32 last = parseFapId(item.substr(dash + 1), list);
      if (first > last) {
        throw UsageError(
            fmt::format("bad FAP list '{}': range {} runs backwards", shown(list), shown(item)));
      }
      if (first < Tessar::HwShadowKey::kAllFaps && last >= Tessar::HwShadowKey::kAllFaps) {
        parseFapId("128", list);  // refuses the reserved id with its reason
      }
      for (U32 fap = first; fap <= last; ++fap) faps.insert(fap);
    } else {
      faps.insert(parseFapId(item, list));
    }
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  return {faps.begin(), faps.end()};
}

Hardware::Sand::FapRevision parseRevision(std::string const& name) {
  Hardware::Sand::FapRevision revision;
  if (!Hardware::Sand::fapRevisionFromString(name, revision)) {
    std::string known;
    for (auto const& candidate : Hardware::Sand::knownFapRevisions()) {
      if (candidate.chipType() != Hardware::bcm88490_a0ChipType) continue;
      known += (known.empty() ? "" : ", ") + candidate.revString();
    }
    throw UsageError(
        fmt::format("unknown revision '{}' (the tables serve {})", shown(name), known));
  }
  if (revision.chipType() != Hardware::bcm88490_a0ChipType) {
    throw UsageError(
        fmt::format("revision '{}' is chip type {}; the tables register only for chip type {}",
                    shown(name), Hardware::chipTypeValue(revision.chipType()),
                    Hardware::chipTypeValue(Hardware::bcm88490_a0ChipType)));
  }
  return revision;
}

std::string fapsText(std::vector<U32> const& faps) {
  Pelcar::Fapmask mask;
  for (auto fap : faps) mask.fapIdIs(Pelcar::FapId(fap), true);
  return Pelcar::valueToStrep(mask);
}

}  // namespace Tool
