#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmora::stress {

// What /proc says about one process at one moment; -1 where it could not be read.
struct ProcessFigures {
  int threads = -1;   // entries of /proc/PID/task
  int accepting = 0;  // of them, threads blocked in accept() (wchan inet_csk_accept)
  int fds = -1;       // entries of /proc/PID/fd
  long rssKb = -1;    // VmRSS
  long hwmKb = -1;    // VmHWM, the resident peak since the process began
};
ProcessFigures readFigures(pid_t pid);
// Where the process's threads wait, by kernel function: "futex_wait_queue×3, inet_csk_accept×4".
std::string threadSummary(pid_t pid);

// Peaks seen by a sampler.
struct Peaks {
  int threads = 0;
  int fds = 0;
  long rssKb = 0;
  void merge(const Peaks& other);
};

// Samples a process every few milliseconds on a thread of its own, keeping the peaks and the
// resident size over time (for the memory-stability check).
class PeakSampler {
 public:
  explicit PeakSampler(pid_t pid,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(20));
  ~PeakSampler();
  PeakSampler(const PeakSampler&) = delete;
  PeakSampler& operator=(const PeakSampler&) = delete;

  Peaks peaks() const;
  // (seconds since start, VmRSS in kB) for every sample.
  std::vector<std::pair<double, long>> rssSeries() const;
  void stop();

 private:
  const pid_t pid_;
  const std::chrono::steady_clock::time_point begin_;
  mutable std::mutex mutex_;
  Peaks peaks_;                                  // guarded by mutex_
  std::vector<std::pair<double, long>> series_;  // guarded by mutex_
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Waits until the process is back to at most `baseline` descriptors (within fdTimeout) and, within
// threadTimeout, to at most `baseline` threads outside accept() with at most
// max(baseline, kParkedAcceptLimit) threads parked in accept(): the server keeps a few spare
// acceptors after a burst of connections by design, and those wait for the next client rather
// than leak. The answer holds the counts seen last and how long each took.
struct Settled {
  bool fdsBack = false;
  bool threadsBack = false;
  ProcessFigures last;
  double fdSeconds = 0;
  double threadSeconds = 0;
};
inline constexpr int kParkedAcceptLimit = 8;
Settled waitSettled(pid_t pid, const ProcessFigures& baseline, std::chrono::milliseconds fdTimeout,
                    std::chrono::milliseconds threadTimeout);

// A program started by the suite, its standard output and error going to files, so that a chatty
// program never blocks on a full pipe. It dies with the suite (PR_SET_PDEATHSIG); the destructor
// kills what still runs.
class Child {
 public:
  Child(std::vector<std::string> arguments, const std::filesystem::path& logStem);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The first line of standard output that starts with `prefix`, waiting up to `timeout`.
  std::optional<std::string> waitForLine(const std::string& prefix,
                                         std::chrono::milliseconds timeout);
  // Lines of standard output that start with `prefix`, as written so far.
  int countLines(const std::string& prefix) const;
  // SIGTERM, then the exit status (as from waitpid); nullopt when it had to be killed.
  std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  bool alive();
  // The first sanitizer or crash report on standard error, if any.
  std::optional<std::string> sanitizerReport() const;
  const std::filesystem::path& stdoutPath() const { return out_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::filesystem::path out_;
  std::filesystem::path err_;
};

std::string readFile(const std::filesystem::path& path);

}  // namespace velmora::stress
