#include "platform/hardware/FapRevision.h"

#include <array>

#include "platform/asic/Assert.h"

namespace Hardware::Sand {
namespace {

struct MajorInfo {
  FapRevMajor major;
  char const* name;
  unsigned chipType;
};

constexpr std::array majors{
    MajorInfo{FapRevMajor::FAPR_none, "FAPR_none", 0},
    MajorInfo{FapRevMajor::FAPR_sim5_a0, "FAPR_sim5_a0", 5},
    MajorInfo{FapRevMajor::FAPR_sim12_a0, "FAPR_sim12_a0", 12},
    MajorInfo{FapRevMajor::FAPR_sim12_b0, "FAPR_sim12_b0", 12},
    MajorInfo{FapRevMajor::FAPR_sim24_a0, "FAPR_sim24_a0", 24},
    MajorInfo{FapRevMajor::FAPR_sim26_a0, "FAPR_sim26_a0", 26},
    MajorInfo{FapRevMajor::FAPR_sim28_a0, "FAPR_sim28_a0", 28},
    MajorInfo{FapRevMajor::FAPR_sim40_a0, "FAPR_sim40_a0", 40},
    MajorInfo{FapRevMajor::FAPR_sim12_c0, "FAPR_sim12_c0", 12},
    MajorInfo{FapRevMajor::FAPR_bcm88490_a0, "FAPR_bcm88490_a0", 25},
    MajorInfo{FapRevMajor::FAPR_bcm88490_b0, "FAPR_bcm88490_b0", 25},
};

MajorInfo const* majorInfo(FapRevMajor major) {
  for (auto const& info : majors) {
    if (info.major == major) return &info;
  }
  return nullptr;
}

constexpr std::array<char const*, 3> minorNames{"FAPR_none", "FAPR__m1", "FAPR__m2"};

// Chip types 0..36 and their FAP types.
constexpr std::array<std::uint8_t, 37> fapTypeOfChipType{
    0,                             // 0
    1, 1, 1,                       // 1-3
    2, 2, 2, 2, 2,                 // 4-8
    3, 3, 3, 3, 3, 3, 3, 3,        // 9-16
    4, 4, 4, 4, 4, 4, 4, 4, 4, 4,  // 17-26
    5, 5,                          // 27-28
    4, 4, 4, 4, 4, 4, 4, 4,        // 29-36
};

Vorl::String withoutPrefix(Vorl::String const& name) {
  return name.size() > 5 ? name.substr(5) : Vorl::String();
}

std::array<FapRevision, 12> const& catalogue() {
  static const std::array<FapRevision, 12> revisions{
      FapRevision(FapRevMajor::FAPR_sim5_a0),
      FapRevision(FapRevMajor::FAPR_sim12_a0),
      FapRevision(FapRevMajor::FAPR_sim12_b0),
      FapRevision(FapRevMajor::FAPR_sim24_a0),
      FapRevision(FapRevMajor::FAPR_sim26_a0),
      FapRevision(FapRevMajor::FAPR_sim28_a0),
      FapRevision(FapRevMajor::FAPR_sim40_a0),
      FapRevision(FapRevMajor::FAPR_sim12_c0),
      FapRevision(FapRevMajor::FAPR_bcm88490_a0),
      FapRevision(FapRevMajor::FAPR_bcm88490_a0, FapRevMinor::FAPR__m1),
      FapRevision(FapRevMajor::FAPR_bcm88490_b0),
      FapRevision(FapRevMajor::FAPR_bcm88490_b0, FapRevMinor::FAPR__m2),
  };
  return revisions;
}

}  // namespace

Vorl::String stringValue(FapRevMajor major) {
  auto const* info = majorInfo(major);
  return info ? info->name : "FAPR_unknown";
}

Vorl::String stringValue(FapRevMinor minor) {
  auto index = static_cast<std::uint32_t>(minor);
  return index < minorNames.size() ? minorNames[index] : "FAPR_unknown";
}

FapType chipTypeToFapType(ChipType chipType) {
  unsigned value = chipTypeValue(chipType);
  ASIC_FATAL_ASSERT(value < fapTypeOfChipType.size(), "chipType <= 36", "Unhandled chipType {}",
                    value);
  return static_cast<FapType>(fapTypeOfChipType[value]);
}

ChipType FapRevision::chipType() const {
  auto const* info = majorInfo(major_);
  return Hardware::chipType(info ? info->chipType : 0);
}

Vorl::String FapRevision::revString() const {
  Vorl::String text = withoutPrefix(stringValue(major_));
  if (minor_ != FapRevMinor::FAPR_none) text += withoutPrefix(stringValue(minor_));
  return text;
}

std::span<FapRevision const> knownFapRevisions() { return catalogue(); }

bool fapRevisionFromString(std::string_view text, FapRevision& revision) {
  for (auto const& candidate : catalogue()) {
    if (candidate.revString() == text) {
      revision = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace Hardware::Sand
