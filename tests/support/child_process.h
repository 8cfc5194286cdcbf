#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

// A program started for a test, its standard output read line by line (standard error stays the
// test's, so sanitizer reports show in the test log). It dies with the test process, and the
// destructor kills what still runs.
class ChildProcess {
 public:
  // `arguments[0]` is the program's path; `environment` adds or replaces variables ("NAME=value").
  explicit ChildProcess(std::vector<std::string> arguments,
                        std::vector<std::string> environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reads lines until one contains `text` (also among those read before); nullopt when the
  // output ended or time ran out.
  std::optional<std::string> waitForLine(
      std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void signal(int number);
  // The exit code, or 128 + the signal that ended it; nullopt while it still runs after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  std::vector<std::string> lines;  // every line read so far

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  std::optional<int> exitCode_;
};

}  // namespace velmora::testing
