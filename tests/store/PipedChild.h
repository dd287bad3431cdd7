// A child process the test talks to: one byte a command down, one line a reply up.
// Reads wait with a timeout, so a hung child fails its test instead of holding ctest.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace StoreTest::Piped {

inline void send(int fd, char command) {
  (void)!::write(fd, &command, 1);
}

// One line from `fd` (without the newline), or none when nothing came in time.
inline std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  std::string line;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
    char byte = 0;
    if (::read(fd, &byte, 1) != 1) return std::nullopt;
    if (byte == '\n') return line;
    line += byte;
  }
}

inline void writeLine(int fd, std::string const& line) {
  std::string text = line + "\n";
  (void)!::write(fd, text.data(), text.size());
}

// A command byte if one is waiting.
inline std::optional<char> pollCommand(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, 0) <= 0) return std::nullopt;
  char byte = 0;
  if (::read(fd, &byte, 1) != 1) return 'q';  // the test went away
  return byte;
}

struct Child {
  pid_t pid = -1;
  int commands = -1;  // test -> child
  int replies = -1;   // child -> test
};

template <class Body>
Child startChild(Body body) {
  int down[2];
  int up[2];
  if (::pipe(down) != 0 || ::pipe(up) != 0) throw std::runtime_error("pipe");
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(down[1]);
    ::close(up[0]);
    int code = 2;
    try {
      code = body(down[0], up[1]);
    } catch (std::exception const& error) {
      writeLine(up[1], std::string("exception ") + error.what());
    }
    ::_exit(code);
  }
  ::close(down[0]);
  ::close(up[1]);
  return Child{pid, down[1], up[0]};
}

// The exit status of child `pid` once it ends (128 + the signal that killed it).
inline int exitStatusOf(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Ended {
  int status = -1;  // as exitStatusOf
  std::string report;  // everything the child wrote up
};

// Waits for `child` to end, told nothing more.
inline Ended finish(Child& child) {
  ::close(child.commands);
  Ended ended;
  char buffer[4096];
  for (ssize_t done; (done = ::read(child.replies, buffer, sizeof buffer)) > 0;) {
    ended.report.append(buffer, static_cast<std::size_t>(done));
  }
  ::close(child.replies);
  ended.status = exitStatusOf(child.pid);
  child = Child{};
  return ended;
}

// Ends `child`: killed, or told to quit ('q'); returns how it ended.
inline Ended stopChild(Child& child, bool kill) {
  if (child.pid <= 0) return {};
  if (kill) {
    ::kill(child.pid, SIGKILL);
  } else {
    send(child.commands, 'q');
  }
  return finish(child);
}

}  // namespace StoreTest::Piped
