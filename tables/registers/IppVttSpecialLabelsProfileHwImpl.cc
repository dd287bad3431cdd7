// Start-up contents of the special labels profile register (IPPA and IPPF alike):
// the profile of each reserved label value 0..15, below and at the bottom of stack.
// Labels 0 and 2 get profile 1 in both positions; label 7 gets 2 below the bottom
// and 6 at it; every other label gets 6 in both.
#include "tables/IppVttSpecialLabelsProfileHwReg.h"

namespace bcm88490_a0 {

void IppVttSpecialLabelsProfileHwReg::userInitHwTable(Tessar::HwShadowKey const& hwShadowKey) {
  static Vorl::TraceHandle& trace = Vorl::traceHandle("IppVttSpecialLabelsProfileHw");
  VORL_TRACE(trace, 2, "{} hwShadowKey: {}", __PRETTY_FUNCTION__, hwShadowKey.toString());
  Entry entry(EntryKey(0));
  for (U32 label = 0; label < 16; ++label) {
    U3 bos0Profile = 6;
    U3 bos1Profile = 6;
    if (label == 0 || label == 2) {
      bos0Profile = 1;
      bos1Profile = 1;
    } else if (label == 7) {
      bos0Profile = 2;
    }
    entry.bos0LabelProfileIs(label, bos0Profile);
    entry.bos1LabelProfileIs(label, bos1Profile);
  }
  setEntry(hwShadowKey, entry);
}

}  // namespace bcm88490_a0
