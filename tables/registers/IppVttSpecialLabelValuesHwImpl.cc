// Start-up contents of the special label values register (IPPA and IPPF alike): both
// special label values are all ones (no label matches them) with profile 6.
#include "tables/IppVttSpecialLabelValuesHwReg.h"

namespace bcm88490_a0 {

void IppVttSpecialLabelValuesHwReg::userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) {
  static Vorl::TraceHandle& trace = Vorl::traceHandle("IppVttSpecialLabelValuesHw");
  VORL_TRACE(trace, 2, "{} hwShadowKey: {}", __PRETTY_FUNCTION__, hwShadowKey.toString());
  Entry entry(EntryKey(0));
  entry.vttSpecialLabelValue0Is(0xFFFFF);
  entry.vttSpecialLabelProfileValue0Is(6);
  entry.vttSpecialLabelValue1Is(0xFFFFF);
  entry.vttSpecialLabelProfileValue1Is(6);
  setEntry(hwShadowKey, entry);
}

}  // namespace bcm88490_a0
