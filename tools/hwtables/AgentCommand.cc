// `hwtables agent [--root DIR] [--faps LIST] [--revision NAME] [--dma-buffer BYTES]
// [--chip SOCKET] [--warm] [--script FILE] [--json]`: a long-running agent on the
// simulated chip (in this process, or a chip process with --chip), driven one command
// per line from a terminal (with line editing, history and completion), a pipe or a
// script.
//
// Every table is brought up at start (one shadow per FAP): cold, every table is
// downloaded to the chip; with --warm, the memory shadows take over the stores a
// predecessor left, and a reconcile writes only the rows the chip holds differently.
// Memory shadows live in their stores below the root, so `hwtables show` and `watch`
// in another process see them while the agent runs. End of input, `quit`, SIGINT or
// SIGTERM end the agent cleanly: it detaches from its stores, which keep their entries
// for a successor (`--warm`); a follower sees the writer go away.
//
// Lines: `#` starts a comment, blank lines are skipped, a UTF-8 byte-order mark at the
// start of a script is skipped. A refused or failed command is reported on stderr as
// "FILE:LINE: error: ..." (scripts and pipes; "stdin" names a pipe) and the agent goes
// on. Exit status 2 when a line was refused (bad input), else 1 when a command's
// check failed (an audit's differences, entries a download could not write), else 0.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include <editline/readline.h>

#include <fmt/format.h>

#include "tools/hwtables/AgentSession.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/BringUpOptions.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/Resources.h"
#include "tools/hwtables/StopSignals.h"

