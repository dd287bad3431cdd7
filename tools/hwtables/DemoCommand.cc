// `hwtables demo [--faps LIST] [--revision NAME] [--root DIR] [--dma-buffer BYTES]
// [--json]`: the thirteen tables at work, end to end, on the simulated chip.
//
// The demo does what the agent does when it brings chips up: it initialises the
// table plug-ins with the holder context, obtains each table through the factory
// registered for the revision, adds one shadow per FAP (shadow key = FAP id,
// instance 0; each shadow serves its own FAP) — a memory shadow's entries go to its
// shared-memory store below the store root — downloads every table to the simulated
// chip (memories in DMA bulk writes of pool buffers) and checks that the chip holds
// exactly what each shadow holds. Then it reads every table back through the
// table's registered reader and audits the chip against the shadows (with
// --flip-bits, after damaging the chip on purpose, so the audit has something to
// find). Last, a second process, this tool's `show`, maps every memory shadow's store
// read-only and must see exactly the shadow's entries.
// Exit status 0 only when every check holds. The shadows are deleted at the end,
// which empties their stores (the files stay for the next writer).
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

#include "framework/ReadBackAudit.h"
#include "platform/dma/DmaMemPool.h"
#include "platform/hardware/FapRevision.h"
#include "platform/ordex/EntityManager.h"
#include "platform/sim/SimChip.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "store/StoreFiles.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/FieldDecoder.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/Resources.h"
#include "tools/hwtables/SelfProcess.h"
#include "tools/hwtables/StopSignals.h"
#include "tools/hwtables/StoreReport.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace {

struct Options {
  std::string faps = "0,1";
  std::string revision = "bcm88490_a0";
  std::string root;
  U64 dmaBufferBytes = 256;
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

struct TableResult {
  Framework::TableInfo const* info = nullptr;
  std::string fullName;
  std::vector<std::pair<Tessar::HwShadowKey, Vorl::Ptr<Tessar::HwShadowBase>>> shadows;
  Vorl::Ptr<Pelcar::SchanCmds> cmds;
  Sim::TableCheck check;
  std::size_t bulkWrites = 0;
  std::size_t bulkRows = 0;
  std::vector<std::string> readerMismatches;  // memories: what the reader process saw differently
  Readers::TableAudit audit;                  // the chip read back through the table's reader

