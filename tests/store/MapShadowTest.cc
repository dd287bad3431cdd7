// A map mounted as a shadow reader: it attaches once a writer runs, hands the
// collection's callbacks to the shadow, and answers the map's queries and refusals
// (scratchpad, version anchors, owner, file validation).
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

#include "store/BrellMap.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using StoreTest::TempDir;
using Traits = StoreTest::TestTraits<8>;
using Value = Traits::Value;
using Map = Brell::BrellMap<Traits>;

Mem::CollectionDescriptor writerMount(std::string const& root) {
  Mem::CollectionDescriptor descriptor;
  descriptor.rootPath = root;
  descriptor.size = 1000;
  return descriptor;
}

Mem::CollectionDescriptor shadowMount(std::string const& root) {
  Mem::CollectionDescriptor descriptor;
  descriptor.mode = Mem::CollectionDescriptor::Mode::reader;
  descriptor.readerKind = Mem::CollectionDescriptor::ReaderKind::shadow;
  descriptor.rootPath = root;
  return descriptor;
}

TEST(MapShadow, ReaderMountOfKindShadowFollowsTheWriterAndReportsChanges) {
  TempDir root;
  Map writer("writer");
  writer.init(writerMount(root.path()));
  ASSERT_TRUE(writer.attach("test"));
  writer.write(Value::make(1, 1), true);
  EXPECT_EQ(writer.owner(), fmt::format("{}:notifications", ::getpid()));
  writer.scratchpadIs(42);
  EXPECT_EQ(writer.scratchpad(), 42u);

  Map reader("reader");
  reader.init(shadowMount(root.path()));
  std::set<std::uint32_t> changed;
  int mounts = 0;
  int attaches = 0;
  Mem::Notify<std::uint32_t, Value> notify;
  notify.keyChanged = [&](std::uint32_t key) { changed.insert(key); };
  notify.mountStatusChanged = [&] { ++mounts; };
  reader.notifyIs(notify);
  reader.readerAttachedIs([&] { ++attaches; });
  EXPECT_FALSE(reader.notifyingIs(true));  // not attached yet
  ASSERT_TRUE(reader.attach("test"));
  EXPECT_EQ(attaches, 1);
  EXPECT_EQ(reader.implementation().type(), Brell::StoreType::shadow);
  while (reader.processNotifications(std::chrono::milliseconds(0))) {
  }
  EXPECT_EQ(reader.mountStatus(), Brell::MountStatus::synced);
  EXPECT_EQ(mounts, 1);
  writer.write(Value::make(2, 1), true);
  while (reader.processNotifications(std::chrono::milliseconds(0))) {
  }
  EXPECT_EQ(changed, std::set<std::uint32_t>{2});
  bool found = false;
  reader.lookup(1, found, nullptr);
  EXPECT_TRUE(found);
  EXPECT_TRUE(reader.quiesced());
  EXPECT_TRUE(reader.notifyingIs(true));
  EXPECT_GT(reader.readerCounters().lookups + 1, 0u);
  EXPECT_EQ(writer.writerCounters().allocations, 2u);

  try {
    reader.scratchpadIs(1);
    ADD_FAILURE() << "a reader wrote the scratchpad";
  } catch (Vorl::NoPermissionException const& error) {
    EXPECT_STREQ(error.what(), "invalid attempt to write scratchpad as reader");
  }
  try {
    reader.getCacheVersionAnchor(1);
    ADD_FAILURE() << "accepted";
  } catch (Asic::GracefulAssertException const& error) {
    EXPECT_NE(std::string(error.what()).find("reader: called with unsupported slot variant"),
              std::string::npos);
  }
  EXPECT_THROW(writer.validateVersionAnchor(1, 0), Asic::GracefulAssertException);

  EXPECT_TRUE(reader.validateFiles(root.path(), writer.implementation().pyrelId()));
  EXPECT_FALSE(reader.validateFiles(root.path(), writer.implementation().pyrelId().wiped()));
  reader.controlDetach();
  EXPECT_EQ(reader.mountStatus(), Brell::MountStatus::unmounted);
  writer.detach(false);
  EXPECT_EQ(writer.owner(), "");
}

TEST(MapShadow, UnknownReaderKindIsRefused) {
  TempDir root;
  Map map("bad");
  auto descriptor = shadowMount(root.path());
  descriptor.readerKind = static_cast<Mem::CollectionDescriptor::ReaderKind>(7);
  try {
    map.init(descriptor);
    ADD_FAILURE() << "accepted";
  } catch (Vorl::InvalidInitializeException const& error) {
    EXPECT_STREQ(error.what(), "not a valid reader type:7");
  }
}

}  // namespace
