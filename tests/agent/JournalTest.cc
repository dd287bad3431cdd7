// The command journal: a replay of what an agent recorded gives the chip it left, faults
// and all; a file cut short anywhere is read to its last whole record and damage is
// never read as a record; a capped journal keeps its files and bytes; another version,
// or a file that is not a journal, is refused by name and left alone.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>

#include "agent/Journal.h"
#include "tests/agent/AgentTestSupport.h"

namespace {

using namespace AgentTest;
using HwAgent::JournalAnswer;

// The chip a journal's commands leave, each as the chip took it.
std::uint64_t replayedDigest(std::string const& path) {
  Sim::Chip chip;
  for (auto const& file : HwAgent::readJournal(path)) {
    for (auto const& record : file.records) {
      if (record.answer == JournalAnswer::done) chip.execute(*record.cmd);
      if (record.answer == JournalAnswer::partial && record.rowsWritten != 0) {
        auto cmd = *record.cmd;
        cmd.rowCount = record.rowsWritten;
        cmd.data.resize(std::size_t{cmd.entrySize} * cmd.rowCount);
        chip.execute(cmd);
      }
    }
  }
  return chip.digest();
}

std::uintmax_t sizeOf(std::string const& path) { return std::filesystem::file_size(path); }

TEST(Journal, AReplayGivesTheRecordedChipWithItsRefusedAndPartWrittenCommands) {
  TempDir dir;
  auto chip = Vorl::makePtr<Sim::Chip>();
  chip->faultPlanIs(Sim::FaultPlan::parse("refuse-rate=0.1,partial-rate=0.3,seed=2"));
  auto options = optionsFor(dir.file("stores"), "", false, {0, 1, 2, 3});
  options.journal = std::make_shared<HwAgent::JournalWriter>(dir.file("journal"));
  std::size_t failures = 0;
  std::size_t commands = 0;
  {
    HwAgent::Agent agent(options, HwAgent::inProcessChip(chip));
    auto download = agent.download();
    failures += download.failures().size();
    commands += download.commands();
    auto report = agent.reconcile();
    failures += report.failures().size();
    commands += report.total().commandsSent;
    ASSERT_TRUE(report.clean());
  }
  ASSERT_GT(failures, 0u);
  auto files = HwAgent::readJournal(dir.file("journal"));
  ASSERT_EQ(files.size(), 1u);
  auto const& records = files[0].records;
  EXPECT_TRUE(files[0].cutShort.empty()) << files[0].cutShort;
  EXPECT_EQ(records.size(), commands);
  std::size_t notDone = 0;
  for (auto const& record : records) {
    notDone += record.answer != JournalAnswer::done;
    EXPECT_FALSE(record.table.empty());
    EXPECT_FALSE(std::string(record.cmd->memberName).empty());
  }
  EXPECT_EQ(notDone, failures);
  EXPECT_EQ(replayedDigest(dir.file("journal")), chip->digest());
}

// A journal of three lists of two commands, the second of each partly written.
struct Recorded {
  std::string path;
};

Vorl::Ptr<Pelcar::SchanCmds> listOfTwo(U32 list) {
  auto cmds = Pelcar::schanCmdsFactory();
  for (U32 index = 0; index < 2; ++index) {
    auto cmd = Vorl::makePtr<Pelcar::SchanCmd>();
    cmd->kind = Pelcar::SchanCmdKind::memoryBulkWrite;
    cmd->fapmask.fapIdIs(Pelcar::FapId(list), true);
    cmd->memberName = "someMemory";
    cmd->entrySize = 4;
    cmd->rowCount = 3;
    cmd->row = index * 3;
    cmd->data.assign(12, static_cast<U8>(list * 2 + index + 1));
    cmds->cmdEnq(cmd);
  }
  return cmds;
}

Recorded recordSome(TempDir const& dir, std::uint64_t maxBytes = HwAgent::kJournalDefaultBytes) {
  Recorded recorded{dir.file("journal")};
  HwAgent::JournalWriter writer(recorded.path, maxBytes);
  for (U32 list = 0; list < 3; ++list) {
    auto cmds = listOfTwo(list);
    Sim::WriteOutcome outcome{2, {{1, Sim::FaultKind::partial, 2, "cut"}}};
    writer.record(cmds, "SomeTable", &outcome);
  }
  return recorded;
}

TEST(Journal, AFileCutShortAnywhereIsReadToItsLastWholeRecord) {
  TempDir dir;
  auto recorded = recordSome(dir);
  auto whole = E2e::readAll(recorded.path);
  auto all = HwAgent::readJournalFile(recorded.path);
  ASSERT_EQ(all.records.size(), 6u);
  EXPECT_EQ(all.records[1].answer, JournalAnswer::partial);
  EXPECT_EQ(all.records[1].rowsWritten, 2u);
  EXPECT_EQ(all.records[5].table, "SomeTable");
  EXPECT_EQ(all.records[5].cmd->data, std::vector<U8>(12, 6));

  // Every length from the header on: the records wholly inside it, and a note unless
  // the cut falls between records.
  std::vector<std::uintmax_t> ends;
  {
    std::uintmax_t at = HwAgent::kJournalHeaderBytes;
    for (std::size_t record = 0; record < 6; ++record) {
      at += 8 + (static_cast<std::uint8_t>(whole[at]) | static_cast<std::uint8_t>(whole[at + 1]) << 8);
      ends.push_back(at);
    }
  }
  ASSERT_EQ(ends.back(), whole.size());
  for (std::size_t length = HwAgent::kJournalHeaderBytes; length <= whole.size(); ++length) {
    E2e::writeAll(recorded.path, whole.substr(0, length));
    auto file = HwAgent::readJournalFile(recorded.path);
    std::size_t expected = 0;
    while (expected < ends.size() && ends[expected] <= length) ++expected;
    ASSERT_EQ(file.records.size(), expected) << "cut at " << length;
    bool between = length == HwAgent::kJournalHeaderBytes || std::ranges::count(ends, length) == 1;
    EXPECT_EQ(file.cutShort.empty(), between) << "cut at " << length << ": " << file.cutShort;
    EXPECT_FALSE(file.damaged) << "cut at " << length << ": " << file.cutShort;
  }
  E2e::writeAll(recorded.path, whole.substr(0, HwAgent::kJournalHeaderBytes - 1));
  EXPECT_THROW(HwAgent::readJournalFile(recorded.path), HwAgent::JournalError);
}

TEST(Journal, ADamagedByteEndsTheReadingAtItsRecordAndIsNeverReadAsOne) {
  TempDir dir;
  auto recorded = recordSome(dir);
  auto whole = E2e::readAll(recorded.path);
  for (std::size_t at = HwAgent::kJournalHeaderBytes; at < whole.size(); ++at) {
    auto damaged = whole;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x40);
    E2e::writeAll(recorded.path, damaged);
    auto file = HwAgent::readJournalFile(recorded.path);
    EXPECT_LT(file.records.size(), 6u) << "byte " << at;
    EXPECT_FALSE(file.cutShort.empty()) << "byte " << at;
    for (std::size_t index = 0; index < file.records.size(); ++index) {
      EXPECT_EQ(file.records[index].sequence, index + 1);
    }
  }
}

