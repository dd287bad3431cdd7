// `hwtables demo [--faps LIST] [--revision NAME] [--root DIR] [--dma-buffer BYTES]
// [--chip SOCKET] [--warm] [--json]`: the thirteen tables at work, end to end, on the
// simulated chip (in this process, or a chip process with --chip).
//
// The demo is a front-end of the agent layer (agent/Agent.h): an agent brings every
// table up through the factory registered for the revision, one shadow per FAP (a
// memory shadow's entries go to its shared-memory store below the store root),
// downloads every table to the chip (memories in DMA bulk writes of pool buffers) and
// the demo checks that the chip holds exactly what each shadow holds. Then the agent
// reads every table back through the table's registered reader and audits the chip
// against the shadows (with --flip-bits, after damaging the chip on purpose, so the
// audit has something to find). Last, a second process, this tool's `show`, maps
// every memory shadow's store read-only and must see exactly the shadow's entries.
//
// With --warm the demo then restarts: the agent stops (its stores keep their
// entries), --flip-bits damages the chip while no agent runs, and a second agent
// starts warm on the same root and chip, takes the stores over and reconciles: it
// must write exactly the rows that differ (none without flips) and leave the chip
// matching its shadows.
// Exit status 0 only when every check holds. The agent detaches from its stores at
// the end; they keep their entries for a successor.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>

#include "agent/Agent.h"
#include "platform/sim/SimChip.h"
#include "store/StoreFiles.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/BringUpOptions.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/DemoReport.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/Resources.h"
#include "tools/hwtables/SelfProcess.h"
#include "tools/hwtables/StopSignals.h"
#include "tools/hwtables/StoreReport.h"

namespace Tool {
namespace DemoCommand {
namespace {

struct Options {
  BringUpArguments bringUp;
  bool json = false;
  bool hold = false;
  U32 flipBits = 0;
  std::optional<std::uint64_t> seed;
};

// Keeps the shadows' stores until SIGINT or SIGTERM, so that `show` and `watch` in
// another terminal can read them. It takes no commands: an agent that changes its
// tables is `hwtables agent`.
void holdUntilInterrupted(bool json) {
  StopSignals signals;
  if (!json) {
    fmt::print(
        "\nHolding the shadows live in their stores for `hwtables show` and `hwtables watch` in\n"
        "another terminal; it takes no commands (`hwtables agent` changes tables). Ctrl-C "
        "ends.\n");
  }
  std::fflush(stdout);
  while (!StopSignals::requested()) ::usleep(50 * 1000);
}

// What the reader process must see of one shadow: "<key json>=<data hex>" per entry.
std::set<std::string> expectedEntries(Tessar::HwShadowBase const& shadow, bool singleIndex) {
  std::set<std::string> entries;
  for (auto const& entry : shadow.storedEntries()) {
    entries.insert(fmt::format("{}/{}={}", singleIndex ? 0 : entry.arrayIndex, entry.entryIndex,
                               Pelcar::hexBytes(entry.data.data(), entry.data.size())));
  }
  return entries;
}

// The shared memory the memory shadows' stores take: their files' space on the file
// system (a tmpfs holds whole pages), in all and per store.
struct SharedMemory {
  std::size_t stores = 0;
  std::uint64_t bytes = 0;

