// Start-up contents of the PHP forwarding-code map: one value per FAP type. Only
// FAP types 3 and 4 have one; any other chip cannot run these tables.
#include "platform/asic/Assert.h"
#include "tables/EtppPhpMapFwdCodeHwReg.h"

namespace bcm88490_a0 {

void EtppPhpMapFwdCodeHwReg::userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) {
  static Vorl::TraceHandle& trace = Vorl::traceHandle("EtppFheiModelMapImpl");
  VORL_TRACE(trace, 2, "{} hwShadowKey: {}", __PRETTY_FUNCTION__, hwShadowKey.toString());
  Entry entry(EntryKey(0));
  auto fapType =
      Hardware::Sand::fapTypeValue(Hardware::Sand::chipTypeToFapType(fapRevision().chipType()));
  if (fapType == 4) {
    entry.phpMapFwdCodeIs(0xFFF453FFF412);
  } else if (fapType == 3) {
    entry.phpMapFwdCodeIs(0xFFF143FFF102);
  } else {
    ASIC_FATAL_ASSERT(false, "false", "Invalid fapRevision:{}", fapRevision().revString());
  }
  setEntry(hwShadowKey, entry);
}

}  // namespace bcm88490_a0
