#include <gtest/gtest.h>

#include "platform/hardware/FapRevision.h"

namespace {

using namespace Hardware;
using namespace Hardware::Sand;

TEST(FapTypeDeathTest, ChipTypeAbove36IsFatal) {
  EXPECT_DEATH(chipTypeToFapType(chipType(37)), "Unhandled chipType 37");
}

TEST(FapRevisionText, MinorZeroIsOmittedEveryKnownRevisionReadsBackAndNothingElseIsTaken) {
  EXPECT_EQ(bcm88490_a0Revision.revString(), "bcm88490_a0");
  EXPECT_EQ(FapRevision(FapRevMajor::FAPR_bcm88490_a0, FapRevMinor::FAPR__m1).revString(),
            "bcm88490_a0_m1");
  EXPECT_EQ(FapRevision(static_cast<FapRevMajor>(99)).revString(), "unknown");
  for (auto const& known : knownFapRevisions()) {
    FapRevision parsed;
    ASSERT_TRUE(fapRevisionFromString(known.revString(), parsed)) << known.revString();
    EXPECT_EQ(parsed, known);
  }
  FapRevision kept = bcm88490_a0Revision;
  // What a user may mistype, and the texts of revisions that are not real ones.
  for (auto const* text :
       {"", "bcm88490", "bcm88490_a", "bcm88490_a0 ", " bcm88490_a0", "BCM88490_A0",
        "FAPR_bcm88490_a0", "bcm88490_a0_m2", "_m1", "none", "unknown"}) {
    EXPECT_FALSE(fapRevisionFromString(text, kept)) << '"' << text << '"';
    EXPECT_EQ(kept, bcm88490_a0Revision) << "a refused text leaves the revision";
  }
  EXPECT_FALSE(fapRevisionFromString(std::string_view("bcm88490_a0\0x", 12), kept));
}

}  // namespace
