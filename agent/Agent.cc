#include "agent/Agent.h"

#include "agent/Journal.h"

#include <set>

#include <fmt/format.h>

#include "agent/Reconcile.h"
#include "framework/TableRegistry.h"
#include "platform/asic/Assert.h"
#include "platform/ordex/EntityManager.h"
#include "platform/tessar/DirectKeyBasedShadowBase.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/vorl/Exceptions.h"

namespace HwAgent {
namespace {

Pelcar::Fapmask checkedFapmask(std::vector<U32> const& faps) {
  if (faps.empty()) throw Error(ErrorKind::badInput, "no FAPs to bring up");
  Pelcar::Fapmask mask;
  for (auto fap : faps) {
    if (fap > 255 || fap == Tessar::HwShadowKey::kAllFaps) {
      throw Error(ErrorKind::badInput,
                  fmt::format("FAP id {} is not one shadow's FAP (0..255, not 128)", fap));
    }
    if (mask.fapId(Pelcar::FapId(fap))) {
      throw Error(ErrorKind::badInput, fmt::format("FAP {} is named twice", fap));
    }
    mask.fapIdIs(Pelcar::FapId(fap), true);
  }
  return mask;
}

Vorl::Ptr<DmaMemPoolManager::DmaMemPoolManager> checkedPool(U32 bytes) {
  try {
    return Vorl::makePtr<DmaMemPoolManager::DmaMemPoolManager>(bytes);
  } catch (Vorl::RangeException const& error) {
    throw Error(ErrorKind::badInput, error.what());
  }
}

void countBulkWrites(TableDownload& download) {
  if (!download.cmds) return;
  for (auto const& cmd : *download.cmds) {
    if (cmd->kind != Pelcar::SchanCmdKind::memoryBulkWrite) continue;
    ++download.bulkWrites;
    download.bulkRows += cmd->rowCount;
  }
}

}  // namespace

Agent::Agent(Options options) : Agent(std::move(options), nullptr) {}

Agent::Agent(Options options, std::unique_ptr<ChipLink> chip) : options_(std::move(options)) {
  fapmask_ = checkedFapmask(options_.faps);
  if (options_.revision.chipType() != Hardware::bcm88490_a0ChipType) {
    throw Error(ErrorKind::badInput,
                fmt::format("revision {} is of chip type {}; the tables serve chip type {}",
                            options_.revision.revString(),
                            Hardware::chipTypeValue(options_.revision.chipType()),
                            Hardware::chipTypeValue(Hardware::bcm88490_a0ChipType)));
  }
  fapType_ = fmt::format("{}", Hardware::Sand::fapTypeValue(Hardware::Sand::chipTypeToFapType(
                                   options_.revision.chipType())));
  storeRoot_ =
      options_.storeRoot.empty() ? Ordex::EntityManager::defaultStoreRoot() : options_.storeRoot;
  pool_ = checkedPool(options_.dmaBufferBytes);

  auto& context = Tessar::HwTableHolderContext::singleton();
  Tessar::HwTablePlugin::DefaultHwTableLoader().initPlugins(context);
  manager_ = Vorl::makePtr<Tessar::TableManager>();
  auto entities = Vorl::makePtr<Ordex::EntityManager>(storeRoot_);
  entities->takeOverStoresIs(options_.warm);
  manager_->entityManagerIs(entities);
  manager_->dmaMemPoolManagerIs(pool_);
  mdbManager_ = Vorl::makePtr<Ombra::TableManager>();
  readers_ = Vorl::makePtr<Tessar::ReadTableManager>(fapmask_);
  readers_->dmaMemPoolManagerIs(pool_);
  // The chip first: an agent that cannot reach its chip touches no store.
  if (chip) {
    chip_ = std::move(chip);
  } else if (options_.chipSocket.empty()) {
    chip_ = inProcessChip();
  } else {
    chip_ = chipProcess(options_.chipSocket, options_.chipTimeout);
  }
  if (options_.chipFaults && options_.chipSocket.empty()) {
    chip_->contents()->faultPlanIs(*options_.chipFaults);
  }

  bringUp_.warm = options_.warm;
  bringUp_.revision = options_.revision.revString();
  bringUp_.faps = options_.faps;
  bringUp_.storeRoot = storeRoot_;
  bringUp_.chip = chip_->description();
  try {
    bringUpTables();
  } catch (...) {
    release();
    throw;
  }
}

Agent::~Agent() {
  release();
}

void Agent::release() noexcept {
  for (auto const& table : tables_) {
    for (auto const& [key, shadow] : table->hwShadowColl()) {
      try {
        shadow->detachStore();
      } catch (...) {
        // A store that cannot be detached cleanly is left as the store leaves it.
      }
    }
  }
  tables_.clear();
  if (manager_) manager_->tableCollDelAll();
}

void Agent::bringUpTables() {
  auto& context = Tessar::HwTableHolderContext::singleton();
  auto records = Framework::TableRegistry::singleton().tables();
  if (records.empty()) throw Error(ErrorKind::checkFailed, "no plug-in registered any table");
  for (auto const& record : records) {
    std::string name(record->info->className);
    Tessar::HwTableKey key{name, options_.revision};
    auto factory = context.hwTableFactory(key);
    if (!factory) {
      throw Error(ErrorKind::badInput,
                  fmt::format("no table factory registered for {} on revision {}", name,
                              options_.revision.revString()));
    }
    Vorl::Ptr<Tessar::HwCommonShadowTableBase> table;
    try {
      table = Vorl::ptrCast<Tessar::HwCommonShadowTableBase>(
          factory(options_.revision, manager_, mdbManager_));
      if (!table)
        throw Error(ErrorKind::checkFailed,
                    fmt::format("the factory of {} made no shadowed table", name));
      manager_->tableCollIs(key, table);
      tables_.push_back(table);
      for (auto fap : options_.faps)
        table->addShadow(Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));
    } catch (Vorl::MemoryResourceException const& error) {
      throw Error(ErrorKind::badInput, fmt::format("cannot create the shadow stores below {}: {}",
                                                   storeRoot_, error.what()));
    } catch (Vorl::InvalidInitializeException const& error) {
      std::string_view text = error.what();
      if (text.find("another writer owns") != std::string_view::npos) {
        throw Error(
            ErrorKind::busy,
            fmt::format("{} (is another agent running on the store root {}?)", text, storeRoot_));
      }
      throw Error(ErrorKind::badInput,
                  fmt::format("cannot create the shadow stores below {}: {}", storeRoot_, text));
    } catch (Vorl::Exception const& error) {
      throw Error(ErrorKind::checkFailed,
                  fmt::format("bringing {} up failed: {}", name, error.what()));
    }
    for (auto const& [shadowKey, shadow] : table->hwShadowColl()) {
      bringUp_.shadows.push_back(
          {name, shadowKey.fapId(), !record->info->isRegister(), shadow->start()});
    }
  }
  bringUp_.tables = tables_.size();
}