  std::size_t entries() const {
    std::size_t count = 0;
    for (auto const& [key, shadow] : shadows) count += shadow->storedEntries().size();
    return count;
  }
  bool ok() const { return check.ok() && readerMismatches.empty() && audit.differences.empty(); }
};

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

nlohmann::json chipRowsJson(Sim::Chip const& chip, TableResult const& result,
                            std::vector<U32> const& faps) {
  nlohmann::json rows = nlohmann::json::array();
  auto const& member = result.info->members.front();
  for (auto fap : faps) {
    for (U32 array = 0; array < member.arrayCount; ++array) {
      auto arrayIndex = static_cast<U8>(member.firstArrayIndex + array);
      for (U32 row = 0; row < member.entryCount; ++row) {
        U32 entryIndex = member.firstEntryIndex + row;
        auto value = result.info->isRegister()
                         ? chip.registerValue(Pelcar::FapId(fap), member.block, member.address)
                         : chip.memoryRow(Pelcar::FapId(fap), member.block, member.address,
                                          arrayIndex, entryIndex);
        if (!value) continue;
        rows.push_back({{"fap", fap},
                        {"arrayIndex", arrayIndex},
                        {"entryIndex", entryIndex},
                        {"data", Pelcar::hexBytes(value->data(), value->size())},
                        {"fields", fieldsJson(decodeFields(result.info->className, *value))}});
      }
    }
  }
  return rows;
}

nlohmann::json resultJson(TableResult const& result, Sim::Chip const& chip,
                          std::vector<U32> const& faps) {
  nlohmann::json shadows = nlohmann::json::array();
  for (auto const& [key, shadow] : result.shadows) {
    nlohmann::json entries = nlohmann::json::array();
    for (auto const& entry : shadow->storedEntries()) {
      entries.push_back({{"arrayIndex", entry.arrayIndex},
                         {"entryIndex", entry.entryIndex},
                         {"data", Pelcar::hexBytes(entry.data.data(), entry.data.size())}});
    }
    nlohmann::json servedFaps = nlohmann::json::array();
    for (auto id : shadow->servedFapmask().fapIds()) servedFaps.push_back(id.value);
    shadows.push_back({{"hwShadowKey", key.value()},
                       {"fapId", key.fapId()},
                       {"name", shadow->name()},
                       {"servedFaps", servedFaps},
                       {"entries", entries}});
  }
  nlohmann::json cmds = nlohmann::json::array();
  if (result.cmds) {
    for (auto const& cmd : *result.cmds) cmds.push_back(cmd->toJson());
  }
  nlohmann::json document{{"table", result.info->className},
                          {"kind", result.info->isRegister() ? "register" : "memory"},
                          {"fullName", result.fullName},
                          {"shadows", shadows},
                          {"commands", cmds},
                          {"bulkWrites", result.bulkWrites},
                          {"bulkRows", result.bulkRows},
                          {"cellsChecked", result.check.cellsChecked},
                          {"chipRows", chipRowsJson(chip, result, faps)},
                          {"ok", result.ok()},
                          {"mismatches", result.check.mismatches}};
  if (!result.info->isRegister()) document["readerMismatches"] = result.readerMismatches;
  nlohmann::json differences = nlohmann::json::array();
  for (auto const& difference : result.audit.differences) {
    auto bytes = [](std::optional<std::vector<U8>> const& data) -> nlohmann::json {
      if (!data) return nullptr;
      return Pelcar::hexBytes(data->data(), data->size());
    };
    differences.push_back({{"fap", difference.fapId},
                           {"member", difference.member},
                           {"block", difference.block},
                           {"address", difference.address},
                           {"arrayIndex", difference.arrayIndex},
                           {"entryIndex", difference.entryIndex},
                           {"key", difference.key},
                           {"expected", bytes(difference.expected)},
                           {"read", bytes(difference.read)},
                           {"fields", difference.fields}});
  }
  document["readBack"] = {{"readCommands", result.audit.readCommands},
                          {"entriesRead", result.audit.entriesRead},
                          {"differences", differences}};
  return document;
}

nlohmann::json flippedJson(std::vector<Sim::FlippedBit> const& flipped) {
  nlohmann::json bits = nlohmann::json::array();
  for (auto const& flip : flipped) {
    bits.push_back({{"fap", flip.cell.fapId},
                    {"block", flip.cell.block},
                    {"address", flip.cell.address},
                    {"arrayIndex", flip.cell.arrayIndex},
                    {"row", flip.cell.row},
                    {"bit", flip.bit}});
  }
  return bits;
}

// Reads every table back through its registered reader, answered by the chip, and
// files each table's audit with its result.
void auditReadBack(std::vector<TableResult>& results, Tessar::TableManager const& manager,
                   Sim::Chip& chip, Pelcar::Fapmask const& faps, U32 dmaBufferBytes) {
  auto readers = Vorl::makePtr<Tessar::ReadTableManager>(faps);
  readers->dmaMemPoolManagerIs(Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(dmaBufferBytes));
  auto audits =
      Readers::auditReadBack(manager, readers, [&chip](auto const& cmds) { chip.answer(cmds); });
  for (auto& audit : audits) {
    for (auto& result : results) {
      if (result.info->className == audit.table) result.audit = std::move(audit);
    }
  }
}

// What a person wants to see after a bring-up: each table as the chip now holds it on
// one FAP, in bytes and its fields that are not zero; memory rows that hold only
// zeros are left out.
void printChipContents(Sim::Chip const& chip, std::vector<TableResult> const& results, U32 fap) {
  fmt::print("\nOn the chip now (FAP {}; memory rows of all zeros not shown):\n", fap);
  for (auto const& result : results) {
    auto rows = chipRowsJson(chip, result, {fap});
    bool titled = false;
    for (auto const& row : rows) {
      auto data = row["data"].get<std::string>();
      if (!result.info->isRegister() && data.find_first_not_of('0') == std::string::npos) continue;
      std::vector<U8> bytes;
      for (std::size_t index = 0; index + 1 < data.size(); index += 2) {
        bytes.push_back(static_cast<U8>(std::stoul(data.substr(index, 2), nullptr, 16)));
      }
      if (result.info->isRegister()) {
        fmt::print("\n  {}  {:02x}\n", result.info->className, fmt::join(bytes, " "));
        for (auto const& line :
             fieldLines(nonZeroFields(decodeFields(result.info->className, bytes)), 96)) {
          fmt::print("    {}\n", line);
        }
        continue;
      }
      if (!titled) fmt::print("\n  {}\n", result.info->className);
      titled = true;
      auto where = result.info->key.form == Framework::KeyForm::singleIndex
                       ? fmt::format("row {:2}", row["entryIndex"].get<unsigned>())
                       : fmt::format("array {} row {:2}", row["arrayIndex"].get<unsigned>(),
                                     row["entryIndex"].get<unsigned>());
      fmt::print("    {}  {:02x}\n", where, fmt::join(bytes, " "));
      for (auto const& line :
           fieldLines(nonZeroFields(decodeFields(result.info->className, bytes)), 92)) {
        fmt::print("      {}\n", line);
      }
    }
  }
}

void countBulkWrites(TableResult& result) {
  if (!result.cmds) return;
  for (auto const& cmd : *result.cmds) {
    if (cmd->kind != Pelcar::SchanCmdKind::memoryBulkWrite) continue;
    ++result.bulkWrites;
    result.bulkRows += cmd->rowCount;
  }
}

void run(Options const& options) {
  auto faps = parseFaps(options.faps);
  auto revision = parseRevision(options.revision);
  auto dmaBufferBytes = checkDmaBuffer(options.dmaBufferBytes);
  auto root = storeRoot(options.root);
  Pelcar::Fapmask downloadFapmask;
  for (auto fap : faps) downloadFapmask.fapIdIs(Pelcar::FapId(fap), true);
  auto fapType =
      Hardware::Sand::fapTypeValue(Hardware::Sand::chipTypeToFapType(revision.chipType()));

  // The agent's side: plug-ins initialised with the holder context, a table manager
  // with a DMA pool and an entity manager for the stores.
  auto& context = Tessar::HwTableHolderContext::singleton();
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  auto manager = Vorl::makePtr<Tessar::TableManager>();
  auto mdbManager = Vorl::makePtr<Ombra::TableManager>();
  auto pool = Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(dmaBufferBytes);
  manager->entityManagerIs(Vorl::makePtr<Ordex::EntityManager>(root));
  manager->dmaMemPoolManagerIs(pool);
  Sim::Chip chip;

  std::vector<TableResult> results;
  int readerProcess = 0;
  std::uint64_t seed = options.seed ? *options.seed : std::random_device()();
  std::vector<Sim::FlippedBit> flipped;
  SharedMemory sharedMemory;
  try {
    for (auto const* info : tableCatalogue()) {
      Tessar::HwTableKey key{std::string(info->className), revision};
      auto factory = context.hwTableFactory(key);
      if (!factory) {
        throw CheckFailed(fmt::format("no table factory registered for {} on revision {}",
                                      info->className, revision.revString()));
      }
      auto table =
          Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(factory(revision, manager, mdbManager));
      if (!table) {
        throw CheckFailed(
            fmt::format("the factory of {} returned no shadowed table", info->className));
      }
      manager->tableCollIs(key, table);
      for (auto fap : faps) table->addShadow(Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));

      TableResult result;
      result.info = info;
      result.fullName = table->typeName();
      for (auto const& [shadowKey, shadow] : table->hwShadowColl()) {
        result.shadows.emplace_back(shadowKey, shadow);
      }
      result.cmds = table->download(fmt::format("{}", fapType), downloadFapmask);
      countBulkWrites(result);
      chip.execute(result.cmds);
      result.check = Sim::verifyTable(chip, *table, downloadFapmask);
      results.push_back(std::move(result));
    }
    if (options.flipBits != 0) flipped = chip.flipBits(options.flipBits, seed);
    auditReadBack(results, *manager, chip, downloadFapmask, dmaBufferBytes);
    readerProcess = confirmFromReaderProcess(results, faps, revision, root);
    sharedMemory = sharedMemoryOf(results, root, revision.revString());
  } catch (Vorl::MemoryResourceException const& error) {
    manager->tableCollDelAll();
    storesCannotBeMade(root, error);
  } catch (Vorl::InvalidInitializeException const& error) {
    manager->tableCollDelAll();
    storesCannotBeMade(root, error);
  } catch (...) {
    manager->tableCollDelAll();
    throw;
  }

