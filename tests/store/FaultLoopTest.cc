// Each file call (open, reserve, map, write) of each store operation fails in turn,
// call 1, then call 2 in a fresh store, until the operation no longer reaches it.
#include <functional>

#include "platform/sharedmem/FileFaults.h"
#include "platform/vorl/Exceptions.h"
#include "store/BrellShadow.h"
#include "store/StoreInspector.h"
#include "store/VanquoRing.h"
#include "tests/store/StoreTestSupport.h"

namespace FaultLoopTests {

namespace Faults = SharedMem::FileFaults;
using namespace StoreTest;
using Shadow = Brell::BrellShadow<Traits8>;

struct Store {
  TempDir root;
  std::unique_ptr<Writer8> writer;
  std::uint32_t keptFrom = 0;
  std::uint32_t keptTo = 0;

  void write(std::uint32_t count, std::uint32_t capacity = 1000) {
    writer = std::make_unique<Writer8>("loop", sized(capacity), root.path());
    ASSERT_TRUE(writer->initialize("test"));
    fill(*writer, 0, count);
    keptTo = count;
  }
};

struct Operation {
  char const* name;
  std::function<void(Store&)> setUp;
  std::function<bool(Store&)> run;
  // Whether its error carries the system's reason (a shadow's names the step only).
  bool saysWhy = true;
};

struct FaultKind {
  Faults::Operation call;
  int error;
};

FaultKind const kFaultKinds[] = {{Faults::Operation::open, EMFILE},
                                 {Faults::Operation::reserve, ENOSPC},
                                 {Faults::Operation::map, ENOMEM},
                                 {Faults::Operation::write, ENOSPC}};

void expectIntact(Store& store) {
  if (store.writer && store.writer->initialized()) {
    EXPECT_FALSE(store.writer->slotTable().criticalSection());
    EXPECT_TRUE(store.writer->validate());
    expectFilled(*store.writer, store.keptFrom, store.keptTo);
  }
  if (store.keptTo > 0) {
    auto report = Brell::StoreInspector(store.root.path()).check();
    EXPECT_TRUE(report.valid()) << report.result << ": " << report.reason;
  }
  for (auto const& file : std::filesystem::directory_iterator(store.root.path())) {
    EXPECT_EQ(file.path().filename().string().find(".new-"), std::string::npos)
        << "left behind: " << file.path();
  }
  store.writer.reset();
  Attached8 next("loop", sized(1000), store.root.path());
  expectFilled(next, store.keptFrom, store.keptTo);  // kept, not wiped
  EXPECT_TRUE(next.validate());
}

int failuresSoFar() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

void failEachCallInTurn(Operation const& operation, FaultKind kind, unsigned& callsFailed) {
  for (unsigned call = 0;; ++call) {
    SCOPED_TRACE(::testing::Message() << "call " << call + 1);
    Store store;
    int partsBefore = failuresSoFar();
    operation.setUp(store);
    if (failuresSoFar() > partsBefore) return;
    bool succeeded = false;
    std::string error;
    bool reached = false;
    {
      Faults::Scope scope;
      Faults::inject(kind.call, kind.error, call);
      try {
        succeeded = operation.run(store);
      } catch (Vorl::Exception const& failure) {
        error = failure.what();
      }
      reached = Faults::seen(kind.call) > call;
    }
    if (!reached) {
      EXPECT_TRUE(succeeded) << "failed without a fault: " << error;
      return;
    }
    ++callsFailed;
    if (!succeeded && !error.empty() && operation.saysWhy) {
      EXPECT_NE(error.find(std::strerror(kind.error)), std::string::npos)
          << "the error does not say why: " << error;
    }
    expectIntact(store);
    // One finding per operation and kind of call: the later calls would repeat it.
    if (failuresSoFar() > partsBefore || call > 200) return;
  }
}

Operation const kOperations[] = {
    {"create", [](Store&) {},
     [](Store& store) {
       store.writer = std::make_unique<Writer8>("loop", sized(1000), store.root.path());
       return store.writer->initialize("test");
     }},
    {"reattach",
     [](Store& store) {
       store.write(300);
       store.writer.reset();
     },
     [](Store& store) {
       Writer8 writer("loop", sized(1000), store.root.path());
       return writer.initialize("test");
     }},
    {"reader attach", [](Store& store) { store.write(300); },
     [](Store& store) {
       Reader8 reader("loop", store.root.path());
       if (!reader.initialize("test")) throw Vorl::Exception(reader.lastError());
       expectFilled(reader, 0, 300);
       return true;
     }},
    {"shadow attach", [](Store& store) { store.write(300); },
     [](Store& store) {
       Shadow shadow("loop", store.root.path(), {});
       if (!shadow.initialize("test")) throw Vorl::Exception(shadow.lastError());
       settle(shadow);
       expectFilled(shadow, 0, 300);
       return true;
     },
     false},
    {"growth", [](Store& store) { store.write(128, 100000); },
     [](Store& store) {
       std::uint32_t full = store.writer->capacity();
       fill(*store.writer, 128, full + 1);
       return store.writer->capacity() > full;
     }},
    {"bucket split", [](Store& store) { store.write(512, 2000); },
     [](Store& store) {
       std::uint32_t buckets = store.writer->buckets();
       fill(*store.writer, 512, 514);
       return store.writer->buckets() > buckets;
     }},
    {"compaction",
     [](Store& store) {
       store.write(1024, 1024);
       while (store.writer->members() > 256) store.writer->remove(store.keptFrom++, nullptr);
     },
     [](Store& store) {
       std::uint32_t capacity = store.writer->capacity();
       store.writer->remove(store.keptFrom++, nullptr);
       return store.writer->capacity() < capacity;
     }},
    {"check", [](Store& store) { store.write(300); },
     [](Store& store) {
       // A file that cannot be opened, mapped or read is no verdict on the store.
       auto report = Brell::StoreInspector(store.root.path()).check();
       if (report.result == "inaccessible") throw Vorl::Exception(report.reason);
       EXPECT_EQ(report.result, "ok") << report.reason;
       return true;
     }},
    {"ring renewal",
     [](Store& store) {
       store.write(300);
       store.writer.reset();
     },
     [](Store& store) {
       std::string path = store.root.file("notifications");
       auto ring = Vanquo::RingFile::create(path, 1024, SharedMem::PyrelId(7), {});
       Vanquo::RingFile opened;
       std::string reason;
       if (!opened.open(path, false, &reason)) throw Vorl::Exception(reason);
       return true;
     }},
};

TEST(StoreFaultLoop, EveryFileCallOfEveryOperationFailsInTurnAndNothingIsLost) {
  unsigned callsFailed = 0;
  for (auto const& operation : kOperations) {
    unsigned before = callsFailed;
    for (auto kind : kFaultKinds) {
      SCOPED_TRACE(::testing::Message() << operation.name << ", " << std::strerror(kind.error)
                                        << " on call kind " << static_cast<int>(kind.call));
      failEachCallInTurn(operation, kind, callsFailed);
    }
    EXPECT_GT(callsFailed, before) << operation.name << " made no file call through the seam";
  }
  std::printf("fault loop: %zu operations, %u calls failed in turn\n", std::size(kOperations),
              callsFailed);
}

}  // namespace FaultLoopTests