Vorl::Ptr<Tessar::HwCommonShadowTableBase> Agent::table(std::string_view name) const {
  for (auto const& table : tables_) {
    if (table->hwTableKey().tableName == name) return table;
  }
  return nullptr;
}

std::vector<Vorl::Ptr<Tessar::HwCommonShadowTableBase>> Agent::tablesNamed(
    std::string_view name) const {
  if (name.empty() || name == "all") return tables_;
  auto found = table(name);
  if (!found) throw Error(ErrorKind::badInput, fmt::format("the agent holds no table {}", name));
  return {found};
}

void Agent::dmaBufferIs(U32 bytes) {
  pool_ = checkedPool(bytes);
  manager_->dmaMemPoolManagerIs(pool_);
  readers_->dmaMemPoolManagerIs(pool_);
  // Shadows took the pool when they were made: they get the new one too.
  for (auto const& table : tables_) {
    for (auto const& [key, shadow] : table->hwShadowColl()) {
      if (auto memory = Vorl::ptrCast<Tessar::DirectKeyBasedShadowBase>(shadow)) {
        memory->dmaMemPoolManagerIs(pool_);
      }
    }
  }
}

std::size_t Agent::send(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table) {
  std::size_t sent = 0;
  try {
    sent = sendBeforeRecorded(cmds, table);
  } catch (...) {
    flushJournalQuietly();
    throw;
  }
  flushJournal();
  return sent;
}

