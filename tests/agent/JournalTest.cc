#include <gmock/gmock.h>
#include <sys/resource.h>

#include "agent/Journal.h"
#include "agent/JournalFormat.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/e2e/E2eTest.h"

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
  for (auto const& record : records) notDone += record.answer != JournalAnswer::done;
  EXPECT_EQ(notDone, failures);
  EXPECT_EQ(replayedDigest(dir.file("journal")), chip->digest());
}

Vorl::Ptr<Pelcar::SchanCmd> writeOf(U32 fap, U32 entrySize, std::vector<U8> data) {
  auto cmd = memoryWrite({fap}, 0, data, static_cast<U32>(data.size()) / entrySize);
  cmd->memberName = std::string("someMemory");
  return cmd;
}

Vorl::Ptr<Pelcar::SchanCmds> listOfTwo(U32 list, U32 rowsOf) {
  auto cmds = Pelcar::schanCmdsFactory();
  for (U32 index = 0; index < 2; ++index) {
    auto cmd = writeOf(list, 4, std::vector<U8>(16, static_cast<U8>(rowsOf * 2 + index + 1)));
    cmd->row = index * 4;
    cmds->cmdEnq(cmd);
  }
  return cmds;
}

// Three lists of two commands, the second of each partly written; the third list's
// rows are the first's: two repeats.
std::string recordSome(TempDir const& dir) {
  auto path = dir.file("journal");
  HwAgent::JournalWriter writer(path);
  for (U32 list = 0; list < 3; ++list) {
    auto cmds = listOfTwo(list, list % 2);
    Sim::WriteOutcome outcome{2, {{1, Sim::FaultKind::partial, 2, "cut"}}};
    writer.record(cmds, "SomeTable", &outcome);
  }
  return path;
}

TEST(Journal, AFileCutAnywhereReadsItsWholeRecordsAndADamagedByteStopsTheReadingAtItsRecord) {
  TempDir dir;
  auto path = recordSome(dir);
  auto whole = E2e::readAll(path);
  // The end of every record, and of every command among them.
  std::vector<std::uintmax_t> ends;
  std::vector<std::uintmax_t> commands;
  for (std::uintmax_t at = HwAgent::kJournalHeaderBytes; at + 8 <= whole.size();) {
    std::uint32_t length = 0;
    for (int byte = 3; byte >= 0; --byte) length = length << 8 | static_cast<std::uint8_t>(whole[at + byte]);
    bool command = whole[at + 8] == 0 || whole[at + 8] == 3;  // rows, or a repeat of earlier rows
    at += 8 + length;
    ends.push_back(at);
    if (command) commands.push_back(at);
  }
  ASSERT_EQ(commands.size(), 6u);
  ASSERT_EQ(ends.size(), 6u + 2 + 3);  // the two names, a FAP mask per list
  ASSERT_EQ(ends.back(), whole.size());
  for (std::size_t length = HwAgent::kJournalHeaderBytes; length <= whole.size(); ++length) {
    E2e::writeAll(path, whole.substr(0, length));
    auto file = HwAgent::readJournalFile(path);
    auto expected = static_cast<std::size_t>(std::ranges::count_if(commands, [&](auto end) { return end <= length; }));
    ASSERT_EQ(file.records.size(), expected) << "cut at " << length;
    bool between = length == HwAgent::kJournalHeaderBytes || std::ranges::count(ends, length) == 1;
    EXPECT_EQ(file.cutShort.empty(), between) << "cut at " << length << ": " << file.cutShort;
    EXPECT_FALSE(file.damaged) << "cut at " << length << ": " << file.cutShort;
  }
  for (std::size_t at = HwAgent::kJournalHeaderBytes; at < whole.size(); ++at) {
    auto damaged = whole;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x40);
    E2e::writeAll(path, damaged);
    auto file = HwAgent::readJournalFile(path);
    auto before = static_cast<std::size_t>(std::ranges::count_if(commands, [&](auto end) { return end <= at; }));
    EXPECT_EQ(file.records.size(), before) << "byte " << at;
    EXPECT_FALSE(file.cutShort.empty()) << "byte " << at;
  }
  E2e::writeAll(path, whole.substr(0, HwAgent::kJournalHeaderBytes - 1));
  EXPECT_THROW(HwAgent::readJournalFile(path), HwAgent::JournalError);
}

