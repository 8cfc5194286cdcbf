#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stress/process_probe.h"
#include "stress/traffic.h"

namespace velmora::stress {

struct Options {
  bool quick = false;
  std::filesystem::path logDir;
  std::filesystem::path self;  // this program, for the child processes it runs as helpers
  std::string only;  // run only scenarios whose name contains one of these (comma-separated)
};

// What one scenario did and found; becomes its report line.
struct Outcome {
  Outcome() = default;
  Outcome(std::string name_, std::string sent_) : name(std::move(name_)), sent(std::move(sent_)) {}

  std::string name;
  std::string sent;
  std::vector<std::string> held;
  std::vector<std::string> failed;
  long requests = 0;
  long errors = 0;
  Peaks peaks;
  double seconds = 0;

  // Records `text` as held when `ok`, else as a failure.
  void check(bool ok, const std::string& text) { (ok ? held : failed).push_back(text); }
  bool passed() const { return failed.empty(); }
};

// After the clients of a scenario are gone the process must be back to its descriptors within
// this time, and to its threads within the worker pool's idle lifetime (10 s) plus a margin.
inline constexpr auto kFdSettle = std::chrono::seconds(5);
inline constexpr auto kThreadSettle = std::chrono::seconds(15);

// Waits as waitSettled() does and records both checks in `outcome`.
void checkSettled(Outcome& outcome, pid_t pid, const ProcessFigures& before);

// A Velmora program under test, started as a child.
struct ServerChild {
  std::unique_ptr<Child> child;
  int port = 0;
  pid_t pid() const { return child->pid(); }
};
// velmora-demo on a free port, serving `root`.
std::optional<ServerChild> startDemo(const Options& options, const std::filesystem::path& root,
                                     const std::string& name);
// velmora --headless on a free port, relaying to 127.0.0.1:backendPort with model "m".
std::optional<ServerChild> startRelay(const Options& options, int backendPort,
                                      const std::string& name);
// SIGTERM; checks a clean exit and no sanitizer report.
void stopChild(Outcome& outcome, ServerChild& server, const std::string& what);

// The text between the answer page's head and its tail or error markup, when the page has that
// shape; `failure` receives the error description of an error page.
struct AnswerPage {
  bool wellFormed = false;
  bool endsWithTail = false;
  std::string text;     // the streamed answer as written (HTML-escaped)
  std::string failure;  // the description inside the error markup
  std::string problem;  // why it is not well formed
};
AnswerPage readAnswerPage(const Exchange& page);

// A short human figure: 1.5 MB, 20.0 MB.
std::string megabytes(long kilobytes);
std::string seconds(double value);

struct ScenarioGroup {
  std::string name;
  std::function<void(const Options&, const std::function<void(Outcome&)>&)> run;
};

// Each group runs its scenarios in order and hands every finished outcome to `report`.
void runClientFaults(const Options& options, const std::function<void(Outcome&)>& report);
void runBackendFaults(const Options& options, const std::function<void(Outcome&)>& report);
void runLifecycle(const Options& options, const std::function<void(Outcome&)>& report);
void runLoad(const Options& options, const std::function<void(Outcome&)>& report);

// The backend that never answers: its wait is the backend request's 120 s idle timeout, so it
// runs beside the other groups. start() begins it, finish() waits and reports.
class HangScenario {
 public:
  explicit HangScenario(const Options& options);
  ~HangScenario();
  void finish(const std::function<void(Outcome&)>& report);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether `name` is selected by --only.
bool selected(const Options& options, const std::string& name);

// The helper behind the settings scenario: saves settings in a loop until killed.
int runSettingsWriter(const std::filesystem::path& path);

}  // namespace velmora::stress
