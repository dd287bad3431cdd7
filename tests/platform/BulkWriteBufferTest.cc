#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <string_view>
#include <vector>

#include "platform/dma/DmaMemPool.h"
#include "platform/pelcar/SchanCmd.h"
#include "platform/tessar/DmaCommands.h"
#include "platform/vorl/Exceptions.h"

namespace {

using DmaMemPoolManager::DmaMemPoolBuffer;
using Pelcar::SchanData;

std::vector<U8> counting(std::size_t count, U8 first = 1) {
  std::vector<U8> bytes(count);
  for (std::size_t index = 0; index < count; ++index) bytes[index] = static_cast<U8>(first + index);
  return bytes;
}

TEST(SchanData, SharedBytesOutliveTheirPackerAndOwnBytesKeepTheirContentAcrossTheInlineBound) {
  auto buffer = Vorl::makePtr<DmaMemPoolBuffer>(64);
  for (U32 index = 0; index < 64; ++index) buffer->data()[index] = static_cast<U8>(index);
  auto first = SchanData::shared(buffer, buffer->data(), 40);
  auto second = first;  // a second instance's command: the same bytes, still shared
  EXPECT_TRUE(second.isShared());
  EXPECT_EQ(second.data(), buffer->data()) << "reading never copies";
  EXPECT_EQ(buffer->references(), 3u);
  EXPECT_EQ(first, counting(40, 0));

  // Each kind of change gives the command bytes of its own first.
  first[0] = 0xAA;
  second.push_back(0xBB);
  EXPECT_FALSE(first.isShared());
  EXPECT_FALSE(second.isShared());
  EXPECT_EQ(buffer->references(), 1u);
  EXPECT_EQ(buffer->data()[0], 0);
  auto changedFirst = counting(40, 0);
  changedFirst[0] = 0xAA;
  EXPECT_EQ(first, changedFirst);
  EXPECT_EQ(second.size(), 41u);
  EXPECT_EQ(second[40], 0xBB);

  // The packer may let go first: the commands keep the buffer.
  auto kept = SchanData::shared(buffer, buffer->data(), 8);
  buffer = nullptr;
  EXPECT_EQ(kept, counting(8, 0));

  // Own bytes: 32 fit in the command; one more moves them to the heap and back is kept.
  SchanData data = counting(32);
  data.push_back(33);
  EXPECT_EQ(data, counting(33));
  data.resize(4);
  EXPECT_EQ(data, counting(4));
  data.resize(6, 0xEE);
  EXPECT_EQ(data, (std::vector<U8>{1, 2, 3, 4, 0xEE, 0xEE}));

  // Assigning a part of its own bytes, inline and on the heap.
  data.assign(data.begin() + 1, data.end());
  EXPECT_EQ(data, (std::vector<U8>{2, 3, 4, 0xEE, 0xEE}));
  data = counting(100);
  data.assign(data.begin() + 50, data.end());
  EXPECT_EQ(data, counting(50, 51));
  data.assign(data.begin() + 20, data.end());
  EXPECT_EQ(data, counting(30, 71));
}

TEST(MemberName, CopiesShareTheTextAndRenamingOneLeavesTheOthers) {
  Pelcar::MemberName name("ippaVttSpecialLabelValues");
  auto copy = name;
  EXPECT_EQ(std::string_view(copy).data(), std::string_view(name).data()) << "not copied";
  EXPECT_EQ(copy, "ippaVttSpecialLabelValues");

  // A command renamed (a replayed record names its member) takes a text of its own.
  copy = std::string("etppcPhpMapFwdCode");
  EXPECT_EQ(name, "ippaVttSpecialLabelValues");
  EXPECT_EQ(copy.view(), "etppcPhpMapFwdCode");
  EXPECT_FALSE(copy == name);
}

// Commands dropped by the thousand, beyond what a thread keeps, some on another
// thread than the one that made them: every new command starts blank, and holds its
// own fields until it is dropped.
TEST(SchanCmdBlocks, ARecycledCommandStartsBlankAndThreadsMayDropEachOthers) {
  auto make = [](U32 count, U32 tag) {
    std::vector<Vorl::Ptr<Pelcar::SchanCmd>> cmds;
    for (U32 index = 0; index < count; ++index) {
      auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
      EXPECT_TRUE(cmd->memberName.empty() && cmd->data.empty() && cmd->row == 0);
      cmd->memberName = std::string("aMemoryNameLongerThanAShortString");
      cmd->row = tag + index;
      cmd->data = std::vector<U8>(40, static_cast<U8>(index));
      cmds.push_back(std::move(cmd));
    }
    return cmds;
  };
  auto count = static_cast<U32>(Pelcar::SchanCmd::kKeptCommandBlocks + 100);
  for (U32 round = 0; round < 3; ++round) {
    auto mine = make(count, 0);
    std::vector<Vorl::Ptr<Pelcar::SchanCmd>> theirs;
    std::thread other([&] {
      theirs = make(count, 1u << 20);
      mine.clear();  // dropped where they were not made
    });
    other.join();
    for (U32 index = 0; index < count; ++index) {
      ASSERT_EQ(theirs[index]->row, (1u << 20) + index);
      ASSERT_EQ(theirs[index]->data, std::vector<U8>(40, static_cast<U8>(index)));
    }
  }
}

TEST(BulkWriteBuffer, EachCommandKeepsItsOwnPoolBufferAndThePoolKeepsNoMoreThanItsBound) {
  DmaMemPoolManager::DmaMemPoolManager pool(256);
  Tessar::BcmMemInfo memory(Tessar::MemoryId(1), "someMemory", 0, 1, 0, 1000, 4);
  Tessar::BcmInstanceInfo instance(Tessar::InstanceId(0), 0, 38, false, 0x770000);
  auto mask = Pelcar::Fapmask::of({0});
  auto download = [&] {
    Pelcar::SchanCmds cmds;
    for (U32 index = 0; index < 20; ++index) {
      auto buffer = pool.buffer();
      std::fill(buffer->data(), buffer->data() + 8, static_cast<U8>(index));
      Tessar::memoryWriteDmamemPoolBulkCmdAppend(mask, {}, instance, 4, memory, 0, index * 2, 2,
                                                 buffer, cmds);
    }
    return cmds;
  };

  auto first = download();
  // Every command still holds its own buffer with its own rows, and the member's one name.
  for (U32 index = 0; index < 20; ++index) {
    auto const& cmd = **std::next(first.begin(), index);
    EXPECT_TRUE(cmd.data.isShared());
    EXPECT_EQ(cmd.data, std::vector<U8>(8, static_cast<U8>(index)));
    EXPECT_EQ(cmd.memberName.view().data(), memory.commandName.view().data());
  }
  EXPECT_EQ(pool.buffersKept(), 20u);

  // No buffer is refused, and none is kept beyond the pool's bound.
  DmaMemPoolManager::DmaMemPoolManager large(DmaMemPoolManager::DmaMemPoolManager::kKeptBytes / 2);
  std::vector<Vorl::Ptr<DmaMemPoolBuffer>> held;
  for (int index = 0; index < 3; ++index) held.push_back(large.buffer());
  EXPECT_EQ(large.buffersKept(), 2u);
  EXPECT_EQ(held[2]->size(), large.bufferBytes());
}

}  // namespace
