#include "tests/readers/ReaderTestSupport.h"

#include <cstdlib>

namespace ReaderTest {
namespace {

std::string newRoot() {
  char pattern[] = "/dev/shm/hwtables-reader-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a store root");
  return pattern;
}

}  // namespace

BroughtUpChip::BroughtUpChip(std::vector<unsigned> faps)
    : root_(newRoot()), chip_(Vorl::makePtr<Sim::Chip>()), chip(*chip_) {
  HwAgent::Options options;
  options.faps.assign(faps.begin(), faps.end());
  options.storeRoot = root_;
  try {
    agent_ = std::make_unique<HwAgent::Agent>(options, HwAgent::inProcessChip(chip_));
    agent_->download();
  } catch (...) {
    agent_.reset();
    std::filesystem::remove_all(root_);
    throw;
  }
}

BroughtUpChip::~BroughtUpChip() {
  agent_.reset();
  std::filesystem::remove_all(root_);
}

Vorl::Ptr<Tessar::TableManager> BroughtUpChip::manager() const {
  return Vorl::Ptr<Tessar::TableManager>(&agent_->tableManager());
}

}  // namespace ReaderTest
