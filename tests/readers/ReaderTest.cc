#include <gmock/gmock.h>

#include "framework/PluginHwReaderTable.h"
#include "tests/readers/ReaderTestSupport.h"
#include "tests/tables/RegisterTestSupport.h"

namespace {

using namespace bcm88490_a0;
using ReaderTest::bulkOf;
using ReaderTest::makeReader;
using ReaderTest::regReply;
using Tessar::HwReadRequestType;
using Tessar::HwShadowKey;

using LabelValuesReader = HwTableIppVttSpecialLabelValuesHwRegReader;
using TerminationReader = HwTableIppaTerminationProfileTableHwDirectReader;

Vorl::Ptr<Tessar::HwReadRequestParameterBase const> request(HwShadowKey key,
                                                            HwReadRequestType type) {
  return Vorl::makePtr<Tessar::HwReadRequestParameterBase>(key, type);
}

std::vector<U32> fapsOf(Pelcar::SchanCmds const& cmds) {
  std::vector<U32> faps;
  for (auto const& cmd : cmds) {
    for (auto id : cmd->fapmask.fapIds()) faps.push_back(id.value);
  }
  return faps;
}

TEST(ReaderDispatch, EachFamilyServesItsRequestTypesAndRefusesTheOthersOrAnArrayItLacks) {
  auto container = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  auto registers = makeReader<LabelValuesReader>();
  auto memories = makeReader<TerminationReader>();
  HwShadowKey fap0 = HwShadowKey::of(0, 0);
  struct Case {
    Tessar::HwTableReaderBase* reader;
    Vorl::Ptr<Tessar::HwReadRequestParameterBase const> request;
    std::string firstCommand;  // its text's start; empty: no command
    std::string trace;  // the case, in the words the reader traces it with
  };
  for (auto const& [reader, asked, firstCommand, trace] : std::vector<Case>{
           {registers.get(), request(fap0, HwReadRequestType::fullTableRead),
            "registerRead ippaVttSpecialLabelValues faps={0}", " Processing Register Read Request"},
           {registers.get(), Vorl::makePtr<Tessar::HwEntryIndexReadRequest>(fap0, 0), "registerRead",
            " Processing Register Entry Read Request for index: 0"},
           {registers.get(), Vorl::makePtr<Tessar::HwTableArrayIndexRead>(fap0, 0), "",
            "Invalid request type: arrayIndexRead not handled"},
           {memories.get(), request(fap0, HwReadRequestType::fullTableRead), "memoryBulkRead",
            " Processing Direct Table Read Request"},  // 8 rows of 4 bytes: one 1024-byte buffer
           {memories.get(), Vorl::makePtr<Tessar::HwEntryIndexReadRequest>(fap0, 3), "",
            " request: entryIndexRead not implemented yet"}}) {
    SCOPED_TRACE(trace);
    auto cmds = reader->tableReadSchanCmds(asked, container);
    ASSERT_TRUE(cmds);
    ASSERT_EQ(cmds->size(), firstCommand.empty() ? 0u : 1u);
    if (!cmds->empty()) {
      EXPECT_TRUE((*cmds->begin())->toString().starts_with(firstCommand));
    }
  }
  for (auto* reader :
       std::initializer_list<Tessar::HwTableReaderBase*>{registers.get(), memories.get()}) {
    auto unknown = reader->tableReadSchanCmds(request(fap0, HwReadRequestType{7}), container);
    ASSERT_TRUE(unknown);
    EXPECT_TRUE(unknown->empty());
  }
  EXPECT_TRUE(container->results().empty()) << "building commands stores nothing";

  // An array request reads one array; an array the memory lacks is refused.
  auto reader = makeReader<HwTableIppaBsplProfileTblHwDirectReader>();
  auto cmds = reader->tableReadSchanCmds(
      Vorl::makePtr<Tessar::HwTableArrayIndexRead>(HwShadowKey::of(1, 0), 3), container);
  ASSERT_EQ(cmds->size(), 1u);
  EXPECT_EQ((*cmds->begin())->arrayIndex, 3);
  EXPECT_EQ((*cmds->begin())->rowCount, 32u);
  EXPECT_THROW(
      reader->tableReadSchanCmds(
          Vorl::makePtr<Tessar::HwTableArrayIndexRead>(HwShadowKey::of(1, 0), 1), container),
      Vorl::RangeException);
}

TEST(ReaderFapSelection, Fap128ReadsTheWholeMaskAndASingleFapOnlyItselfIfTheReaderMayReadIt) {
  auto reader = makeReader<TerminationReader>(Pelcar::Fapmask::of({0, 2, 3}));
  auto container = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  auto readFap = [&](U8 fap) {
    return fapsOf(*reader->tableReadSchanCmds(
        request(HwShadowKey::of(fap, 0), HwReadRequestType::fullTableRead), container));
  };
  EXPECT_EQ(readFap(128), (std::vector<U32>{0, 2, 3}));
  EXPECT_EQ(readFap(3), (std::vector<U32>{3}));
  EXPECT_TRUE(readFap(1).empty()) << "FAP 1 is outside the reader's mask";
}

TEST(RegisterDecoding, RepliesBecomeEntriesByteForByteAndAllZeroRepliesLeaveAnEmptyResult) {
  auto reader = makeReader<LabelValuesReader>();
  auto container = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  using Result = LabelValuesReader::HwInstanceReadResult;

  reader->processReadComplete(regReply(container, 1, 0, {0, 0, 0, 0, 0, 0, 0, 0}));
  auto result = Vorl::ptrCast<Result>(container->perInstanceReadResult(HwShadowKey::of(1, 0)));
  ASSERT_TRUE(result) << "a completion always leaves a result for its shadow key";
  EXPECT_TRUE(result->entries().empty());

  // Bytes beyond the register's eight are not part of it.
  reader->processReadComplete(regReply(container, 1, 0, {0x01, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
  ASSERT_TRUE(result->entry(0));
  EXPECT_EQ(result->entry(0)->vttSpecialLabelValue0(), 1u);
  EXPECT_EQ(result->entry(0)->dataBytes()[7], 0);

  // Index 1 is the key's null: accepted. Index 2 is refused and the result stays.
  reader->processReadComplete(regReply(container, 1, 1, {0, 0, 0, 0, 0, 0, 0, 0x80}));
  EXPECT_TRUE(result->entry(1));
  auto refused = regReply(container, 1, 2, {1, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_THROW(reader->processReadComplete(refused), Vorl::RangeException);
  EXPECT_EQ(result->entries().size(), 2u);

  // The last byte of the 32-byte swap remark map alone makes an entry.
  auto swap = makeReader<HwTableEtppCfgFheiMplsSwapRemarkMapHwRegReader>();
  std::vector<U8> reply(32, 0);
  reply[31] = 0x40;
  swap->processReadComplete(regReply(container, 0, 0, reply));
  auto swapResult =
      Vorl::ptrCast<HwTableEtppCfgFheiMplsSwapRemarkMapHwRegReader::HwInstanceReadResult>(
          container->perInstanceReadResult(HwShadowKey::of(0, 0)));
  ASSERT_TRUE(swapResult && swapResult->entry(0));
  EXPECT_EQ(swapResult->entry(0)->dataBytes()[31], 0x40);

  // A short reply is refused rather than read past its end.
  EXPECT_THROW(reader->processReadComplete(regReply(container, 1, 0, {1, 2, 3})),
               Vorl::RangeException);
  // Completions that are not register reads are ignored without a crash.
  reader->processReadComplete(nullptr);
  reader->processReadComplete(Vorl::makePtr<Pelcar::SchanCmd>());
  reader->processReadComplete(Vorl::makePtr<Tessar::GenericBulkReadCmdlet>());
}

TEST(MemoryDecoding, OnlyNonEmptyEntriesAreStoredUnderTheirBufferPositionsKeys) {
  using Result = TerminationReader::HwInstanceReadResult;
  using Entry = IppaTerminationProfileTableHwDirect::Entry;
  using Key = IppaTerminationProfileTableHwDirect::EntryKey;
  auto decode = Tessar::processReadDmaComplete<Result, Key, Entry, false>;
  auto container = Vorl::makePtr<Tessar::HwTableReadResultContainer>();

  std::vector<std::vector<U8>> rows(8, std::vector<U8>(4, 0));
  rows[2] = {0x16, 0, 0, 0};
  rows[5] = {0, 0, 0, 0x80};
  EXPECT_EQ(decode(bulkOf(0, 0, rows), container), 2);
  auto result = Vorl::ptrCast<Result>(container->perInstanceReadResult(HwShadowKey::of(0, 0)));
  ASSERT_TRUE(result);
  ASSERT_EQ(result->entries().size(), 2u);
  EXPECT_EQ(result->entry(2)->dataBytes()[0], 0x16);
  EXPECT_EQ(result->entry(5)->dataBytes()[3], 0x80);

  // A later completion replaces an entry read earlier; none at all leaves the result as is.
  EXPECT_EQ(decode(bulkOf(0, 5, {{0x01, 0, 0, 0}}), container), 1);
  EXPECT_EQ(result->entry(5)->dataBytes()[0], 0x01);
  EXPECT_EQ(result->entry(5)->dataBytes()[3], 0);
  EXPECT_EQ(decode(bulkOf(0, 0, {}, 4), container), 0);
  auto empty = Vorl::ptrCast<Result>(container->perInstanceReadResult(HwShadowKey::of(4, 0)));
  ASSERT_TRUE(empty && empty->entries().empty());

  // A description promising more than its buffer holds is refused.
  auto overlong = bulkOf(0, 0, {{1, 0, 0, 0}});
  overlong->numEntries = 2;
  EXPECT_THROW(decode(overlong, container), Vorl::RangeException);
}

TEST(MemoryDecoding, KeysOutOfRangeEndTheWalkKeepingWhatWasStoredButOnlyWhenTheEntryIsNotEmpty) {
  using Bspl = IppaBsplProfileTblHwDirect;
  using BsplResult = HwTableIppaBsplProfileTblHwDirectReader::HwInstanceReadResult;
  auto decodeBspl = Tessar::processReadDmaComplete<BsplResult, Bspl::EntryKey, Bspl::Entry, true>;
  auto container = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  EXPECT_EQ(decodeBspl(bulkOf(1, 0, {{0, 0, 0, 0}, {0, 0, 0, 0}}), container), 0)
      << "array 1 is outside 2..3, but empty entries are never checked";
  EXPECT_THAT([&] { decodeBspl(bulkOf(1, 0, {{0, 0, 0, 0}, {0, 1, 0, 0}}), container); },
              ::testing::ThrowsMessage<Vorl::RangeException>(
                  ::testing::HasSubstr("EntryKey::arrayIndex < ")));

  using Post = IppaPostMplsSpecialLabelAttributesTblHwDirect;
  using PostResult =
      HwTableIppaPostMplsSpecialLabelAttributesTblHwDirectReader::HwInstanceReadResult;
  auto decodePost = Tessar::processReadDmaComplete<PostResult, Post::EntryKey, Post::Entry, true>;
  std::vector<std::vector<U8>> rows(17, std::vector<U8>(8, 0x11));
  EXPECT_THAT([&] { decodePost(bulkOf(2, 0, rows, 1), container); },
              ::testing::ThrowsMessage<Vorl::RangeException>(
                  ::testing::HasSubstr("EntryKey::entryIndex < ")));
  auto post = Vorl::ptrCast<PostResult>(container->perInstanceReadResult(HwShadowKey::of(1, 0)));
  ASSERT_TRUE(post);
  EXPECT_EQ(post->entries().size(), 16u) << "the 16 entries before the bad one stay";

  // An entry index past 32 bits does not wrap around to a valid key.
  auto wrapping = bulkOf(2, 0xFFFFFFFF, {{0, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}}, 2);
  EXPECT_THROW(decodePost(wrapping, container), Vorl::RangeException);

  using Mpls = IppfMplsSpecialLabelAttributesTblHwDirect;
  using MplsResult = HwTableIppfMplsSpecialLabelAttributesTblHwDirectReader::HwInstanceReadResult;
  std::vector<U8> lastByteOnly(12, 0);
  lastByteOnly[11] = 0x04;
  EXPECT_EQ((Tessar::processReadDmaComplete<MplsResult, Mpls::EntryKey, Mpls::Entry, true>(
                bulkOf(1, 31, {lastByteOnly}, 3), container)),
            1);
}

}  // namespace
