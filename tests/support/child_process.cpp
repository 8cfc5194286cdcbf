#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velmora::testing {

ChildProcess::ChildProcess(std::vector<std::string> arguments,
                           std::vector<std::string> environment) {
  // Everything exec needs is built before fork: the child may only make async-signal-safe calls.
  for (char** variable = environ; *variable; ++variable) {
    const std::string_view entry(*variable);
    const bool replaced = std::ranges::any_of(environment, [&](const std::string& added) {
      return added.substr(0, added.find('=') + 1) == entry.substr(0, entry.find('=') + 1);
    });
    if (!replaced) environment.emplace_back(entry);
  }
  std::vector<char*> argv, envp;
  for (auto& argument : arguments) argv.push_back(argument.data());
  for (auto& variable : environment) envp.push_back(variable.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Room for a busy program's console lines between two reads of a test.
  ::fcntl(pipeFds[0], F_SETPIPE_SZ, 1 << 20);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    sigset_t none;  // a mask inherited from the test's threads must not hide signals
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  out_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
  if (!exitCode_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(out_);
}

std::optional<std::string> ChildProcess::waitForLine(std::string_view text,
                                                     std::chrono::milliseconds timeout) {
  for (const std::string& line : lines)
    if (line.find(text) != std::string::npos) return line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      lines.push_back(pending_.substr(0, end));
      pending_.erase(0, end + 1);
      if (lines.back().find(text) != std::string::npos) return lines.back();
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{out_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
      return std::nullopt;
    char chunk[4096];
    const ssize_t got = ::read(out_, chunk, sizeof chunk);
    if (got <= 0) return std::nullopt;
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
}

void ChildProcess::signal(int number) {
  ::kill(pid_, number);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exitCode_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return exitCode_;
}

}  // namespace velmora::testing
