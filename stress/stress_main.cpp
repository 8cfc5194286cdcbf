// velmora-stress: Velmora's fault-and-load suite. One line per scenario: what was sent, what held,
// and the server's figures.
//
//   velmora-stress [--quick] [--log-dir DIR] [--only TEXT]
//
// Velmora's own console lines (in-process scenarios) and the children's output go to files in
// the log folder; the report goes to standard output. Exit status 1 when any scenario failed.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "stress/suite.h"

namespace {

using namespace velmora::stress;

int reportFd = STDOUT_FILENO;

void emit(const std::string& line) {
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t written = ::write(reportFd, text.data(), text.size());
}

std::string loadAverage() {
  std::string text = readFile("/proc/loadavg");
  std::istringstream fields(text);
  std::string one, five, fifteen;
  fields >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (const auto& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

int usage() {
  std::fprintf(stderr, "usage: velmora-stress [--quick] [--log-dir DIR] [--only TEXT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.self = std::filesystem::canonical("/proc/self/exe");
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--settings-writer" && i + 1 < argc) return runSettingsWriter(argv[i + 1]);
    if (argument == "--quick") {
      options.quick = true;
    } else if (argument == "--log-dir" && i + 1 < argc) {
      options.logDir = argv[++i];
    } else if (argument == "--only" && i + 1 < argc) {
      options.only = argv[++i];
    } else {
      return usage();
    }
  }
  if (options.logDir.empty()) {
    options.logDir =
        std::filesystem::temp_directory_path() / ("velmora-stress-" + std::to_string(::getpid()));
  }
  std::filesystem::create_directories(options.logDir);
  std::signal(SIGPIPE, SIG_IGN);

  // The report keeps the terminal; everything Velmora prints in this process goes to a file.
  reportFd = ::dup(STDOUT_FILENO);
  const std::string consoleLog = (options.logDir / "in-process.out").string();
  const int console = ::open(consoleLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (console >= 0) {
    ::dup2(console, STDOUT_FILENO);
    ::close(console);
  }

  emit(std::string("velmora-stress ") + (options.quick ? "--quick" : "(full)") + ": " +
       std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " cores, load " + loadAverage() +
       ", logs in " + options.logDir.string());

  int passed = 0;
  int failed = 0;
  const auto begin = std::chrono::steady_clock::now();
  const auto report = [&](Outcome& outcome) {
    const bool ok = outcome.passed();
    (ok ? passed : failed) += 1;
    std::string line =
        std::string(ok ? "PASS " : "FAIL ") + outcome.name + " | sent: " + outcome.sent;
    if (!ok) line += " | FAILED: " + join(outcome.failed, "; ");
    line += " | held: " + (outcome.held.empty() ? std::string("-") : join(outcome.held, "; "));
    line += " | requests=" + std::to_string(outcome.requests) +
            " errors=" + std::to_string(outcome.errors) +
            " peak_threads=" + std::to_string(outcome.peaks.threads) +
            " peak_fds=" + std::to_string(outcome.peaks.fds) +
            " peak_rss=" + megabytes(outcome.peaks.rssKb) + " time=" + seconds(outcome.seconds);
    emit(line);
  };

  std::unique_ptr<HangScenario> hang;
  if (selected(options, "backend/hang")) hang = std::make_unique<HangScenario>(options);
  runClientFaults(options, report);
  runBackendFaults(options, report);
  runLifecycle(options, report);
  runLoad(options, report);
  if (hang) hang->finish(report);

  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  emit("velmora-stress: " + std::to_string(passed) + " passed, " + std::to_string(failed) +
       " failed in " + seconds(total) + ", load " + loadAverage());
  return failed == 0 && passed > 0 ? 0 : 1;
}