TEST(Journal, ACappedJournalKeepsItsFilesAndBytesThroughALongRun) {
  TempDir dir;
  auto path = dir.file("journal");
  auto options = optionsFor(dir.file("stores"), "", false, {0, 1});
  options.journal = std::make_shared<HwAgent::JournalWriter>(path, HwAgent::kJournalMinBytes);
  auto chip = Vorl::makePtr<Sim::Chip>();
  HwAgent::Agent agent(options, HwAgent::inProcessChip(chip));
  for (int round = 0; round < 40; ++round) {
    agent.download();
    for (unsigned number = 0; number < 6; ++number) {
      auto file = number == 0 ? path : fmt::format("{}.{}", path, number);
      if (number >= HwAgent::kJournalDefaultFiles) {
        ASSERT_FALSE(std::filesystem::exists(file)) << file;
      } else if (std::filesystem::exists(file)) {
        ASSERT_LE(sizeOf(file), HwAgent::kJournalMinBytes) << file;
      }
    }
  }
  EXPECT_GT(options.journal->rotations(), 10u);
  // What is kept reads as one stretch of the run, ending with its last command.
  auto files = HwAgent::readJournal(path);
  EXPECT_EQ(files.size(), HwAgent::kJournalDefaultFiles);
  EXPECT_GT(files.front().firstSequence, 1u);
  EXPECT_EQ(files.back().records.back().sequence, options.journal->recorded());
}

TEST(Journal, AnotherVersionOrAFileThatIsNoJournalIsRefusedByNameAndLeftAlone) {
  TempDir dir;
  auto recorded = recordSome(dir);
  auto whole = E2e::readAll(recorded.path);
  auto older = whole;
  older[8] = 0;  // version 0
  E2e::writeAll(recorded.path, older);
  try {
    HwAgent::readJournalFile(recorded.path);
    FAIL() << "version 0 was read";
  } catch (HwAgent::JournalError const& error) {
    EXPECT_NE(std::string(error.what()).find("version 0; this hwtables reads version 1"),
              std::string::npos)
        << error.what();
  }

  auto notes = dir.file("notes.txt");
  E2e::writeAll(notes, "my notes");
  EXPECT_THROW(HwAgent::JournalWriter writer(notes), HwAgent::JournalError);
  EXPECT_EQ(E2e::readAll(notes), "my notes");
  EXPECT_FALSE(std::filesystem::exists(notes + ".1"));
  EXPECT_THROW(HwAgent::JournalWriter(dir.file("small"), HwAgent::kJournalMinBytes - 1),
               HwAgent::JournalError);

  // An earlier run's journal is kept, as FILE.1, and is not read with the new run's.
  E2e::writeAll(recorded.path, whole);
  { HwAgent::JournalWriter again(recorded.path); }
  EXPECT_EQ(E2e::readAll(recorded.path + ".1"), whole);
  auto files = HwAgent::readJournal(recorded.path);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].records.empty());
}

// The file thread's failure (here: the file may not grow past the first list) is
// reported by the next flush and every later record, and nothing is written after the
// gap: the file holds the lists before it, whole.
TEST(Journal, AWriteThatFailsIsReportedAndNothingFollowsTheGap) {
  TempDir dir;
  auto path = dir.file("journal");
  auto child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{400, 400};  // the header and one list of two records (262 bytes)
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int status = 0;
    {
      HwAgent::JournalWriter writer(path);
      Sim::WriteOutcome outcome{2, {}};
      writer.record(listOfTwo(0), "SomeTable", &outcome);
      writer.flush();
      writer.record(listOfTwo(1), "SomeTable", &outcome);
      try {
        writer.flush();
        status |= 1;
      } catch (HwAgent::JournalError const& error) {
        if (std::string(error.what()).find("cannot write the journal") == std::string::npos) status |= 2;
      }
      try {
        writer.record(listOfTwo(2), "SomeTable", &outcome);
        status |= 4;
      } catch (HwAgent::JournalError const&) {
      }
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: flush reported success, 2: wrong message, 4: record after the failure";
  auto file = HwAgent::readJournalFile(path);
  ASSERT_EQ(file.records.size(), 2u);
  EXPECT_EQ(file.records[1].sequence, 2u);
}

}  // namespace
