// The store report's texts from headers a damaged store may hold: the entry table
// is sized by what its rows print, never by an unchecked header field.

#include "tests/e2e/E2eTest.h"
#include "tools/hwtables/StoreReport.h"

namespace {

// The length of the longest line of `text`.
std::size_t longestLine(std::string const& text) {
  std::istringstream lines(text);
  std::size_t longest = 0;
  for (std::string line; std::getline(lines, line);) longest = std::max(longest, line.size());
  return longest;
}

// An invalid report of a store with 8-byte values keyed by their first 4 bytes,
// holding one walked entry, its header changed by `damage`.
template <typename Damage>
std::string reportText(Damage damage) {
  Brell::InspectionReport report;
  report.result = "invalid";
  report.reason = "bad header checksum:0x1";
  Brell::SlotHeader header;
  header.valueSize = 8;
  header.slotSize = 24;
  header.keySize = 4;
  header.keyLayout.fieldCount = 1;
  header.keyLayout.fields[0] = {0, 4};
  damage(header);
  EXPECT_NO_THROW(Tool::entryTableHead(header));
  report.slotHeader = header;
  Brell::ChainEntry entry;
  entry.value = {1, 2, 3, 4, 5, 6, 7, 8};
  report.entries.push_back(entry);
  return Tool::storeReportText("/store", report, true);
}

using Header = Brell::SlotHeader;

TEST(StoreReport, TheEntryTableOfADamagedHeaderStaysAsWideAsItsRows) {
  EXPECT_NE(reportText([](Header&) {}).find("01020304  0102030405060708"), std::string::npos);
  for (auto text :
       {reportText([](Header& h) { h.keySize = 0x7FFFFFFF; }),
        reportText([](Header& h) { h.keySize = 200'000'000; }), reportText([](Header& h) {
          h.keyLayout.fields[0] = {250, 4};
        }),
        reportText([](Header& h) { h.keyLayout.fieldCount = 200; }),
        reportText([](Header& h) { h.valueSize = 0xFFFFFFF0; })}) {
    EXPECT_LT(longestLine(text), 8300u) << text.substr(0, 2000);
    EXPECT_NE(text.find("0102030405060708"), std::string::npos) << "the row is still printed";
  }
}

}  // namespace
