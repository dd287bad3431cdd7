// Start-up contents of the FHEI MPLS swap remark map: a 256-bit map whose value
// depends on the FAP type, and for older chips on the major revision.
//
// The value is built as the chip documents it: the constant's bytes OR-ed into an
// empty 256-bit map (least significant byte at bit 0), then shifted left within the
// map's width. The map is 256 bits wide before the shift, so no set bit is lost.
#include <array>

#include "platform/asic/Assert.h"
#include "tables/EtppCfgFheiMplsSwapRemarkMapHwReg.h"

namespace bcm88490_a0 {
namespace {

// 0x70006000500040003000200010, least significant byte first.
constexpr std::array<U8, 13> kFapType4Value{0x10, 0x00, 0x20, 0x00, 0x30, 0x00, 0x40,
                                            0x00, 0x50, 0x00, 0x60, 0x00, 0x70};
constexpr std::size_t kFapType4Shift = 44;
constexpr std::uint64_t kMajor8To10Value = 0x70605040302010;
constexpr std::size_t kMajor8To10Shift = 20;
constexpr std::uint64_t kMajor6To7Value = 0xE62906208000;

}  // namespace

void EtppCfgFheiMplsSwapRemarkMapHwReg::userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) {
  static Vorl::TraceHandle& trace = Vorl::traceHandle("EtppFheiModelMapImpl");
  VORL_TRACE(trace, 2, "{} hwShadowKey: {}", __PRETTY_FUNCTION__, hwShadowKey.toString());
  Entry entry(EntryKey(0));
  Lutz::PerUnitBitmap map(Entry::entrySizeBits());
  auto fapType =
      Hardware::Sand::fapTypeValue(Hardware::Sand::chipTypeToFapType(fapRevision().chipType()));
  if (fapType == 4) {
    map.bitsOr(kFapType4Value);
    map.shiftLeft(kFapType4Shift);
  } else {
    switch (fapRevision().majorNumber()) {
      case 8:
      case 9:
      case 10:
        map.bitsOr(kMajor8To10Value);
        map.shiftLeft(kMajor8To10Shift);
        break;
      case 6:
      case 7:
        map.bitsOr(kMajor6To7Value);
        break;
      default:
        ASIC_FATAL_ASSERT(false, "false", "Invalid fapRev:{}", fapRevision().revString());
    }
  }
  entry.cfgFheiMplsSwapRemarkMapIs(map);
  setEntry(hwShadowKey, entry);
}

}  // namespace bcm88490_a0
