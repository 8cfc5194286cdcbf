#include "stress/process_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace velmora::stress {

namespace {

int countEntries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

long statusField(const std::string& status, const char* name) {
  const auto at = status.find(name);
  if (at == std::string::npos) return -1;
  return std::strtol(status.c_str() + at + std::char_traits<char>::length(name), nullptr, 10);
}

}  // namespace

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ProcessFigures readFigures(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  ProcessFigures figures;
  figures.threads = 0;
  if (DIR* dir = ::opendir((base + "/task").c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      ++figures.threads;
      if (readFile(base + "/task/" + entry->d_name + "/wchan") == "inet_csk_accept")
        ++figures.accepting;
    }
    ::closedir(dir);
  } else {
    figures.threads = -1;
  }
  figures.fds = countEntries(base + "/fd");
  // /proc/self/fd counts the descriptor opendir() itself holds.
  if (pid == ::getpid() && figures.fds > 0) --figures.fds;
  const std::string status = readFile(base + "/status");
  figures.rssKb = statusField(status, "VmRSS:");
  figures.hwmKb = statusField(status, "VmHWM:");
  return figures;
}

std::string threadSummary(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  std::map<std::string, int> where;
  if (DIR* dir = ::opendir(base.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++where[readFile(base + "/" + entry->d_name + "/wchan")];
    }
    ::closedir(dir);
  }
  std::string text;
  for (const auto& [function, count] : where) {
    text += (text.empty() ? "" : ", ") + (function.empty() ? std::string("running") : function) +
            "×" + std::to_string(count);
  }
  return text;
}

void Peaks::merge(const Peaks& other) {
  threads = std::max(threads, other.threads);
  fds = std::max(fds, other.fds);
  rssKb = std::max(rssKb, other.rssKb);
}

PeakSampler::PeakSampler(pid_t pid, std::chrono::milliseconds interval)
    : pid_(pid), begin_(std::chrono::steady_clock::now()) {
  thread_ = std::thread([this, interval] {
    while (!stopping_.load()) {
      const ProcessFigures now = readFigures(pid_);
      const double at =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
      {
        std::lock_guard lock(mutex_);
        peaks_.threads = std::max(peaks_.threads, now.threads);
        peaks_.fds = std::max(peaks_.fds, now.fds);
        peaks_.rssKb = std::max(peaks_.rssKb, now.rssKb);
        if (now.rssKb > 0) series_.emplace_back(at, now.rssKb);
      }
      std::this_thread::sleep_for(interval);
    }
  });
}

PeakSampler::~PeakSampler() {
  stop();
}

void PeakSampler::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

Peaks PeakSampler::peaks() const {
  std::lock_guard lock(mutex_);
  return peaks_;
}

std::vector<std::pair<double, long>> PeakSampler::rssSeries() const {
  std::lock_guard lock(mutex_);
  return series_;
}

Settled waitSettled(pid_t pid, const ProcessFigures& baseline, std::chrono::milliseconds fdTimeout,
                    std::chrono::milliseconds threadTimeout) {
  Settled settled;
  const auto begin = std::chrono::steady_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  };
  for (;;) {
    settled.last = readFigures(pid);
    if (!settled.fdsBack && settled.last.fds >= 0 && settled.last.fds <= baseline.fds) {
      settled.fdsBack = true;
      settled.fdSeconds = elapsed();
    }
    if (!settled.threadsBack && settled.last.threads >= 0 &&
        settled.last.threads - settled.last.accepting <= baseline.threads - baseline.accepting &&
        settled.last.accepting <= std::max(baseline.accepting, kParkedAcceptLimit)) {
      settled.threadsBack = true;
      settled.threadSeconds = elapsed();
    }
    const auto now = std::chrono::steady_clock::now();
    const bool fdsDone = settled.fdsBack || now - begin >= fdTimeout;
    const bool threadsDone = settled.threadsBack || now - begin >= threadTimeout;
    if (fdsDone && threadsDone) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return settled;
}

Child::Child(std::vector<std::string> arguments, const std::filesystem::path& logStem)
    : out_(logStem.string() + ".out"), err_(logStem.string() + ".err") {
  const int outFd = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int errFd = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("cannot create " + out_.string());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outFd);
  ::close(errFd);
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<std::string> Child::waitForLine(const std::string& prefix,
                                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::istringstream lines(readFile(out_));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind(prefix, 0) == 0) return line;
    }
    if (std::chrono::steady_clock::now() >= deadline || !alive()) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int Child::countLines(const std::string& prefix) const {
  std::istringstream lines(readFile(out_));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

bool Child::alive() {
  if (reaped_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    return false;
  }
  return true;
}

std::optional<int> Child::terminate(std::chrono::milliseconds timeout) {
  if (reaped_) return std::nullopt;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  reaped_ = true;
  return std::nullopt;
}

std::optional<std::string> Child::sanitizerReport() const {
  const std::string text = readFile(err_);
  for (const char* marker :
       {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
        "runtime error:", "WARNING: ThreadSanitizer", "terminate called", "Segmentation fault"}) {
    const auto at = text.find(marker);
    if (at != std::string::npos) {
      const auto end = text.find('\n', at);
      return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }
  }
  return std::nullopt;
}

}  // namespace velmora::stress