  std::uint64_t perStore() const { return stores == 0 ? 0 : bytes / stores; }
  std::string text(std::string const& root) const {
    return fmt::format("{} stores take {} of shared memory below {} ({} per store)", stores,
                       byteSize(bytes), root, byteSize(perStore()));
  }
  nlohmann::json json() const {
    return {{"stores", stores}, {"bytes", bytes}, {"bytesPerStore", perStore()}};
  }
};

SharedMemory sharedMemoryOf(std::vector<TableResult> const& results, std::string const& root,
                            std::string const& revisionText) {
  SharedMemory memory;
  for (auto const& result : results) {
    if (result.info->isRegister()) continue;
    for (auto const& [key, shadow] : result.shadows) {
      ++memory.stores;
      memory.bytes += Brell::allocatedBytes(
          Brell::fileSpace(memoryStoreDirectory(root, revisionText, result.fullName, key)));
    }
  }
  return memory;
}

// Runs `hwtables show all` as a second process and compares what it read from the
// stores with every memory shadow. Returns the reader's process id.
int confirmFromReaderProcess(std::vector<TableResult>& results, std::vector<U32> const& faps,
                             Hardware::Sand::FapRevision const& revision, std::string const& root) {
  std::string fapList;
  for (auto fap : faps) fapList += (fapList.empty() ? "" : ",") + std::to_string(fap);
  auto child = runSelf({"show", "all", "--faps", fapList, "--root", root, "--revision",
                        revision.revString(), "--json"});
  if (child.status != 0) {
    throw CheckFailed(fmt::format("the reader process failed (exit {}): {}", child.status,
                                  child.err.empty() ? child.out : child.err));
  }
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(child.out);
  } catch (nlohmann::json::exception const& error) {
    throw CheckFailed(fmt::format("the reader process printed no JSON: {}", error.what()));
  }
  std::map<std::pair<std::string, unsigned>, nlohmann::json> seen;
  for (auto const& shadow : document.at("shadows")) {
    seen[{shadow.at("table").get<std::string>(), shadow.at("fap").get<unsigned>()}] = shadow;
  }
  for (auto& result : results) {
    if (result.info->isRegister()) continue;
    bool singleIndex = result.info->key.form == Framework::KeyForm::singleIndex;
    for (auto const& [key, shadow] : result.shadows) {
      auto found = seen.find({std::string(result.info->className), key.fapId()});
      if (found == seen.end()) {
        result.readerMismatches.push_back(fmt::format("FAP {}: not read", key.fapId()));
        continue;
      }
      if (found->second.contains("problem")) {
        result.readerMismatches.push_back(
            fmt::format("FAP {}: {}", key.fapId(), found->second["problem"].get<std::string>()));
        continue;
      }
      std::set<std::string> read;
      for (auto const& entry : found->second.at("entries")) {
        read.insert(fmt::format("{}/{}={}", entry["key"]["arrayIndex"].get<unsigned>(),
                                entry["key"]["entryIndex"].get<unsigned>(),
                                entry["data"].get<std::string>()));
      }
      auto expected = expectedEntries(*shadow, singleIndex);
      if (read != expected) {
        result.readerMismatches.push_back(
            fmt::format("FAP {}: the reader saw {} entries, the shadow holds {}", key.fapId(),
                        read.size(), expected.size()));
      }
    }
  }
  return child.processId;
}

// The chip the demo's agents drive: the chip process, or `local` in this process,
// which both agents share as a chip keeps its cells across an agent's restart.
std::unique_ptr<HwAgent::ChipLink> linkTo(HwAgent::Options const& options,
                                          Vorl::Ptr<Sim::Chip> const& local) {
  if (options.chipSocket.empty()) return HwAgent::inProcessChip(local);
  return HwAgent::chipProcess(options.chipSocket, options.chipTimeout);
}

// The rows flips changed: those with a bit flipped an odd number of times.
std::size_t rowsChanged(std::vector<Sim::FlippedBit> const& flipped) {
  std::map<std::pair<Sim::CellAddress, U32>, unsigned> times;
  for (auto const& flip : flipped) ++times[{flip.cell, flip.bit}];
  std::set<Sim::CellAddress> changed;
  for (auto const& [where, count] : times) {
    if (count % 2 == 1) changed.insert(where.first);
  }
  return changed.size();
}

// What the first agent's checks found.
struct ColdRun {
  std::size_t failed = 0;       // tables that do not match the chip or the reader process
  std::size_t differences = 0;  // entries the read-back audit found differing
  std::size_t tables = 0;
};

// What the first agent's run found, for its report.
struct ColdRunFacts {
  std::vector<TableResult> results;
  Vorl::Ptr<Sim::Chip> chip;  // the chip's cells after the download (and the flips)
  std::vector<Sim::FlippedBit> flipped;
  std::size_t dmaBuffers = 0;
  int readerProcess = 0;
  SharedMemory sharedMemory;
  std::size_t failed = 0;
  std::size_t memories = 0;
  std::size_t entriesRead = 0;
  std::size_t differences = 0;
};

// Every table of the catalogue as the agent holds it, what its download sent and
// whether the chip holds exactly its shadows.
std::vector<TableResult> tableResults(HwAgent::Agent& agent,
                                      HwAgent::DownloadReport const& download,
                                      Sim::Chip const& chip) {
  std::vector<TableResult> results;
  for (auto const* info : tableCatalogue()) {
    auto table = agent.table(info->className);
    if (!table) throw CheckFailed(fmt::format("the agent holds no table {}", info->className));
    TableResult result;
    result.info = info;
    result.fullName = table->typeName();
    for (auto const& [shadowKey, shadow] : table->hwShadowColl()) {
      result.shadows.emplace_back(shadowKey, shadow);
    }
    for (auto const& each : download.tables) {
      if (each.table != info->className) continue;
      result.cmds = each.cmds;
      result.bulkWrites = each.bulkWrites;
      result.bulkRows = each.bulkRows;
    }
    result.check = Sim::verifyTable(chip, *table, agent.fapmask());
    results.push_back(std::move(result));
  }
  return results;
}

nlohmann::json coldRunJson(Options const& options, HwAgent::Agent& agent, std::uint64_t seed,
                           ColdRunFacts const& facts) {
  auto const& agentOptions = agent.options();
  nlohmann::json tables = nlohmann::json::array();
  for (auto const& result : facts.results) {
    tables.push_back(resultJson(result, *facts.chip, agentOptions.faps));
  }
  nlohmann::json document{{"revision", agentOptions.revision.revString()},
                          {"fapType", agent.fapType()},
                          {"faps", agentOptions.faps},
                          {"storeRoot", agent.storeRoot()},
                          {"dmaBufferBytes", agentOptions.dmaBufferBytes},
                          {"dmaBuffers", facts.dmaBuffers},
                          {"seed", options.flipBits != 0 ? nlohmann::json(seed) : nlohmann::json()},
                          {"readerProcess", facts.readerProcess},
                          {"tables", tables},
                          {"flippedBits", flippedJson(facts.flipped)},
                          {"readBackDifferences", facts.differences},
                          {"chipCommandsExecuted", agent.commandsSent()},
                          {"sharedMemory", facts.sharedMemory.json()},
                          {"ok", facts.failed == 0}};
  if (!agentOptions.chipSocket.empty()) document["chip"] = agent.bringUp().chip;
  return document;
}

void printColdRun(HwAgent::Agent& agent, std::uint64_t seed, ColdRunFacts const& facts) {
  auto const& agentOptions = agent.options();
  auto const& results = facts.results;
  fmt::print("Simulated chip{}, revision {} (FAP type {}), FAPs {}\n",
             agentOptions.chipSocket.empty() ? "" : " served by " + agent.bringUp().chip,
             agentOptions.revision.revString(), agent.fapType(), fapsText(agentOptions.faps));
  fmt::print("Memory shadows in shared-memory stores below {}; DMA buffers of {} bytes\n\n",
             agent.storeRoot(), agentOptions.dmaBufferBytes);
  printResults(results);
  if (!facts.flipped.empty()) {
    fmt::print("\nFlipped {} bits of the simulated chip after the download (seed {}):\n",
               facts.flipped.size(), seed);
    printFlipped(facts.flipped);
  }
  if (facts.differences != 0) {
    fmt::print("\nRead back, the chip differs from the shadows in {} entries:\n",
               facts.differences);
    for (auto const& result : results) {
      for (auto const& difference : result.audit.differences) {
        fmt::print("  {}\n", difference.toString());
      }
    }
  }
  printChipContents(*facts.chip, results, agentOptions.faps.front());
  if (facts.failed == 0) {
    fmt::print(
        "\n{} tables ({} registers, {} memories) programmed and verified on the simulated "
        "chip;\n{} DMA buffers carried the memories' rows. Every table was read back through "
        "its reader:\n{} entries read, 0 mismatches. A second process (pid {}) read every "
        "memory shadow\nfrom its store and saw exactly the shadow's entries.\n",
        results.size(), results.size() - facts.memories, facts.memories, facts.dmaBuffers,
        facts.entriesRead, facts.readerProcess);
  }
  fmt::print("\nShared memory: {}.\n", facts.sharedMemory.text(agent.storeRoot()));
}

// The first agent's run: download, checks, audit, the reader process; prints the
// text report (the JSON one goes to `document`).
ColdRun coldRun(Options const& options, HwAgent::Agent& agent, std::uint64_t seed, bool restart,
                nlohmann::json& document) {
  auto const& revision = agent.options().revision;
  auto const& root = agent.storeRoot();
  ColdRunFacts facts;
  auto download = agent.download();
  // The buffers that carried the download; the reads after it take more of the pool.
  facts.dmaBuffers = agent.dmaPool()->buffersHandedOut();
  facts.chip = agent.chip().contents();
  facts.results = tableResults(agent, download, *facts.chip);
  if (options.flipBits != 0 && !restart) {
    facts.flipped = agent.chip().flipBits(options.flipBits, seed);
    facts.chip = agent.chip().contents();
  }
  for (auto& audit : agent.audit()) {
    for (auto& result : facts.results) {
      if (result.info->className == audit.table) result.audit = std::move(audit);
    }
  }
  facts.readerProcess =
      confirmFromReaderProcess(facts.results, agent.options().faps, revision, root);
  facts.sharedMemory = sharedMemoryOf(facts.results, root, revision.revString());
  for (auto const& result : facts.results) {
    facts.failed += result.ok() ? 0 : 1;
    facts.memories += result.info->isRegister() ? 0 : 1;
    facts.entriesRead += result.audit.entriesRead;
    facts.differences += result.audit.differences.size();
  }
  if (options.json) {
    document = coldRunJson(options, agent, seed, facts);
  } else {
    printColdRun(agent, seed, facts);
  }
  return {facts.failed, facts.differences, facts.results.size()};
}

// The restart: bits flipped while no agent runs (--flip-bits), then a second agent
// warm on the same root and chip, which reconciles. Returns the new agent; `problem`
// says what did not hold (empty: every check held).
std::unique_ptr<HwAgent::Agent> restartRun(Options const& options, HwAgent::Options agentOptions,
                                           Vorl::Ptr<Sim::Chip> const& local, std::uint64_t seed,
                                           nlohmann::json& document, std::string& problem) {
  std::vector<Sim::FlippedBit> flipped;
  if (options.flipBits != 0) {
    flipped = linkTo(agentOptions, local)->flipBits(options.flipBits, seed);
  }
  auto changed = rowsChanged(flipped);
  agentOptions.warm = true;
  auto agent = std::make_unique<HwAgent::Agent>(agentOptions, linkTo(agentOptions, local));
  auto reconcile = agent->reconcile();
  auto const& bringUp = agent->bringUp();
  std::size_t memories = 0;
  for (auto const& shadow : bringUp.shadows) memories += shadow.isMemory ? 1 : 0;
  auto total = reconcile.total();
  std::vector<std::string> problems;
  if (bringUp.takenOver() != memories) {
    problems.push_back(fmt::format("{} of {} memory shadows took their store over",
                                   bringUp.takenOver(), memories));
  }
  if (total.rowsWritten != changed) {
    problems.push_back(fmt::format("the warm agent wrote {} rows where the flips changed {}",
                                   total.rowsWritten, changed));
  }
  if (!reconcile.clean()) {
    problems.push_back(
        fmt::format("{} rows still differ after the reconcile", total.rowsStillDiffering));
  }
  problem = fmt::format("{}", fmt::join(problems, "; "));

  if (options.json) {
    document["restart"] = {{"bringUp", nlohmann::json(bringUp.json())},
                           {"flippedBits", flippedJson(flipped)},
                           {"rowsChanged", changed},
                           {"reconcile", nlohmann::json(reconcile.json())},
                           {"ok", problems.empty()}};
    document["ok"] = document["ok"].get<bool>() && problems.empty();
    return agent;
  }
  fmt::print("\nRestart: the agent stopped; its stores keep their entries.\n");
  if (!flipped.empty()) {
    fmt::print(
        "While no agent ran, {} bits of the chip were flipped (seed {}), changing {} rows:\n",
        flipped.size(), seed, changed);
    printFlipped(flipped);
  }
  fmt::print("A second agent started warm on the same root and chip, and reconciled:\n\n{}\n{}",
             bringUp.text(), reconcile.text());
  if (problems.empty()) {
    fmt::print(
        "\nThe warm agent took over {} stores ({} entries), found {} rows differing and wrote "
        "exactly those\n({} commands); read back, the chip matches every shadow.\n",
        bringUp.takenOver(), bringUp.entriesTakenOver(), total.rowsDiffering, total.commandsSent);
  }
  return agent;
}

void run(Options const& options) {
  auto agentOptions = bringUpOptions(options.bringUp);
  // The first agent starts cold; --warm is the restart after it.
  bool restart = agentOptions.warm;
  agentOptions.warm = false;
  auto local = Vorl::makePtr<Sim::Chip>();  // the chip, unless a chip process serves it
  std::uint64_t seed = options.seed ? *options.seed : std::random_device()();
  nlohmann::json document;
  auto agent = std::make_unique<HwAgent::Agent>(agentOptions, linkTo(agentOptions, local));
  auto cold = coldRun(options, *agent, seed, restart, document);
  std::string restartProblem;
  if (restart && cold.failed == 0 && cold.differences == 0) {
    agent.reset();  // stops: its shadows detach from their stores
    agent = restartRun(options, agentOptions, local, seed, document, restartProblem);
  }
  if (options.json) fmt::print("{}\n", document.dump(2));
  if (options.hold) holdUntilInterrupted(options.json);
  agent.reset();
  if (cold.differences != 0) {
    throw CheckFailed(fmt::format(
        "the read-back audit found {} entries that differ from the shadows", cold.differences));
  }
  if (cold.failed != 0) {
    throw CheckFailed(fmt::format("{} of {} tables do not match the simulated chip or the reader",
                                  cold.failed, cold.tables));
  }
  if (!restartProblem.empty()) throw CheckFailed("the restart failed: " + restartProblem);
}
void addDemoCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "demo",
      "Bring up all thirteen tables on a simulated chip through the registered factories, "
      "verify the chip against every shadow, read every table back through its reader and "
      "audit it, and have a second process read every memory shadow from its shared-memory "
      "store");
  addPluginDirOption(command);
  addBringUpOptions(command, options->bringUp,
                    "Then restart: stop the agent (its stores keep their entries) and start a "
                    "second one warm on the same root and chip, which takes the stores over and "
                    "reconciles; it must write exactly the rows that differ (with --flip-bits, "
                    "the rows the flips changed while no agent ran; without, none)");
  command->add_flag("--json", options->json,
                    "One JSON document with each shadow's entries, the commands and the chip's "
                    "rows, for machines");
  command
      ->add_option("--flip-bits", options->flipBits,
                   "After the download, flip this many random bits of the simulated chip's "
                   "tables; the read-back audit must name every entry that changed (exit 1). "
                   "With --warm, the bits are flipped while no agent runs and the warm agent "
                   "must write back exactly the rows they changed")
      ->check(CLI::Range(0u, 1000000u));
  command->add_option("--seed", options->seed,
                      "Seed of the bits --flip-bits chooses (default: a random seed, printed)");
  command->add_flag("--hold", options->hold,
                    "After the checks, keep the shadows in their stores until interrupted, for "
                    "show and watch in another terminal (it takes no commands: see agent)");
  command->callback([options] { run(*options); });
}

CommandRegistration registration("demo", addDemoCommand);

}  // namespace
}  // namespace DemoCommand
}  // namespace Tool