// A repeat refers only to a command read before it in its own file: one that refers to
// itself, a later command, or one before the file's first (checksums made good) is
// damage, as is a repeat in a file of version 2 (which has none: there the first
// repeat is); the commands before it are read.
TEST(Journal, ARepeatOfRowsTheFileHasNotGivenIsDamage) {
  TempDir dir;
  auto path = recordSome(dir);
  auto whole = E2e::readAll(path);
  auto last = whole.size() - HwAgent::JournalFormat::kRepeatBytes;  // the last command's payload
  ASSERT_EQ(whole[last], 3);
  auto forged = [&](std::uint64_t earlier, char version) {
    auto bytes = whole;
    bytes[8] = version;
    auto* payload = reinterpret_cast<std::uint8_t*>(bytes.data() + last);
    HwAgent::JournalFormat::put(payload + HwAgent::JournalFormat::kCommandFixedBytes, earlier, 8);
    HwAgent::JournalFormat::put(payload - 4, HwAgent::JournalFormat::crc32c(payload, HwAgent::JournalFormat::kRepeatBytes), 4);
    E2e::writeAll(path, bytes);
    return HwAgent::readJournalFile(path);
  };
  EXPECT_EQ(forged(1, 3).records.back().cmd->data, std::vector<U8>(16, 1));  // another earlier command
  for (auto [earlier, version] : {std::pair<std::uint64_t, char>{6, 3}, {7, 3}, {0, 3}, {2, 2}}) {
    auto file = forged(earlier, version);
    EXPECT_TRUE(file.damaged) << earlier << " in version " << int{version};
    EXPECT_EQ(file.records.size(), version == 2 ? 4u : 5u) << earlier << " in version " << int{version};
    EXPECT_NE(file.cutShort.find(version == 2 ? "an entry of kind 3" : "not in the file before it"), std::string::npos)
        << file.cutShort;
  }
}

// A list that sends the same command to FAP after FAP records it whole once and then
// copies of it, rows too short for a repeat included; each reads back with its own
// FAPs and answer, a partly written one with its rows. A copy of a command the file
// has not given before it is damage.
TEST(Journal, CommandsSentAgainToOtherFapsReadBackAsSentWithTheirOwnAnswers) {
  TempDir dir;
  auto path = dir.file("journal");
  auto cmds = Pelcar::schanCmdsFactory();
  for (U32 fap = 0; fap < 6; ++fap) cmds->cmdEnq(writeOf(fap, 4, std::vector<U8>(8, 7)));
  Sim::WriteOutcome outcome{6, {{2, Sim::FaultKind::refused, 0, "no"}, {4, Sim::FaultKind::partial, 1, "cut"}}};
  {
    HwAgent::JournalWriter writer(path);
    writer.record(cmds, "SomeTable", &outcome);
  }
  auto file = HwAgent::readJournalFile(path);
  ASSERT_EQ(file.records.size(), 6u);
  JournalAnswer const answers[] = {JournalAnswer::done,    JournalAnswer::done,    JournalAnswer::refused,
                                   JournalAnswer::done,    JournalAnswer::partial, JournalAnswer::done};
  auto sent = cmds->begin();
  for (auto const& record : file.records) {
    auto index = record.sequence - 1;
    EXPECT_EQ(record.cmd->toString(), (*sent++)->toString()) << index;
    EXPECT_EQ(std::tuple(record.answer, record.rowsWritten, record.timeNs, record.table),
              std::tuple(answers[index], index == 4 ? 1u : 0u, file.records[0].timeNs, std::string("SomeTable")));
  }
  auto whole = E2e::readAll(path);
  auto last = whole.size() - HwAgent::JournalFormat::kCopyBytes;  // the last command's payload
  ASSERT_EQ(whole[last], 4);
  for (std::uint32_t distance : {0u, 6u}) {
    auto bytes = whole;
    auto* payload = reinterpret_cast<std::uint8_t*>(bytes.data() + last);
    HwAgent::JournalFormat::put(payload + 12, distance, 4);
    HwAgent::JournalFormat::put(payload - 4, HwAgent::JournalFormat::crc32c(payload, HwAgent::JournalFormat::kCopyBytes), 4);
    E2e::writeAll(path, bytes);
    auto forged = HwAgent::readJournalFile(path);
    EXPECT_TRUE(forged.damaged) << distance;
    EXPECT_EQ(forged.records.size(), 5u) << distance;
  }
}

