#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::app::testing {

// A program started for a test, with its standard output read line by line. The program dies
// with the test process (PR_SET_PDEATHSIG), and the destructor kills what still runs.
class ChildProcess {
 public:
  // `arguments[0]` is the program: a path, or a name looked up in PATH.
  explicit ChildProcess(std::vector<std::string> arguments) {
    arguments.at(0) = resolve(arguments[0]);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(pipeFds[1], STDOUT_FILENO);
      // A signal mask inherited from the test's threads must not hide SIGTERM from the child.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
  }

  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The next line of standard output without its line feed; nullopt at the end of the output
  // or when none came in time.
  std::optional<std::string> readLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        lines.push_back(line);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || closed_) return std::nullopt;
      pollfd pfd{out_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t got = ::read(out_, chunk, sizeof chunk);
      if (got <= 0) {
        closed_ = true;
      } else {
        buffer_.append(chunk, static_cast<std::size_t>(got));
      }
    }
  }

  // Reads lines until one starts with `prefix`; nullopt when the output ends or time runs out.
  std::optional<std::string> readLineStartingWith(
      const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto line = readLine(left);
      if (!line) return std::nullopt;
      if (line->rfind(prefix, 0) == 0) return line;
    }
  }

  // Whether a line starting with `prefix` has been read already or comes before the output ends
  // or time runs out.
  bool waitForLineStartingWith(const std::string& prefix,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    for (const auto& line : lines) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return readLineStartingWith(prefix, timeout).has_value();
  }

  // Every remaining line, until the program closes its output.
  void readToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline &&
           readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
    }
  }

  void signal(int number) { ::kill(pid_, number); }

  // The wait status once the program has ended; nullopt when it still runs after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = status;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }

  std::vector<std::string> lines;  // every line read so far

 private:
  // Looked up before fork(): between fork and exec only async-signal-safe calls may run.
  static std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
      const auto end = folders.find(':', start);
      const std::string candidate = folders.substr(start, end - start) + "/" + program;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      if (end == std::string::npos) return program;
      start = end + 1;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool closed_ = false;
  std::optional<int> status_;
};

}  // namespace velmora::app::testing
