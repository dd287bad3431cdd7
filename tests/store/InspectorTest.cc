// Type-erased inspection of a store's files, as the tool's check and dump use it.
#include <gtest/gtest.h>

#include "store/BrellWriter.h"
#include "store/RawValue.h"
#include "store/StoreInspector.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using StoreTest::TempDir;
using Traits = Brell::RawValueTraits<12>;

TEST(StoreInspector, ChecksAndDumpsAStoreWithoutItsValueType) {
  TempDir root;
  Brell::MapDescriptor descriptor;
  descriptor.maxSize = 1000;
  Brell::BrellWriter<Traits> writer("inspect", descriptor, root.path());
  ASSERT_TRUE(writer.initialize("test"));
  for (std::uint32_t key = 0; key < 50; ++key) {
    Brell::RawValue<12> value;
    value.key = key;
    value.payload.fill(static_cast<unsigned char>(key));
    writer.write(value, true);
  }
  for (std::uint32_t key = 0; key < 50; key += 5) writer.remove(key, nullptr);

  auto report = Brell::StoreInspector(root.path()).dump();
  ASSERT_TRUE(report.valid()) << report.reason;
  EXPECT_EQ(report.slotHeader->typeName, "Brell::RawValue<12>");
  EXPECT_EQ(report.slotHeader->valueSize, 12u);
  EXPECT_EQ(report.slotHeader->slotSize, 32u);
  EXPECT_EQ(report.slotHeader->pyrelId, writer.pyrelId().value());
  EXPECT_EQ(report.bucketHeader->count.value, writer.buckets());
  EXPECT_EQ(report.occupied, 40u);
  EXPECT_EQ(report.occupied + report.freeSlots, writer.capacity());
  ASSERT_EQ(report.entries.size(), 40u);
  std::uint32_t previous = 0;
  for (auto const& entry : report.entries) {
    EXPECT_GE(entry.rhash, previous);
    previous = entry.rhash;
    auto key = Brell::StoreInspector::keyBytes(*report.slotHeader, entry);
    ASSERT_EQ(key.size(), 4u);
    std::uint32_t number;
    std::memcpy(&number, key.data(), 4);
    EXPECT_NE(number % 5, 0u);
    EXPECT_EQ(entry.value[4], static_cast<unsigned char>(number));
    EXPECT_EQ(entry.rhash, Brell::reverseBits(writer.hashMap().hashOf(number)));
  }

  // Damage is reported, never acted on: the files are unchanged afterwards.
  auto slots = StoreTest::readFile(root.file("slots"));
  StoreTest::patchWord<std::uint32_t>(root.file("slots"), 564, 41);
  auto damaged = Brell::StoreInspector(root.path()).check();
  EXPECT_EQ(damaged.result, "invalid");
  EXPECT_NE(damaged.reason.find("wrong occupied count"), std::string::npos) << damaged.reason;
  slots[564] = 41;
  EXPECT_EQ(StoreTest::readFile(root.file("slots")), slots);

  EXPECT_EQ(Brell::StoreInspector(root.path() + "/absent").check().result, "missing");
}

}  // namespace
