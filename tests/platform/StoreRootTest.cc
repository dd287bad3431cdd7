// $HWTABLES_ROOT comes before all of this:
// FaultsRoots.TheRootIsMadeOnlyWhenItsParentExists.
#include <unistd.h>

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/ordex/EntityManager.h"
#include "platform/vorl/Exceptions.h"

namespace {

namespace fs = std::filesystem;
using Ordex::EntityManager;
using ::testing::AllOf;
using ::testing::HasSubstr;

class StoreRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hwtables-root-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    shared_ = base_ + "/hwtables";
  }
  void TearDown() override { fs::remove_all(base_); }

  // Another user than the one running the test: the directories this test makes
  // belong to someone else from that user's point of view.
  static uid_t other() { return geteuid() + 1; }
  std::string perUser(uid_t user) const { return shared_ + "-" + std::to_string(user); }

  std::string base_;
  std::string shared_;
};

TEST_F(StoreRoot, TheSharedRootServesItsOwnerOrAnyoneWhileFreeAndSendsOthersToTheirOwn) {
  auto free = EntityManager::chooseStoreRoot(shared_, other());
  EXPECT_EQ(free.path, shared_);
  EXPECT_EQ(free.note, "");
  fs::create_directory(shared_);
  auto own = EntityManager::chooseStoreRoot(shared_, geteuid());
  EXPECT_EQ(own.path, shared_);
  EXPECT_EQ(own.note, "");

  // Another user's shared root sends each user to their own, and says why.
  auto choice = EntityManager::chooseStoreRoot(shared_, other());
  EXPECT_EQ(choice.path, perUser(other()));
  EXPECT_THAT(choice.note, AllOf(HasSubstr(shared_ + " belongs to "),
                                 HasSubstr("(uid " + std::to_string(geteuid()) + ")"),
                                 HasSubstr("are in " + perUser(other()))));

  // A per-user root that someone else made first is refused, not used.
  fs::create_directory(perUser(other()));
  EXPECT_THAT([&] { EntityManager::chooseStoreRoot(shared_, other()); },
              ::testing::ThrowsMessage<Vorl::NoPermissionException>(
                  AllOf(HasSubstr(perUser(other()) + " belongs to "), HasSubstr("HWTABLES_ROOT"))));
}

TEST_F(StoreRoot, ALinkOrAFileInTheSharedRootsPlaceIsNeverFollowed) {
  fs::create_directory(base_ + "/target");
  fs::create_directory_symlink(base_ + "/target", shared_);
  auto linked = EntityManager::chooseStoreRoot(shared_, geteuid());
  EXPECT_EQ(linked.path, perUser(geteuid()));
  EXPECT_NE(linked.note.find("is a symbolic link"), std::string::npos) << linked.note;

  fs::remove(shared_);
  std::ofstream(shared_) << "a file";
  auto file = EntityManager::chooseStoreRoot(shared_, geteuid());
  EXPECT_EQ(file.path, perUser(geteuid()));
  EXPECT_NE(file.note.find("is not a directory"), std::string::npos) << file.note;
}

}  // namespace