// Rows met again after thousands of others (the writer's index of them grows) and
// after megabytes of records (its buffer starts again and forgets them), each list's
// commands sent to one FAP and then again to another (copies, some across the start
// again), read back as they were sent, in one file.
TEST(Journal, RepeatsReadBackThroughAGrowingIndexAndAWrappingBuffer) {
  TempDir dir;
  auto path = dir.file("journal");
  constexpr U32 kLists = 40, kCommands = 500, kPatterns = 3000;  // command n writes pattern n % 3000
  auto pattern = [](U32 number) {
    std::vector<U8> rows(64);
    for (U32 at = 0; at < rows.size(); ++at) rows[at] = static_cast<U8>((number >> (8 * (at % 2))) + at);
    return rows;
  };
  {
    HwAgent::JournalWriter writer(path);
    for (U32 list = 0; list < kLists; ++list) {
      auto cmds = Pelcar::schanCmdsFactory();
      for (U32 fap : {list % 7, list % 7 + 1}) {
        for (U32 index = 0; index < kCommands; ++index) {
          auto cmd = writeOf(fap, 16, pattern((list * kCommands + index) % kPatterns));
          cmd->row = index * 4;
          cmds->cmdEnq(cmd);
        }
      }
      Sim::WriteOutcome outcome{2 * kCommands, {}};
      writer.record(cmds, "SomeTable", &outcome);
    }
  }
  auto file = HwAgent::readJournalFile(path);
  EXPECT_TRUE(file.cutShort.empty()) << file.cutShort;
  ASSERT_EQ(file.records.size(), 2 * kLists * kCommands);
  for (U32 number = 0; number < file.records.size(); ++number) {
    auto sent = number / (2 * kCommands) * kCommands + number % kCommands;
    ASSERT_EQ(file.records[number].cmd->data, pattern(sent % kPatterns)) << number;
  }
  namespace Format = HwAgent::JournalFormat;
  EXPECT_GT(sizeOf(path), 1u << 20) << "the writer's buffer started over";
  EXPECT_LT(sizeOf(path), 2 * kLists * kCommands * (Format::kRecordHeaderBytes + Format::kCommandFixedBytes + 64) / 2)
      << "rows met again are written as repeats, commands sent again as copies";
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

TEST(Journal, AnEarlierRunsJournalIsKeptAsideUnreadAndACapBelowTheMinimumIsRefused) {
  TempDir dir;
  auto path = recordSome(dir);
  auto whole = E2e::readAll(path);
  { HwAgent::JournalWriter again(path); }
  EXPECT_EQ(E2e::readAll(path + ".1"), whole);
  auto files = HwAgent::readJournal(path);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].records.empty());
  EXPECT_THROW(HwAgent::JournalWriter(dir.file("small"), HwAgent::kJournalMinBytes - 1),
               HwAgent::JournalError);
}

// A journal written on a machine with the CRC instruction must read on one without:
// both paths give CRC-32C at every length and alignment around the 8-byte steps.
TEST(Journal, TheChecksumIsCrc32cOnEveryPath) {
  auto const* check = reinterpret_cast<std::uint8_t const*>("123456789");
  EXPECT_EQ(HwAgent::JournalFormat::crc32cPortable(check, 9), 0xe3069283u);
  std::vector<std::uint8_t> data(80);
  for (std::size_t index = 0; index < data.size(); ++index) data[index] = static_cast<std::uint8_t>(index * 37 + 11);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t size = 0; offset + size <= data.size(); ++size) {
      ASSERT_EQ(HwAgent::JournalFormat::crc32c(data.data() + offset, size),
                HwAgent::JournalFormat::crc32cPortable(data.data() + offset, size))
          << offset << "+" << size;
    }
  }
  std::uint8_t words[16];
  HwAgent::JournalFormat::put(HwAgent::JournalFormat::put(words, 0x0123456789abcdefull, 8), 0xfedcba9876543210ull, 8);
  EXPECT_EQ(HwAgent::JournalFormat::crc32cOfWords(0x0123456789abcdefull, 0xfedcba9876543210ull),
            HwAgent::JournalFormat::crc32cPortable(words, sizeof words));
}

