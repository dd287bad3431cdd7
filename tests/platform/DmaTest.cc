#include <gtest/gtest.h>

#include <set>

#include "platform/tessar/DmaCommands.h"
#include "platform/vorl/Exceptions.h"

namespace {

using Pool = DmaMemPoolManager::DmaMemPoolManager;
using Buffer = DmaMemPoolManager::DmaMemPoolBuffer;
using Tessar::BcmInstanceInfo;
using Tessar::BcmMemInfo;

TEST(DmaPool, BufferSizesOutsideOneToTheMaximumAreRefusedAndChangeNothing) {
  EXPECT_THROW(Pool(0), Vorl::RangeException);
  EXPECT_THROW(Pool(Pool::kMaxBufferBytes + 1), Vorl::RangeException);
  EXPECT_EQ(Pool(Pool::kMaxBufferBytes).bufferBytes(), Pool::kMaxBufferBytes);
  Pool pool(1);
  EXPECT_EQ(pool.buffer()->size(), 1u);
  auto held = pool.buffer();
  EXPECT_THROW(pool.bufferBytesIs(0), Vorl::RangeException);
  EXPECT_EQ(pool.bufferBytes(), 1u);
  EXPECT_NE(pool.buffer(), held) << "a buffer held is never handed out";
}

TEST(DmaPool, ABufferGoesToOneHolderAtATimeAndIsReusedOnceLetGo) {
  Pool pool(64);
  // Far more holders than the pool keeps for reuse: every one gets its own buffer.
  std::vector<Vorl::Ptr<Buffer>> held;
  std::set<Buffer const*> distinct;
  for (int count = 0; count < 40; ++count) {
    held.push_back(pool.buffer());
    distinct.insert(held.back().get());
  }
  EXPECT_EQ(distinct.size(), 40u);
  EXPECT_EQ(pool.buffersHandedOut(), 40u);

  auto const* first = held.front().get();
  held.front()->data()[0] = 0x5A;
  held.front() = nullptr;
  auto again = pool.buffer();
  EXPECT_EQ(again.get(), first) << "a buffer let go is handed out again";
  EXPECT_EQ(again->data()[0], 0x5A) << "as it is: its user writes what it sends";
  EXPECT_NE(pool.buffer(), again) << "never to a second holder";
  held.clear();
  again = nullptr;
  EXPECT_EQ(distinct.count(pool.buffer().get()), 1u) << "a kept one, once all are let go";
  EXPECT_EQ(pool.buffersKept(), 41u);
}

TEST(BulkWrite, RowsOutsideTheBufferOrTheMemoryAreRefusedAndNothingIsAppended) {
  BcmMemInfo memory{0, "ippaTest", 2, 2, 10, 10, 4};  // arrays 2..3, rows 10..19 of 4 bytes
  BcmInstanceInfo instance{0, 0, 38, false, 0x770000};
  auto buffer = Vorl::makePtr<Buffer>(40);
  struct Case {
    U8 array;
    U32 firstRow;
    U32 rows;
    U32 entrySize;
  };
  for (auto [array, firstRow, rows, entrySize] : std::vector<Case>{
           {2, 10, 11, 4},         // one row more than the buffer holds
           {2, 10, 1, 41},         // one row larger than the buffer
           {2, 10, 0, 4},          // no rows
           {2, 10, 1, 0},          // rows of no bytes
           {1, 10, 1, 4},          // the array before the first
           {4, 10, 1, 4},          // the array after the last
           {2, 9, 1, 4},           // the row before the first
           {2, 19, 2, 4},          // past the last row
           {2, 0xFFFFFFFF, 1, 4},  // a row whose end does not fit 32 bits
       }) {
    SCOPED_TRACE(testing::Message() << "array " << int(array) << " rows " << firstRow << "+" << rows
                                    << " of " << entrySize);
    Pelcar::SchanCmds into;
    EXPECT_THROW(Tessar::memoryWriteDmamemPoolBulkCmdAppend(
                     Pelcar::Fapmask::of({0}), Hardware::Sand::bcm88490_a0Revision, instance,
                     entrySize, memory, array, firstRow, rows, buffer, into),
                 Vorl::RangeException);
    EXPECT_TRUE(into.empty());
  }
  Pelcar::SchanCmds into;
  EXPECT_THROW(Tessar::memoryWriteDmamemPoolBulkCmdAppend(Pelcar::Fapmask::of({0}), {}, instance, 4,
                                                          memory, 2, 10, 1, nullptr, into),
               Vorl::RangeException)
      << "no buffer at all";
  EXPECT_EQ(buffer->references(), 1u) << "no refused command kept the buffer";
}

}  // namespace
