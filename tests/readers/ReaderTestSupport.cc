#include "tests/readers/ReaderTestSupport.h"

#include <cstdlib>

namespace ReaderTest {

BroughtUpChip::BroughtUpChip(std::vector<unsigned> faps) {
  char pattern[] = "/dev/shm/hwtables-reader-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a store root");
  root_ = pattern;
  for (auto fap : faps) faps_.fapIdIs(Pelcar::FapId(fap), true);
  auto& context = Tessar::HwTableHolderContext::singleton();
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  manager_ = Vorl::makePtr<Tessar::TableManager>();
  manager_->entityManagerIs(Vorl::makePtr<Ordex::EntityManager>(root_));
  manager_->dmaMemPoolManagerIs(Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(256));
  for (auto const* info : bcm88490_a0::tableCatalogue()) {
    Tessar::HwTableKey key{std::string(info->className), Hardware::Sand::bcm88490_a0Revision};
    auto table = Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(
        context.hwTableFactory(key)(key.fapRevision, manager_, nullptr));
    manager_->tableCollIs(key, table);
    for (auto fap : faps) table->addShadow(Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));
    chip.execute(table->download("4", faps_));
  }
}

BroughtUpChip::~BroughtUpChip() {
  manager_->tableCollDelAll();
  manager_ = nullptr;
  std::filesystem::remove_all(root_);
}

}  // namespace ReaderTest