namespace Tool {
namespace AgentCommand {
namespace {

struct Options {
  BringUpArguments bringUp;
  std::string script;
  bool json = false;
};

// Where command lines come from.
class LineSource {
 public:
  virtual ~LineSource() = default;
  // The next line, or nothing at the end of input.
  virtual std::optional<std::string> next() = 0;
  // "FILE:LINE" of the line last returned; empty at a terminal, where the line is
  // on the screen.
  virtual std::string where() const = 0;
};

// A script or a pipe, read line by line straight from its file descriptor. A read
// that SIGINT or SIGTERM interrupts ends the input: a stream would retry it, and an
// agent fed by a pipe whose writer stays quiet would not stop until the next line.
class StreamLines : public LineSource {
 public:
  StreamLines(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

  std::optional<std::string> next() override {
    std::string line;
    while (true) {
      if (auto newline = buffered_.find('\n'); newline != std::string::npos) {
        line = buffered_.substr(0, newline);
        buffered_.erase(0, newline + 1);
        break;
      }
      if (ended_) {
        if (buffered_.empty()) return std::nullopt;
        line = std::move(buffered_);  // the last line, without its line break
        buffered_.clear();
        break;
      }
      char chunk[4096];
      auto got = ::read(fd_, chunk, sizeof chunk);
      if (got > 0) {
        buffered_.append(chunk, static_cast<std::size_t>(got));
      } else if (got < 0 && errno == EINTR) {
        if (StopSignals::requested()) return std::nullopt;
      } else {
        ended_ = true;  // the end of input, or input that cannot be read any further
      }
    }
    if (++number_ == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    if (line.ends_with('\r')) line.pop_back();
    return line;
  }
  std::string where() const override { return fmt::format("{}:{}", name_, number_); }

 private:
  int fd_;
  std::string name_;
  std::string buffered_;
  bool ended_ = false;
  std::size_t number_ = 0;
};

// A terminal: libedit's line editing, the session's history and completion.
class TerminalLines : public LineSource {
 public:
  explicit TerminalLines(AgentSession const& session) {
    completing_ = &session;
    rl_readline_name = "hwtables";
    // Ctrl-C ends the agent as it does without a terminal: the read is interrupted
    // and the session sees the stop request, rather than libedit taking the signal.
    rl_catch_signals = 0;
    // A stop that lands while libedit is not blocked in read() (echoing, redrawing)
    // would leave the next read waiting for a key that never comes: keys are read
    // here, and the stop request is looked at before and between waits.
    rl_getc_function = &TerminalLines::key;
    // Words break at blanks only: keys ({value=3}) and field=value stay one word.
    static char breaks[] = " \t";
    rl_basic_word_break_characters = breaks;
    rl_completer_word_break_characters = breaks;
    rl_attempted_completion_function = &TerminalLines::complete;
    using_history();
  }
  ~TerminalLines() override { completing_ = nullptr; }
  TerminalLines(TerminalLines const&) = delete;
  TerminalLines& operator=(TerminalLines const&) = delete;

  std::optional<std::string> next() override {
    std::unique_ptr<char, decltype(&std::free)> line(readline("hwtables> "), &std::free);
    if (!line) return std::nullopt;
    std::string text(line.get());
    if (text.find_first_not_of(" \t") != std::string::npos) add_history(line.get());
    return text;
  }
  std::string where() const override { return {}; }

 private:
  // One byte from the terminal, or EOF once a stop is requested or input ends.
  static int key(FILE* input) {
    int fd = ::fileno(input);
    while (!StopSignals::requested()) {
      pollfd ready{fd, POLLIN, 0};
      int count = ::poll(&ready, 1, 100);  // a stop is seen within 100 ms
      if (count < 0 && errno != EINTR) return EOF;
      if (count <= 0) continue;
      unsigned char byte = 0;
      auto got = ::read(fd, &byte, 1);
      if (got == 1) return byte;
      if (got == 0 || (errno != EINTR && errno != EAGAIN)) return EOF;
    }
    return EOF;
  }

  static char** complete(char const* text, int start, int) {
    rl_attempted_completion_over = 1;  // never file names
    candidates_.clear();
    if (completing_ != nullptr) {
      auto before = commandWords(std::string(rl_line_buffer, static_cast<std::size_t>(start)));
      for (auto& candidate : completing_->completions(before)) {
        if (candidate.starts_with(text)) candidates_.push_back(std::move(candidate));
      }
    }
    // A key's opening or "field=" goes on with its value, not with a blank.
    bool open = candidates_.size() == 1 &&
                (candidates_[0].ends_with('=') || candidates_[0].starts_with('{'));
    rl_completion_append_character = open ? '\0' : ' ';
    return rl_completion_matches(text, &TerminalLines::candidate);
  }

  static char* candidate(char const*, int state) {
    static std::size_t index = 0;
    if (state == 0) index = 0;
    return index < candidates_.size() ? ::strdup(candidates_[index++].c_str()) : nullptr;
  }

  static inline AgentSession const* completing_ = nullptr;
  static inline std::vector<std::string> candidates_;
};

// The script's file, closed when the agent ends.
class ScriptFile {
 public:
  ScriptFile() = default;
  ~ScriptFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScriptFile(ScriptFile const&) = delete;
  ScriptFile& operator=(ScriptFile const&) = delete;

  // Opens the script before anything is brought up, so that a bad path changes nothing.
  void open(std::string const& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
      throw UsageError(
          fmt::format("cannot read the script {}: {}", shown(path, 256), std::strerror(errno)));
    }
    if (S_ISDIR(status.st_mode)) {
      throw UsageError(fmt::format("the script {} is a directory", shown(path, 256)));
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      throw UsageError(
          fmt::format("cannot read the script {}: {}", shown(path, 256), std::strerror(errno)));
    }
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// The first lines: ready and what the start did, as JSON or as text.
void printStart(Options const& options, HwAgent::Options const& agentOptions,
                AgentSession const& session, bool terminal) {
  if (options.json) {
    nlohmann::ordered_json ready{{"ready", true},
                                 {"faps", agentOptions.faps},
                                 {"revision", agentOptions.revision.revString()},
                                 {"storeRoot", agentOptions.storeRoot}};
    auto start = session.bringUpJson();
    for (auto const& [name, value] : start.items()) ready[name] = value;
    fmt::print("{}\n", ready.dump());
  } else {
    for (auto const& line : session.bringUp()) fmt::print("{}\n", line);
    if (terminal) fmt::print("Type help for the commands, quit to end; Tab completes.\n");
  }
  std::fflush(stdout);
}

// The lines refused and the commands whose check failed, for the exit status: the
// session goes on after either, and the end says how many and the first of each.
class Outcomes {
 public:
  void failedAt(std::string const& what) {
    if (firstFailed_.empty()) firstFailed_ = what;
    ++failed_;
  }
  void count(AgentReply const& reply, std::string const& command, std::string const& where) {
    auto what = where.empty() ? command : fmt::format("{} at {}", command, where);
    if (reply.status != ReplyStatus::refused) return failedAt(what);
    if (firstRefused_.empty()) firstRefused_ = what;
    ++refused_;
  }
  // Throws for the worse of the two, refused lines first (exit status 2, then 1).
  void raise() const {
    if (refused_ != 0) {
      throw UsageError(fmt::format("{} command line{} refused (the first: {}); the others ran",
                                   refused_, refused_ == 1 ? " was" : "s were", firstRefused_));
    }
    if (failed_ != 0) {
      throw CheckFailed(fmt::format("{} command{} found a fault (the first: {})", failed_,
                                    failed_ == 1 ? "" : "s", firstFailed_));
    }
  }

 private:
  std::size_t refused_ = 0;
  std::size_t failed_ = 0;
  std::string firstRefused_;
  std::string firstFailed_;
};

void printReply(Options const& options, AgentReply const& reply, std::string const& command,
                std::string const& where) {
  if (options.json) {
    auto document = reply.toJson(command);
    if (!reply.ok() && !where.empty()) document["where"] = where;
    fmt::print("{}\n", document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  } else {
    for (auto const& text : reply.lines) fmt::print("{}\n", text);
  }
  std::fflush(stdout);
  if (reply.ok() || options.json) return;
  fmt::print(stderr, "{}{}: {}\n", where.empty() ? "" : where + ": ",
             reply.status == ReplyStatus::refused ? "error" : "failed", reply.problem);
  std::fflush(stderr);
}

void run(Options const& options) {
  ScriptFile script;
  if (!options.script.empty()) script.open(options.script);
  auto agentOptions = bringUpOptions(options.bringUp);
  bool terminal = options.script.empty() && ::isatty(STDIN_FILENO) == 1;

  StopSignals signals;
  AgentSession session(agentOptions);
  std::unique_ptr<LineSource> lines;
  if (!options.script.empty()) {
    lines = std::make_unique<StreamLines>(script.fd(), options.script);
  } else if (terminal && !options.json) {
    lines = std::make_unique<TerminalLines>(session);
  } else {
    lines = std::make_unique<StreamLines>(STDIN_FILENO, "stdin");
  }
  printStart(options, agentOptions, session, terminal);

  Outcomes outcomes;
  // A warm start whose reconcile left rows differing is a failed check, as an audit's.
  if (!session.startProblem().empty()) {
    if (!options.json) fmt::print(stderr, "failed: {}\n", session.startProblem());
    outcomes.failedAt("the start");
  }
  bool quit = false;
  while (!StopSignals::requested()) {
    auto line = lines->next();
    if (!line) break;
    if (StopSignals::requested()) break;
    auto words = commandWords(*line);
    if (words.empty()) continue;
    auto reply = session.handle(*line);
    if (reply.quit) {
      quit = true;
      break;
    }
    auto where = lines->where();
    printReply(options, reply, words[0], where);
    if (!reply.ok()) outcomes.count(reply, words[0], where);
  }
  // Ctrl-C or Ctrl-D at the prompt: the shell's prompt starts on a line of its own.
  if (lines->where().empty() && !options.json && !quit) fmt::print("\n");
  outcomes.raise();
}

void addAgentCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "agent",
      "A long-running agent on the simulated chip (or a chip process: --chip) with every "
      "table's shadows in the store, driven one command per line (help lists the commands); "
      "show and watch in another process see its shadows; --warm restarts on what a "
      "predecessor left");
  addPluginDirOption(command);
  addBringUpOptions(
      command, options->bringUp,
      "Warm start: take over the stores a predecessor on this root left (their "
      "entries are what the chip must hold), then reconcile the chip: write "
      "only the rows that differ (every row, on the chip in this process, which starts "
      "empty), and print the bring-up and reconcile reports");
  command->add_option("--script", options->script,
                      "Read the command lines from this file (# starts a comment)");
  command->add_flag("--json", options->json, "Answer each command with one JSON line");
  command->footer(
      "At a terminal: line editing, history and Tab completion of commands, tables, FAPs and\n"
      "fields. A refused line changes nothing and is reported on stderr as FILE:LINE: error.\n"
      "Stopping (quit, end of input, Ctrl-C, SIGTERM) leaves the stores' entries for an\n"
      "agent --warm on the same root. A chip process that is gone fails each command that\n"
      "needs it. Exit status: 0 all went well, 1 a command's check failed (or the chip\n"
      "failed), 2 a line was refused.");
  command->callback([options] { run(*options); });
}

CommandRegistration registration("agent", addAgentCommand);

}  // namespace
}  // namespace AgentCommand
}  // namespace Tool