std::size_t Agent::sendBeforeRecorded(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table) {
  if (!cmds || cmds->empty()) return 0;
  Sim::WriteOutcome outcome;
  try {
    outcome = chip_->write(cmds);
  } catch (Error const&) {
    journal(cmds, table, nullptr);
    throw;
  }
  journal(cmds, table, &outcome);
  commandsSent_ += outcome.completed();
  if (outcome.ok()) return cmds->size();
  std::vector<CommandFailure> failures;
  auto cmd = cmds->begin();
  std::uint32_t index = 0;
  for (auto const& fault : outcome.faults) {
    // Faults come in list order.
    while (index < fault.index && cmd != cmds->end()) {
      ++cmd;
      ++index;
    }
    if (cmd == cmds->end()) break;
    auto owner = table.empty() ? tableOfMember((*cmd)->memberName) : std::string(table);
    failures.push_back(CommandFailure::of(std::move(owner), **cmd, fault));
  }
  throw ChipFault(std::move(failures), cmds->size());
}

void Agent::journal(Vorl::Ptr<Pelcar::SchanCmds> const& cmds, std::string_view table,
                    Sim::WriteOutcome const* outcome) {
  auto const& writer = options_.journal;
  if (!writer) return;
  std::string owner;
  if (table.empty() && !cmds->empty()) {
    owner = tableOfMember((*cmds->begin())->memberName);
    table = owner;
  }
  try {
    writer->record(cmds, table, outcome);
  } catch (JournalError const& error) {
    throw journalFailed(error);
  }
}

Error Agent::journalFailed(JournalError const& error) {
  return Error(ErrorKind::checkFailed,
               fmt::format("{}; the commands went to the chip but are not in the journal", error.what()));
}

void Agent::flushJournal() {
  if (!options_.journal) return;
  try {
    options_.journal->flush();
  } catch (JournalError const& error) {
    throw journalFailed(error);
  }
}

// On the way out with another error: that one is the caller's news, and the journal's
// failure is reported by its next use.
void Agent::flushJournalQuietly() noexcept {
  try {
    if (options_.journal) options_.journal->flush();
  } catch (...) {
  }
}

std::string Agent::tableOfMember(std::string_view member) const {
  for (auto const& table : tables_) {
    for (auto const& [key, shadow] : table->hwShadowColl()) {
      auto const& description = shadow->bcmGroupAddrInfo();
      if (!description) continue;
      for (auto const& [id, info] : description->members()) {
        if (info->name == member) return table->hwTableKey().tableName;
      }
    }
  }
  return {};
}

void Agent::read(Vorl::Ptr<Pelcar::SchanCmds> const& cmds) {
  if (!cmds || cmds->empty()) return;
  chip_->read(cmds);
  readCommandsSent_ += cmds->size();
}

DownloadReport Agent::download(std::string_view name) {
  DownloadReport report;
  for (auto const& table : tablesNamed(name)) {
    TableDownload download;
    download.table = table->hwTableKey().tableName;
    try {
      download.cmds = table->download(fapType_, fapmask_);
    } catch (Vorl::RangeException const& error) {
      throw Error(ErrorKind::badInput,
                  fmt::format("{} cannot be downloaded: {}", download.table, error.what()));
    }
    countBulkWrites(download);
    try {
      sendBeforeRecorded(download.cmds, download.table);
    } catch (ChipFault const& fault) {
      download.failures = fault.failures();
    } catch (...) {
      flushJournalQuietly();
      throw;
    }
    report.tables.push_back(std::move(download));
  }
  flushJournal();
  return report;
}

std::vector<Framework::TableAudit> Agent::audit(Framework::AuditScope const& scope) {
  try {
    return Framework::auditReadBack(
        *manager_, readers_, [this](auto const& cmds) { read(cmds); }, scope);
  } catch (Vorl::RangeException const& error) {
    throw Error(ErrorKind::badInput, error.what());
  }
}

ReconcileReport Agent::reconcile(Framework::AuditScope const& scope) {
  // The reconcile's lists go to the journal as they are sent; it is flushed once, here.
  ReconcileReport report;
  try {
    report = reconcileChip(*this, scope);
  } catch (Vorl::Exception const& error) {  // a table or reader that could not do its part
    flushJournalQuietly();
    throw Error(ErrorKind::checkFailed, fmt::format("the reconcile failed: {}", error.what()));
  } catch (...) {
    flushJournalQuietly();
    throw;
  }
  flushJournal();
  return report;
}

}  // namespace HwAgent
