#include <grp.h>

#include <system_error>
#include <unordered_set>

#include "tests/e2e/E2eTest.h"

namespace E2e {

std::string toolPath() {
  char const* dir = std::getenv("HWTABLES_BIN");
  return std::string(dir ? dir : "build/bin") + "/hwtables";
}

pid_t startTool(std::vector<std::string> args, int& outFd, int& errFd, uid_t user) {
  std::string tool = toolPath();
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return -1;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (user != 0 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)) {
      _exit(126);
    }
    std::vector<char*> argv{tool.data()};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  outFd = outPipe[0];
  errFd = errPipe[0];
  return pid;
}

Run finishTool(pid_t pid, int outFd, int errFd) {
  Run run;
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && poll(fds, 2, -1) > 0) {
    for (int index = 0; index < 2; ++index) {
      if (fds[index].fd < 0 || fds[index].revents == 0) continue;
      char buffer[65536];
      ssize_t got = read(fds[index].fd, buffer, sizeof(buffer));
      if (got > 0) {
        sinks[index]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[index].fd);
        fds[index].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

namespace {

// Appends what `fd` says to `read` until `read` holds `text` at `from` or after (or two
// minutes pass).
void readInto(int fd, std::string& read, std::string const& text, std::size_t from = 0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (read.find(text, from) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) continue;
    char buffer[4096];
    ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got <= 0) break;
    read.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

Run runTool(std::vector<std::string> args, uid_t user) {
  int outFd = -1;
  int errFd = -1;
  pid_t pid = startTool(std::move(args), outFd, errFd, user);
  if (pid < 0) return {};
  return finishTool(pid, outFd, errFd);
}

void expectOneLineError(Run const& run, int status, std::string const& text) {
  EXPECT_EQ(run.status, status) << run.err;
  // Refused input (status 2) prints nothing else; a failed check may still report.
  if (status == 2) {
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  if (run.err.starts_with("{")) {
    // With --json: one JSON document, its "error" the line's message.
    auto error = nlohmann::json::parse(run.err, nullptr, false);
    ASSERT_TRUE(error.is_object()) << run.err;
    EXPECT_EQ(error.value("exitStatus", -1), status) << run.err;
    EXPECT_NE(error.value("error", std::string()).find(text), std::string::npos) << run.err;
    return;
  }
  EXPECT_EQ(run.err.rfind("hwtables: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
}

namespace {

void expectEach(std::string_view text, std::initializer_list<std::string_view> parts, bool present,
                std::source_location where) {
  for (auto part : parts) {
    if ((text.find(part) != std::string_view::npos) != present) {
      ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
          << (present ? "missing \"" : "unexpected \"") << part << "\" in:\n"
          << text;
    }
  }
}

}  // namespace

void expectHas(std::string_view text, std::initializer_list<std::string_view> parts,
               std::source_location where) {
  expectEach(text, parts, true, where);
}

void expectLacks(std::string_view text, std::initializer_list<std::string_view> parts,
                 std::source_location where) {
  expectEach(text, parts, false, where);
}

namespace {

void compareMembers(nlohmann::json const& actual, nlohmann::json const& expected,
                    std::string const& path, std::source_location where) {
  if (expected.is_object() && actual.is_object()) {
    for (auto const& [name, value] : expected.items()) {
      if (!actual.contains(name)) {
        ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
            << path << "/" << name << " is missing in " << actual.dump();
      } else {
        compareMembers(actual[name], value, path + "/" + name, where);
      }
    }
  } else if (expected.is_array() && actual.is_array() && expected.size() == actual.size()) {
    for (std::size_t index = 0; index < expected.size(); ++index) {
      compareMembers(actual[index], expected[index], path + "/" + std::to_string(index), where);
    }
  } else if (actual != expected) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << path << " is " << actual.dump() << ", expected " << expected.dump();
  }
}

}  // namespace

void expectMembers(nlohmann::json const& actual, nlohmann::json const& expected,
                   std::source_location where) {
  compareMembers(actual, expected, "", where);
}

TempDir::TempDir(std::string const& purpose) {
  std::string pattern = "/dev/shm/hwtables-" + purpose + "-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

LiveTool::LiveTool(std::vector<std::string> args, std::string const& ready,
                   std::string const& commandPipe) {
  if (!commandPipe.empty()) {
    ::unlink(commandPipe.c_str());
    if (::mkfifo(commandPipe.c_str(), 0600) != 0) {
      ADD_FAILURE() << "no FIFO at " << commandPipe;
      return;
    }
    args.insert(args.end(), {"--script", commandPipe});
  }
  pid_ = startTool(std::move(args), out_, err_);
  if (pid_ <= 0) {
    ADD_FAILURE() << "the tool did not start";
    return;
  }
  if (!commandPipe.empty()) commands_ = ::open(commandPipe.c_str(), O_WRONLY | O_CLOEXEC);
  if (!ready.empty() && waitFor(ready).find(ready) == std::string::npos) {
    ADD_FAILURE() << "the tool never said \"" << ready << "\": " << said_;
  }
}

LiveTool::~LiveTool() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {out_, err_, commands_}) {
    if (fd >= 0) ::close(fd);
  }
}

std::string const& LiveTool::waitFor(std::string const& text) {
  readInto(out_, said_, text);
  // The whole line: a JSON reply is parsed once its line is complete.
  if (auto at = said_.find(text); at != std::string::npos) readInto(out_, said_, "\n", at);
  return said_;
}

void LiveTool::send(std::string const& lines) {
  EXPECT_EQ(::write(commands_, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
}

void LiveTool::closeCommands() {
  if (commands_ >= 0) ::close(commands_);
  commands_ = -1;
}

Run LiveTool::stop(int signal) {
  if (pid_ <= 0) return {};
  // With a signal the pipe stays open until the tool has ended: the signal alone must
  // end it.
  if (signal == 0) closeCommands();
  ::kill(pid_, signal);
  auto run = finishTool(pid_, out_, err_);
  closeCommands();
  pid_ = -1;
  out_ = err_ = -1;
  return run;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Run runAgentScript(TempDir const& dir, std::string const& script,
                   std::vector<std::string> const& args) {
  std::ofstream(dir.file("script"), std::ios::binary) << script;
  std::vector<std::string> all{"agent", "--root", dir.path(), "--script", dir.file("script")};
  all.insert(all.end(), args.begin(), args.end());
  return runTool(all);
}

std::vector<nlohmann::json> jsonLines(std::string const& out) {
  std::vector<nlohmann::json> lines;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

std::vector<std::uint32_t> fillKeys(std::uint32_t seed, std::uint32_t count) {
  std::vector<std::uint32_t> keys;
  std::unordered_set<std::uint32_t> seen;
  std::mt19937 random(seed);
  while (keys.size() < count) {
    auto key = static_cast<std::uint32_t>(random());
    if (seen.insert(key).second) keys.push_back(key);
  }
  return keys;
}

std::string hexWord(std::uint32_t word) {
  return fmt::format("{:02x}{:02x}{:02x}{:02x}", word & 0xFF, (word >> 8) & 0xFF,
                     (word >> 16) & 0xFF, word >> 24);
}

std::string readAll(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(std::string const& path, std::string const& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::map<std::string, std::string> snapshot(std::string const& dir) {
  std::map<std::string, std::string> files;
  for (auto const& entry : std::filesystem::directory_iterator(dir)) {
    files[entry.path().filename().string()] = readAll(entry.path().string());
  }
  return files;
}

}  // namespace E2e