  std::size_t failed = 0;
  std::size_t memories = 0;
  std::size_t entriesRead = 0;
  std::size_t differences = 0;
  for (auto const& result : results) {
    failed += result.ok() ? 0 : 1;
    memories += result.info->isRegister() ? 0 : 1;
    entriesRead += result.audit.entriesRead;
    differences += result.audit.differences.size();
  }

  if (options.json) {
    nlohmann::json tables = nlohmann::json::array();
    for (auto const& result : results) tables.push_back(resultJson(result, chip, faps));
    nlohmann::json document{
        {"revision", revision.revString()},
        {"fapType", fapType},
        {"faps", faps},
        {"storeRoot", root},
        {"dmaBufferBytes", dmaBufferBytes},
        {"dmaBuffers", pool->buffersHandedOut()},
        {"seed", options.flipBits != 0 ? nlohmann::json(seed) : nlohmann::json()},
        {"readerProcess", readerProcess},
        {"tables", tables},
        {"flippedBits", flippedJson(flipped)},
        {"readBackDifferences", differences},
        {"chipCommandsExecuted", chip.log().size()},
        {"sharedMemory", sharedMemory.json()},
        {"ok", failed == 0}};
    fmt::print("{}\n", document.dump(2));
  } else {
    fmt::print("Simulated chip, revision {} (FAP type {}), FAPs {}\n", revision.revString(),
               fapType, fapsText(faps));
    fmt::print("Memory shadows in shared-memory stores below {}; DMA buffers of {} bytes\n\n", root,
               dmaBufferBytes);
    TextTable table({"TABLE", "KIND", "SHADOWS", "ENTRIES", "COMMANDS", "DMA WRITES (ROWS)",
                     "CELLS CHECKED", "CHIP", "READ BACK", "DIFFERENCES", "STORE READER"});
    for (auto const& result : results) {
      bool isRegister = result.info->isRegister();
      table.rowIs(
          {std::string(result.info->className), isRegister ? "register" : "memory",
           fmt::format("{}", result.shadows.size()), fmt::format("{}", result.entries()),
           fmt::format("{}", result.cmds ? result.cmds->size() : 0),
           isRegister ? "-" : fmt::format("{} ({})", result.bulkWrites, result.bulkRows),
           fmt::format("{}", result.check.cellsChecked), result.check.ok() ? "ok" : "MISMATCH",
           fmt::format("{} in {} reads", result.audit.entriesRead, result.audit.readCommands),
           fmt::format("{}", result.audit.differences.size()),
           isRegister ? "-" : (result.readerMismatches.empty() ? "ok" : "MISMATCH")});
    }
    fmt::print("{}", table.toString());
    for (auto const& result : results) {
      for (auto const& mismatch : result.check.mismatches) {
        fmt::print("  {}: {}\n", result.info->className, mismatch);
      }
      for (auto const& mismatch : result.readerMismatches) {
        fmt::print("  {} (reader): {}\n", result.info->className, mismatch);
      }
    }
    if (!flipped.empty()) {
      fmt::print("\nFlipped {} bits of the simulated chip after the download (seed {}):\n",
                 flipped.size(), seed);
      for (auto const& flip : flipped) {
        fmt::print("  FAP {} block {} address {:#x} array {} row {} bit {}\n", flip.cell.fapId,
                   flip.cell.block, flip.cell.address, flip.cell.arrayIndex, flip.cell.row,
                   flip.bit);
      }
    }
    if (differences != 0) {
      fmt::print("\nRead back, the chip differs from the shadows in {} entries:\n", differences);
      for (auto const& result : results) {
        for (auto const& difference : result.audit.differences) {
          fmt::print("  {}\n", difference.toString());
        }
      }
    }
    printChipContents(chip, results, faps.front());
    if (failed == 0) {
      fmt::print(
          "\n{} tables ({} registers, {} memories) programmed and verified on the simulated "
          "chip;\n{} DMA buffers carried the memories' rows. Every table was read back through "
          "its reader:\n{} entries read, 0 mismatches. A second process (pid {}) read every "
          "memory shadow\nfrom its store and saw exactly the shadow's entries.\n",
          results.size(), results.size() - memories, memories, pool->buffersHandedOut(),
          entriesRead, readerProcess);
    }
    fmt::print("\nShared memory: {}.\n", sharedMemory.text(root));
  }
  if (options.hold) holdUntilInterrupted(options.json);
  manager->tableCollDelAll();
  if (differences != 0) {
    throw CheckFailed(fmt::format(
        "the read-back audit found {} entries that differ from the shadows", differences));
  }
  if (failed != 0) {
    throw CheckFailed(fmt::format("{} of {} tables do not match the simulated chip or the reader",
                                  failed, results.size()));
  }
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
  command
      ->add_option("--faps", options->faps,
                   "FAP ids to bring up, one shadow each: e.g. 0,1 or 0-3 (0..255, not 128)")
      ->capture_default_str();
  command->add_option("--revision", options->revision, "Chip revision, e.g. bcm88490_a0")
      ->capture_default_str();
  command->add_option("--root", options->root,
                      "Root of the memory shadows' stores (default: $HWTABLES_ROOT, else "
                      "/dev/shm/hwtables)");
  command
      ->add_option("--dma-buffer", options->dmaBufferBytes,
                   "Size in bytes of the DMA pool's buffers that carry memory downloads (at "
                   "least one row of the widest memory)")
      ->capture_default_str();
  command->add_flag("--json", options->json,
                    "One JSON document with each shadow's entries, the commands and the chip's "
                    "rows, for machines");
  command
      ->add_option("--flip-bits", options->flipBits,
                   "After the download, flip this many random bits of the simulated chip's "
                   "tables; the read-back audit must name every entry that changed (exit 1)")
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
}  // namespace Tool
