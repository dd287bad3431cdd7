// The console's commands on whole tables and the chip: download, clear, read, audit,
// reconcile, dma-buffer and describe.
#include "tools/hwtables/AgentSession.h"

#include <algorithm>

#include <fmt/format.h>

#include "platform/tessar/HwTableHolderContext.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "tools/hwtables/AgentTables.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/ModuleDescription.h"
#include "tools/hwtables/Names.h"
#include "tools/hwtables/Resources.h"

namespace Tool {

AgentReply AgentSession::download(Words const& words) {
  AgentReply reply;
  std::vector<std::string> names;
  if (equalIgnoringCase(words[1], "all")) {
    for (auto const* info : tableCatalogue()) names.emplace_back(info->className);
  } else {
    names.push_back(table(words[1]).name());
  }
  auto report = agent_->download(names.size() == 1 ? names[0] : "all");
  auto total = report.commands();
  auto failed = report.failures();
  nlohmann::ordered_json failures = nlohmann::ordered_json::array();
  for (auto const& failure : failed) {
    reply.lines.push_back(failure.text());
    failures.push_back(failure.json());
  }
  reply.lines.push_back(
      fmt::format("{} table(s) downloaded in {} command(s)", names.size(), total));
  reply.json["tables"] = names.size();
  reply.json["commandCount"] = total;
  reply.json["failures"] = failures;
  if (!failed.empty()) {
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format("the chip did not complete {} of {} command(s); audit shows the "
                                "rows that differ, reconcile writes them",
                                failed.size(), total);
  }
  reportNotWritten(names, std::nullopt, reply);
  return reply;
}

AgentReply AgentSession::clear(Words const& words) {
  AgentReply reply;
  auto handle = table(words[1]);
  auto shadowKey = shadowOf(handle, words[2]);
  auto cmds = handle.table->clearShadow(shadowKey);
  reply.lines.push_back(
      fmt::format("cleared; {} command(s) sent to the chip", cmds ? cmds->size() : 0));
  reply.json["commandCount"] = cmds ? cmds->size() : 0;
  agent_->send(cmds, handle.name());
  return reply;
}

AgentReply AgentSession::read(Words const& words) {
  AgentReply reply;
  auto handle = table(words[1]);
  auto shadowKey = shadowOf(handle, words[2]);
  auto factory =
      Tessar::HwTableHolderContext::singleton().hwReaderFactory({handle.name(), revision_});
  if (!factory) throw CheckFailed(fmt::format("no reader registered for {}", handle.name()));
  auto reader = factory(revision_, agent_->readTableManager());
  auto results = Vorl::makePtr<Tessar::HwTableReadResultContainer>();
  auto cmds = reader->tableReadSchanCmds(Vorl::makePtr<Tessar::HwReadRequestParameterBase>(
                                             shadowKey, Tessar::HwReadRequestType::fullTableRead),
                                         results);
  agent_->read(cmds);
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  AgentReply listed;
  if (auto result = results->perInstanceReadResult(shadowKey)) {
    auto resultType = result->typeData();
    std::any object = Vorl::Ptr<Vorl::Node>(result);
    auto const* collection = resultType.info().attribute("entry");
    for (auto each = collection->iterate(object); !each->atEnd(); each->advance()) {
      std::any key = each->key();
      KeyPosition position;
      if (handle.info->key.form == Framework::KeyForm::singleIndex) {
        position = {0, static_cast<U32>(readNumber(handle.keyType, key, "value"))};
      } else {
        position = {static_cast<U8>(readNumber(handle.keyType, key, "arrayIndex")),
                    static_cast<U32>(readNumber(handle.keyType, key, "entryIndex"))};
      }
      entryReply(handle, each->value(), position, listed, &entries);
    }
  }
  reply.lines.push_back(
      fmt::format("{} entries read in {} command(s)", entries.size(), cmds ? cmds->size() : 0));
  reply.lines.insert(reply.lines.end(), listed.lines.begin(), listed.lines.end());
  reply.json["entries"] = entries;
  return reply;
}

Framework::AuditScope AgentSession::scopeOf(Words const& words,
                                          std::vector<std::string>& names) const {
  Framework::AuditScope scope;
  if (words.size() > 1 && !equalIgnoringCase(words[1], "all")) {
    auto handle = table(words[1]);
    scope.table = handle.name();
    names.push_back(handle.name());
    if (words.size() > 2) scope.fapId = shadowOf(handle, words[2]).fapId();
  } else {
    for (auto const* info : tableCatalogue()) names.emplace_back(info->className);
    if (words.size() > 2) {
      auto fap = static_cast<U32>(parseNumber(words[2], "a FAP id", 255));
      if (std::find(faps_.begin(), faps_.end(), fap) == faps_.end()) {
        throw UsageError(fmt::format("no shadow serves FAP {} (FAPs {} are up)", fap, fapsText()));
      }
      scope.fapId = fap;
    }
  }
  return scope;
}

AgentReply AgentSession::audit(Words const& words) {
  AgentReply reply;
  std::vector<std::string> names;
  auto scope = scopeOf(words, names);
  auto audits = agent_->audit(scope);
  std::size_t differences = 0;
  std::size_t entries = 0;
  nlohmann::ordered_json found = nlohmann::ordered_json::array();
  for (auto const& each : audits) {
    entries += each.entriesRead;
    for (auto const& difference : each.differences) {
      ++differences;
      reply.lines.push_back("  " + difference.toString());
      found.push_back(difference.toString());
    }
  }
  reply.lines.insert(reply.lines.begin(),
                     fmt::format("{} table(s) read back: {} entries, {} differ from the shadows",
                                 audits.size(), entries, differences));
  reply.json["tables"] = audits.size();
  reply.json["entriesRead"] = entries;
  reply.json["differences"] = found;
  if (differences != 0) {
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format("the chip differs from the shadows in {} {}", differences,
                                differences == 1 ? "entry" : "entries");
  }
  reportNotWritten(names, scope.fapId, reply);
  return reply;
}

AgentReply AgentSession::reconcile(Words const& words) {
  AgentReply reply;
  std::vector<std::string> names;
  auto report = agent_->reconcile(scopeOf(words, names));
  appendLines(report.text(), reply.lines);
  auto json = report.json();
  for (auto const& [name, value] : json.items()) reply.json[name] = value;
  if (!report.clean()) {
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format("read back after the writes, {} rows still differ",
                                report.total().rowsStillDiffering);
  } else if (auto failed = report.failures().size(); failed != 0) {
    // Every row took in the end, but the chip failed writes on the way: that is
    // reported, not passed over (the chip may need looking at).
    reply.status = ReplyStatus::failed;
    reply.problem = fmt::format(
        "the chip did not complete {} write(s); written again, nothing differs now", failed);
  }
  return reply;
}

AgentReply AgentSession::dmaBuffer(Words const& words) {
  AgentReply reply;
  auto bytes = checkDmaBuffer(parseNumber(words[1], "a DMA buffer size", ~U32{0}));
  agent_->dmaBufferIs(bytes);
  reply.lines.push_back(fmt::format("DMA buffers of {} bytes for downloads and reads", bytes));
  reply.json["dmaBufferBytes"] = bytes;
  return reply;
}

AgentReply AgentSession::describe(Words const& words) {
  AgentReply reply;
  auto handle = table(words[1]);
  appendLines(moduleText(*handle.module), reply.lines);
  reply.json["module"] = nlohmann::ordered_json(moduleJson(*handle.module));
  return reply;
}

}  // namespace Tool
