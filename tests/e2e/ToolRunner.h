// Runs the real hwtables binary in a child process for end-to-end tests: the binary is
// $HWTABLES_BIN/hwtables (ctest sets HWTABLES_BIN to the build's bin directory), or
// build/bin/hwtables when the variable is unset.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace E2e {

struct Run {
  int status = -1;  // exit status; 128 + signal when the tool was killed
  std::string out;
  std::string err;
};

std::string toolPath();

// Starts the tool with `args`; its stdout and stderr come back through the two pipes.
// Returns -1 when the child could not be started.
// With `user` other than 0 the tool runs as that user (the test must run as root).
pid_t startTool(std::vector<std::string> args, int& outFd, int& errFd, uid_t user = 0);
// Reads both pipes to their end and waits for the child.
Run finishTool(pid_t pid, int outFd, int errFd);
Run runTool(std::vector<std::string> args, uid_t user = 0);

// A tool process the test works with while it runs, killed (SIGKILL) and reaped when
// the scope ends unless stop() reaped it first: a failed assertion leaves no process.
class LiveTool {
 public:
  // Starts the tool and, with `ready`, reads its stdout until that text (two minutes at
  // most); with `commandPipe`, makes that FIFO, passes it as `--script` and opens it
  // for send().
  explicit LiveTool(std::vector<std::string> args, std::string const& ready = "",
                    std::string const& commandPipe = "");
  ~LiveTool();
  LiveTool(LiveTool const&) = delete;
  LiveTool& operator=(LiveTool const&) = delete;
  pid_t pid() const { return pid_; }
  // What stdout has said so far (up to `ready`, then up to each waitFor's `text`);
  // waitFor reads on until it holds a whole line with `text` (or two minutes pass).
  std::string const& said() const { return said_; }
  std::string const& waitFor(std::string const& text);
  void send(std::string const& lines);  // to the command pipe
  // Closes the command pipe, sends `signal` (0: none, the tool ends by itself) and reaps
  // the process: how it ended and the rest of its output.
  Run stop(int signal = SIGTERM);

 private:
  void closeCommands();
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int commands_ = -1;
  std::string said_;
};

// A directory in /dev/shm for one test, removed with everything in it afterwards.
class TempDir {
 public:
  explicit TempDir(std::string const& purpose = "e2e");
  ~TempDir();
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;
  std::string const& path() const { return path_; }
  std::string file(std::string const& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The tool failed the way every subcommand must: exit `status` and one
// "hwtables: ..." line containing `text` on stderr (with --json, one JSON document
// whose "error" contains it); refused input (status 2) also prints nothing on stdout.
void expectOneLineError(Run const& run, int status, std::string const& text);

// Runs `hwtables agent --root DIR --script DIR/script ARGS` with `script` in that file.
Run runAgentScript(TempDir const& dir, std::string const& script,
                   std::vector<std::string> const& args = {});

// JSON Lines output, one document a line.
std::vector<nlohmann::json> jsonLines(std::string const& out);

// What `store fill --seed S` writes (see `store fill --help`): its keys in order,
// and a word as the tool prints it (hex of the little-endian bytes).
std::vector<std::uint32_t> fillKeys(std::uint32_t seed, std::uint32_t count);
std::string hexWord(std::uint32_t word);

// Every one of `parts` occurs in `text` (expectHas), or none does (expectLacks),
// reported at the caller's line.
void expectHas(std::string_view text, std::initializer_list<std::string_view> parts,
               std::source_location where = std::source_location::current());
void expectLacks(std::string_view text, std::initializer_list<std::string_view> parts,
                 std::source_location where = std::source_location::current());

// Every member `expected` names has that value in `actual`, objects compared member by
// member in turn and arrays of one length element by element (members `expected`
// leaves out are not compared).
void expectMembers(nlohmann::json const& actual, nlohmann::json const& expected,
                   std::source_location where = std::source_location::current());

// Whole files: read, replaced, and every file of a directory by name.
std::string readAll(std::string const& path);
void writeAll(std::string const& path, std::string const& bytes);
std::map<std::string, std::string> snapshot(std::string const& dir);

}  // namespace E2e
