#include "tests/readers/ReaderTestSupport.h"

namespace ReaderTest {

BroughtUpChip::BroughtUpChip(std::vector<unsigned> faps)
    : root_("reader"), chip_(Vorl::makePtr<Sim::Chip>()), chip(*chip_) {
  HwAgent::Options options;
  options.faps.assign(faps.begin(), faps.end());
  options.storeRoot = root_.path();
  agent_ = std::make_unique<HwAgent::Agent>(options, HwAgent::inProcessChip(chip_));
  agent_->download();
}

Vorl::Ptr<Tessar::TableManager> BroughtUpChip::manager() const {
  return Vorl::Ptr<Tessar::TableManager>(&agent_->tableManager());
}

}  // namespace ReaderTest
