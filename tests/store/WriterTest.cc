#include <gtest/gtest.h>

#include "store/BrellReader.h"
#include "store/BrellWriter.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using StoreTest::TempDir;
using Traits8 = StoreTest::TestTraits<8>;
using Value8 = Traits8::Value;

Brell::MapDescriptor sized(std::uint32_t size) {
  Brell::MapDescriptor descriptor;
  descriptor.maxSize = size;
  return descriptor;
}

TEST(WriterSmoke, WriteLookupRemove) {
  TempDir root;
  Brell::BrellWriter<Traits8> writer("smoke", sized(1000), root.path());
  ASSERT_TRUE(writer.initialize("test"));
  for (std::uint32_t key = 0; key < 500; ++key) writer.write(Value8::make(key, 1), true);
  EXPECT_EQ(writer.members(), 500u);
  for (std::uint32_t key = 0; key < 500; ++key) {
    bool found = false;
    auto const* value = writer.lookup(key, found, nullptr);
    ASSERT_TRUE(found);
    EXPECT_EQ(value->key, key);
  }
  EXPECT_TRUE(writer.validate());
  Brell::BrellReader<Traits8> reader("smoke", root.path());
  ASSERT_TRUE(reader.initialize("test")) << reader.lastError();
  for (std::uint32_t key = 0; key < 500; ++key) {
    bool found = false;
    Value8 buffer;
    reader.lookup(key, found, &buffer);
    ASSERT_TRUE(found) << key;
    EXPECT_EQ(buffer.key, key);
  }
  for (std::uint32_t key = 0; key < 500; ++key) EXPECT_TRUE(writer.remove(key, nullptr));
  EXPECT_EQ(writer.members(), 0u);
  EXPECT_TRUE(writer.validate());
}

}  // namespace