// Runs `body` in a child process (a file that may not grow is signalled there, not
// here) and returns its exit status; -1 when it did not exit.
int exitOfChild(std::function<int()> const& body) {
  auto child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    int status = 4;
    try {
      status = body();
    } catch (...) {
    }
    ::_exit(status);  // at once: what the child made is in the test's directory
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A write that fails (here: the file may not grow past the first list) is reported by
// the next flush and every later record, and nothing is written after the gap: the file
// holds the lists before it, whole. Whoever wrote it: the flush itself (a small list), or
// the file thread, woken when 32 KiB wait.
TEST(Journal, AWriteThatFailsIsReportedAndNothingFollowsTheGap) {
  for (std::size_t rowBytes : {16u, 40000u}) {
    TempDir dir;
    auto path = dir.file("journal");
    auto status = exitOfChild([&path, rowBytes] {
      rlimit limit{300, 300};  // the header and one list: two names, a FAP mask, two commands (275 bytes)
      ::setrlimit(RLIMIT_FSIZE, &limit);
      int status = 0;
      HwAgent::JournalWriter writer(path);
      Sim::WriteOutcome outcome{2, {}};
      writer.record(listOfTwo(0, 0), "SomeTable", &outcome);
      writer.flush();
      auto second = Pelcar::schanCmdsFactory();
      second->cmdEnq(writeOf(1, 4, std::vector<U8>(rowBytes, 7)));
      writer.record(second, "SomeTable", &outcome);
      try {
        writer.flush();
        status |= 1;
      } catch (HwAgent::JournalError const& error) {
        if (std::string(error.what()).find("cannot write the journal") == std::string::npos) status |= 2;
      }
      try {
        writer.record(listOfTwo(2, 2), "SomeTable", &outcome);
        status |= 4;
      } catch (HwAgent::JournalError const&) {
      }
      return status;
    });
    EXPECT_EQ(status, 0) << rowBytes << " bytes of rows; 1: flush reported success, 2: wrong message, 4: record after the failure";
    auto file = HwAgent::readJournalFile(path);
    ASSERT_EQ(file.records.size(), 2u);
    EXPECT_EQ(file.records[1].sequence, 2u);
  }
}

// A reconcile whose journal cannot be written fails, naming it, though it waits for
// the journal only at its end (the file may not grow past the download's lists).
TEST(Journal, AReconcileWhoseJournalCannotBeWrittenFails) {
  TempDir dir;
  auto status = exitOfChild([&dir] {
    auto chip = Vorl::makePtr<Sim::Chip>();
    chip->faultPlanIs(Sim::FaultPlan::parse("refuse-rate=0.3,seed=4"));
    auto options = optionsFor(dir.file("stores"), "", false, {0, 1});
    options.journal = std::make_shared<HwAgent::JournalWriter>(dir.file("journal"));
    HwAgent::Agent agent(options, HwAgent::inProcessChip(chip));
    agent.download();
    auto size = static_cast<rlim_t>(sizeOf(dir.file("journal")));
    rlimit limit{size, size};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      agent.reconcile();
      return 1;
    } catch (HwAgent::Error const& error) {
      std::string what = error.what();
      bool named = what.find("cannot write the journal") != std::string::npos &&
                   what.find("are not in the journal") != std::string::npos;
      return named ? 0 : 2;
    }
  });
  EXPECT_EQ(status, 0) << "1: the reconcile reported success, 2: wrong message, 4: failed elsewhere";
}

}  // namespace
