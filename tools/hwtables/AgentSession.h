// The console behind `hwtables agent`: an agent of the agent layer (agent/Agent.h) on
// one chip, every table with one shadow per FAP (memory shadows in their shared-memory
// stores), driven one command line at a time.
//
// The session starts the agent: cold, it downloads every table; warm, the agent takes
// over the stores a predecessor left and a reconcile writes only what differs. When
// the session ends, the agent detaches from its stores and leaves their entries for a
// successor.
//
// Commands are a table of name -> handler (commands()); each handler returns a typed
// reply that prints as text for people or as one JSON line for machines. A reply is
//   ok       the command did what it says;
//   refused  bad input (unknown command, table or field, a value too wide for its
//            field, a key the chip has no row for, a FAP without a shadow): one
//            error line, and nothing was changed;
//   failed   the command ran and its check failed (an audit that found differences,
//            a download that left entries unwritten): its findings and a summary;
//            or the chip did not complete commands it was sent (refused, timed out,
//            partly written): an "error: TABLE FAP F rows A-B (...)" line for each,
//            JSON "failures", and the shadows keep the desired state.
//
// The session knows no table: it reaches every table through the type runtime (the
// table's module record, its types' text forms, attributes and functions by name),
// the platform's registries and the tables' descriptions. Keys and FAPs go through
// the tool's one check (ChipRows.h); fields are decoded the one way every command
// decodes them (FieldDecoder.h).
//
// Thread-safety: none; one thread drives a session.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>

#include "agent/Agent.h"
#include "framework/ReadBackAudit.h"

namespace Tool {

struct TableHandle;
struct EntryTarget;

enum class ReplyStatus { ok, refused, failed };

struct AgentReply {
  ReplyStatus status = ReplyStatus::ok;
  bool quit = false;
  std::vector<std::string> lines;                                  // for people
  nlohmann::ordered_json json = nlohmann::ordered_json::object();  // for machines
  std::string problem;  // refused: why; failed: what the check found, in one line
  std::string detail;   // the system's own text, when `problem` translates one
  // Of a reply that is not ok: the kind of what went wrong (errorKind() in Errors.h);
  // empty for a check that ran and found differences.
  std::string kind;

  bool ok() const { return status == ReplyStatus::ok; }
  // The reply for machines: {"command", "ok", "status", ..., "error", "detail"}.
  nlohmann::ordered_json toJson(std::string_view command) const;
};

class AgentSession {
 public:
  // Brings the agent up and starts it (see above). Throws HwAgent::Error.
  explicit AgentSession(HwAgent::Options options);
  ~AgentSession();
  AgentSession(AgentSession const&) = delete;
  AgentSession& operator=(AgentSession const&) = delete;

  // Runs one command line; never throws for a bad line. A line without words (blank,
  // or only a # comment) answers nothing: an ok reply with no lines.
  AgentReply handle(std::string const& line);

  // What the bring-up did, for the first lines of output: a line, or for a warm start
  // the bring-up report and the reconcile's.
  std::vector<std::string> const& bringUp() const { return bringUp_; }
  // The same for machines: {"start", "chip"}, and a warm start's "bringUp" and
  // "reconcile" reports.
  nlohmann::ordered_json bringUpJson() const;
  // Empty, or in one line what the start left undone: the cold download's commands
  // the chip did not complete, or the rows the warm start's reconcile left differing.
  std::string const& startProblem() const { return startProblem_; }

  // The agent, for code beside the console in the same process.
  HwAgent::Agent& agent() const { return *agent_; }

  // The words a terminal offers to complete the word being typed, given the words
  // before it: commands, then table names, FAP ids, a key's opening and field names.
  std::vector<std::string> completions(std::vector<std::string> const& before) const;

  using Words = std::vector<std::string>;
  struct Command {
    std::string_view name;
    std::string_view usage;  // "set TABLE FAP KEY field=value ..."
    std::string_view help;
    std::size_t minWords;  // with the command's own name
    std::size_t maxWords;  // 0: no limit
    AgentReply (AgentSession::*run)(Words const&);
    enum class Operand { none, table, tableOrAll, command } operand = Operand::none;
    bool takesFap = false;
    bool takesKey = false;
  };
  // The console's commands, in the order help lists them.
  static std::span<Command const> commands();

 private:
  AgentReply set(Words const& words);
  AgentReply get(Words const& words);
  AgentReply remove(Words const& words);
  AgentReply schan(Words const& words);
  AgentReply download(Words const& words);
  AgentReply clear(Words const& words);
  AgentReply read(Words const& words);
  AgentReply audit(Words const& words);
  AgentReply reconcile(Words const& words);
  AgentReply dmaBuffer(Words const& words);
  AgentReply describe(Words const& words);
  AgentReply help(Words const& words);
  AgentReply quit(Words const& words);

  TableHandle table(std::string const& name) const;
  // Whether the chip must have a row for the key a line names (set, schan), or a
  // key without one is taken when the shadow holds an entry under it (get, delete).
  enum class RowNeed { onChip, onChipOrHeld };
  EntryTarget entryTarget(Words const& words, RowNeed need) const;
  // The shadow key of FAP `text` of the handle's table; refused when it has none.
  Tessar::HwShadowKey shadowOf(TableHandle const& handle, std::string const& text) const;
  // Entries the shadows hold under keys the chip has no row for (table "" or "all":
  // every table; FAP none: every FAP), as reply lines and JSON.
  void reportNotWritten(std::vector<std::string> const& tables, std::optional<U32> fap,
                        AgentReply& reply) const;
  // The tables and FAP of `[TABLE|all] [FAP]` (words 1 and 2), checked.
  Framework::AuditScope scopeOf(Words const& words, std::vector<std::string>& names) const;
  std::string fapsText() const;

  std::unique_ptr<HwAgent::Agent> agent_;
  std::vector<U32> const& faps_;
  Hardware::Sand::FapRevision const& revision_;
  std::vector<std::string> bringUp_;
  std::optional<HwAgent::ReconcileReport> startReconcile_;
  std::vector<HwAgent::CommandFailure> startFailures_;
  std::string startProblem_;
};

// Splits a command line into words; a `{...}` group (a key's text form) is one word,
// and a word starting with # starts a comment that runs to the end of the line.
std::vector<std::string> commandWords(std::string const& line);

}  // namespace Tool
