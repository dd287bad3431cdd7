#include <set>

#include "store/BrellMap.h"
#include "store/TyvoBrellMap.h"
#include "tests/store/StoreTestSupport.h"

namespace MapShadowTests {

using StoreTest::TempDir;
using Traits = StoreTest::TestTraits<8>;
using Value = Traits::Value;
using Map = Brell::BrellMap<Traits>;
using Key = std::uint32_t;

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

// A map mounted as the writer of `root`, holding key 1.
std::unique_ptr<Map> writerOf(std::string const& root) {
  auto writer = std::make_unique<Map>("writer");
  writer->init(writerMount(root));
  EXPECT_TRUE(writer->attach("test"));
  writer->write(Value::make(1, 1), true);
  return writer;
}

template <class Exception>
auto throwsText(std::string const& text) {
  return ::testing::ThrowsMessage<Exception>(::testing::HasSubstr(text));
}

// An entity with one collection that records what the collection's callbacks say.
struct Collection {
  using Map = TyvoBrell::TyvoBrellMap<Collection, Value, Key, Traits>;

  void onKey(Key key) { keys.push_back(key); }
  void onMountStatus() { ++mountStatusChanges; }
  void onQuiesced(bool quiesced) { quiescence.push_back(quiesced); }

  std::vector<Key> keys;
  int mountStatusChanges = 0;
  std::vector<bool> quiescence;
  Map map{"entity", "entryColl",
          TyvoBrell::makeNotify<Key, Value>(
              this, [](Value const& value) { return value.key; }, &Collection::onKey,
              &Collection::onMountStatus, &Collection::onQuiesced)};
};

TEST(MapShadow, ShadowMountsOfAMapAndOfACollectionFollowTheWriterAndReportItsChangesAndAnUnknownKindIsRefused) {
  TempDir root;
  auto writer = writerOf(root.path());

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
  Collection collection;
  collection.map.init(shadowMount(root.path()));
  ASSERT_TRUE(collection.map.attach("test"));
  auto settleBoth = [&] {
    StoreTest::settle(reader);
    StoreTest::settle(collection.map);
  };
  settleBoth();
  EXPECT_EQ(reader.mountStatus(), Brell::MountStatus::synced);
  EXPECT_EQ(collection.map.mountStatus(), Brell::MountStatus::synced);
  EXPECT_EQ(mounts, 1);
  EXPECT_EQ(collection.mountStatusChanges, 1);
  EXPECT_TRUE(changed.empty() && collection.keys.empty()) << "reported the first synchronisation";

  // One change at a time: a shadow reports what the slot holds when it looks.
  writer->write(Value::make(2, 1), true);
  settleBoth();
  writer->write(Value::make(1, 2), true);
  settleBoth();
  writer->remove(2, nullptr);
  settleBoth();
  EXPECT_EQ(collection.keys, (std::vector<Key>{2, 1, 2}));
  EXPECT_EQ(changed, (std::set<std::uint32_t>{1, 2}));
  EXPECT_EQ(StoreTest::find(reader, 1), Value::make(1, 2));
  EXPECT_TRUE(reader.quiesced());
  EXPECT_TRUE(reader.notifyingIs(true));

  EXPECT_THAT([&] { reader.scratchpadIs(1); }, throwsText<Vorl::NoPermissionException>(
                                                   "invalid attempt to write scratchpad as reader"));
  EXPECT_TRUE(reader.validateFiles(root.path(), writer->implementation().pyrelId()));
  EXPECT_FALSE(reader.validateFiles(root.path(), writer->implementation().pyrelId().wiped()));
  reader.controlDetach();
  EXPECT_EQ(reader.mountStatus(), Brell::MountStatus::unmounted);
  collection.map.controlDetach();
  writer->detach(false);

  Map bad("bad");
  auto descriptor = shadowMount(root.path());
  descriptor.readerKind = static_cast<Mem::CollectionDescriptor::ReaderKind>(7);
  EXPECT_THAT([&] { bad.init(descriptor); },
              throwsText<Vorl::InvalidInitializeException>("not a valid reader type:7"));
}

TEST(Collection, ReHomingRenamesAnUnmountedCollectionKeepsAMountedOneAndOrphansWithoutParent) {
  TempDir root;
  Collection collection;
  EXPECT_EQ(collection.map.name(), "entity/entryColl");
  collection.map.write(Value::make(5, 1), true);  // in the local temporary writer

  collection.map.handleParent("moved");
  EXPECT_EQ(collection.map.name(), "moved/entryColl");
  EXPECT_EQ(collection.map.entityName(), "moved");
  EXPECT_TRUE(StoreTest::holds(collection.map, 5)) << "a rename keeps the entries";

  collection.map.init(writerMount(root.path()));
  ASSERT_TRUE(collection.map.attach("test"));
  collection.map.handleParent("elsewhere");
  EXPECT_EQ(collection.map.name(), "moved/entryColl") << "a mounted store stays where it is";

  // Asked about its files, the collection answers as the map.
  auto pyrelId = collection.map.implementation().pyrelId();
  EXPECT_TRUE(collection.map.validateFiles(root.path(), pyrelId));
  EXPECT_FALSE(collection.map.validateFiles(root.path(), pyrelId.wiped()));

  collection.map.write(Value::make(6, 1), true);
  collection.map.handleParent("");
  EXPECT_FALSE(collection.map.initialized());
  EXPECT_FALSE(StoreTest::holds(collection.map, 6)) << "an orphan starts a new local store";
}

}  // namespace MapShadowTests
