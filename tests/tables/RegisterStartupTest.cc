#include <gtest/gtest.h>

#include "platform/asic/Assert.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using namespace bcm88490_a0;
using Hardware::Sand::FapRevision;
using Hardware::Sand::FapRevMajor;
using RegisterTest::bytesOf;

class RegisterStartup : public ::testing::Test {
 protected:
  template <class Table>
  std::vector<U8> startup(FapRevision revision = Hardware::Sand::bcm88490_a0Revision) {
    auto table = RegisterTest::makeTable<Table>(manager, revision);
    table->addShadow(0);
    return bytesOf(table->getEntry(0, 0));
  }

  Vorl::Ptr<Tessar::TableManager> manager = Vorl::makePtr<Tessar::TableManager>();
};

TEST_F(RegisterStartup, EachRegistersStartupContentsFollowTheFapTypeAndMajorRevision) {
  EXPECT_EQ(startup<IppVttSpecialLabelValuesHwReg>(),
            (std::vector<U8>{0xFF, 0xFF, 0xEF, 0xFF, 0xFF, 0x37, 0x00, 0x00}));
  EXPECT_EQ(
      startup<IppVttSpecialLabelsProfileHwReg>(),
      (std::vector<U8>{0x89, 0x9D, 0xD8, 0xB6, 0x6D, 0xCB, 0xB6, 0x6D, 0xDB, 0xB6, 0x6D, 0xDB}));
  EXPECT_EQ(startup<EtppPhpMapFwdCodeHwReg>(),
            (std::vector<U8>{0x12, 0xF4, 0xFF, 0x53, 0xF4, 0xFF, 0x00, 0x00}));
  // FAP type 3 (chip type 12).
  EXPECT_EQ(startup<EtppPhpMapFwdCodeHwReg>(FapRevision(FapRevMajor::FAPR_sim12_a0)),
            (std::vector<U8>{0x02, 0xF1, 0xFF, 0x43, 0xF1, 0xFF, 0x00, 0x00}));

  // The swap remark map: FAP type 4, major revisions 8 to 10, and 6 to 7.
  std::vector<U8> fapType4(32, 0);
  std::vector<U8> major8To10(32, 0);
  for (U8 step = 0; step < 7; ++step) {
    fapType4[6 + 2 * step] = static_cast<U8>(step + 1);
    major8To10[3 + step] = static_cast<U8>(step + 1);
  }
  EXPECT_EQ(startup<EtppCfgFheiMplsSwapRemarkMapHwReg>(), fapType4);
  EXPECT_EQ(startup<EtppCfgFheiMplsSwapRemarkMapHwReg>(FapRevision(FapRevMajor::FAPR_sim12_a0)),
            major8To10);
  EXPECT_EQ(startup<EtppCfgFheiMplsSwapRemarkMapHwReg>(FapRevision(FapRevMajor::FAPR_sim12_b0)),
            major8To10);
  std::vector<U8> major6To7{0x00, 0x80, 0x20, 0x06, 0x29, 0xE6};
  major6To7.resize(32, 0);
  EXPECT_EQ(startup<EtppCfgFheiMplsSwapRemarkMapHwReg>(FapRevision(FapRevMajor::FAPR_sim5_a0)),
            major6To7);
}

using RegisterStartupDeathTest = RegisterStartup;

TEST_F(RegisterStartupDeathTest, UnsupportedChipsAreFatalInBothModes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // FAP type 2 has no PHP map value; graceful mode does not soften it.
  EXPECT_DEATH(startup<EtppPhpMapFwdCodeHwReg>(FapRevision(FapRevMajor::FAPR_sim5_a0)),
               "Invalid fapRevision:sim5_a0");
  // FAP type 5, major revision 13: no swap remark map value.
  EXPECT_DEATH(startup<EtppCfgFheiMplsSwapRemarkMapHwReg>(FapRevision(FapRevMajor::FAPR_sim28_a0)),
               "Invalid fapRev:sim28_a0");
  EXPECT_DEATH(startup<EtppCfgFheiMplsSwapRemarkMapHwReg>(FapRevision(FapRevMajor::FAPR_sim40_a0)),
               "Unhandled chipType 40");
}

}  // namespace
