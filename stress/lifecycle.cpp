// The relay's life cycle in this process, through the window controller: start/stop cycles under
// a hammering of clients, a relay-port change while answers stream, and the settings file killed
// in the middle of its writes.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <random>
#include <set>
#include <sstream>

#include "platform/settings_file.h"
#include "relay/pages.h"
#include "stress/suite.h"
#include "tests/app/controller_harness.h"
#include "tests/support/fake_backend_process.h"

namespace velmora::stress {

namespace {

using namespace std::chrono_literals;
using app::testing::ControllerHarness;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kStartPage =
    std::string(relay::pages::kStartPageFirst) + std::string(relay::pages::kStartPageSecond);

struct HammerStats {
  std::atomic<long> answered{0};
  std::atomic<long> refused{0};
  std::atomic<long> closed{0};   // the connection ended before a whole answer (a stop)
  std::atomic<long> corrupt{0};  // a whole answer with the wrong bytes
  std::atomic<long> hung{0};     // no answer and no close within 5 s
};

// Keeps asking the start page on keep-alive connections until `stop`.
void hammer(int port, const std::atomic<bool>& stop, HammerStats& stats) {
  const std::string request = getRequest("/", true);
  while (!stop.load()) {
    std::unique_ptr<testing::TestClient> client;
    try {
      client = std::make_unique<testing::TestClient>(port, 5s);
    } catch (const std::exception&) {
      ++stats.refused;
      std::this_thread::sleep_for(1ms);
      continue;
    }
    for (int i = 0; i < 5 && !stop.load(); ++i) {
      const auto begin = Clock::now();
      std::string raw;
      try {
        client->send(request);
        raw = client->readResponse();
      } catch (const std::exception&) {
      }
      const auto parsed = testing::parseResponse(raw);
      if (parsed.statusLine == "HTTP/1.1 200 OK" && parsed.body == kStartPage &&
          parsed.header("Content-Length") == std::to_string(kStartPage.size())) {
        ++stats.answered;
        continue;
      }
      if (Clock::now() - begin >= 4900ms) {
        ++stats.hung;
      } else if (raw.empty() ||
                 (parsed.statusLine == "HTTP/1.1 200 OK" && kStartPage.starts_with(parsed.body))) {
        ++stats.closed;
      } else {
        ++stats.corrupt;
      }
      break;
    }
  }
}

void startStopCycles(Outcome& outcome, int cycles) {
  const auto begin = Clock::now();
  const int port = testing::unusedLoopbackPort();
  auto harness = std::make_unique<ControllerHarness>();
  harness->onMain([&] {
    harness->view().serverPort.setText(std::to_string(port));
    harness->controller->selectedModel = "m";
  });
  PeakSampler sampler(::getpid());
  const ProcessFigures before = readFigures(::getpid());

  std::atomic<bool> stop{false};
  HammerStats stats;
  std::vector<std::thread> hammers;
  for (int i = 0; i < 8; ++i) hammers.emplace_back([&] { hammer(port, stop, stats); });

  std::mt19937 random(12345);
  int startsServing = 0;
  int stopsStopped = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    bool serving = false;
    harness->onMain([&] {
      harness->controller->mainButtonClicked();
      serving = harness->controller->webServer->isServing();
    });
    startsServing += serving ? 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 25));
    bool stopped = false;
    harness->onMain([&] {
      harness->controller->mainButtonClicked();
      stopped = !harness->controller->isRunning && !harness->controller->webServer->isServing();
    });
    stopsStopped += stopped ? 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 5));
  }
  stop = true;
  for (auto& thread : hammers) thread.join();

  // One more start: the relay still answers whole pages on the same port.
  harness->onMain([&] { harness->controller->mainButtonClicked(); });
  const Exchange after = roundTrip(port, getRequest("/", false), 10s);
  harness->onMain([&] { harness->controller->mainButtonClicked(); });
  harness->settle();
  int failedStarts = 0;
  harness->onMain([&] {
    for (const auto& text : harness->view().monitor.history) {
      failedStarts += text.rfind("Failed to start server", 0) == 0 ? 1 : 0;
    }
  });

  outcome.check(startsServing == cycles && failedStarts == 0,
                std::to_string(startsServing) + "/" + std::to_string(cycles) +
                    " starts serving at once on port " + std::to_string(port) + ", " +
                    std::to_string(failedStarts) + " start failures");
  outcome.check(stopsStopped == cycles,
                std::to_string(stopsStopped) + "/" + std::to_string(cycles) + " stops stopped");
  outcome.check(stats.corrupt == 0 && stats.hung == 0,
                "8 hammering clients: " + std::to_string(stats.answered) + " whole pages, " +
                    std::to_string(stats.refused) + " refused while stopped, " +
                    std::to_string(stats.closed) + " cut by a stop, " +
                    std::to_string(stats.corrupt) + " corrupt, " + std::to_string(stats.hung) +
                    " hung");
  outcome.check(stats.answered > 0, "pages were served between the cycles");
  outcome.check(after.response.statusLine == "HTTP/1.1 200 OK" && after.response.body == kStartPage,
                "a start after the last cycle serves the start page");
  checkSettled(outcome, ::getpid(), before);
  outcome.requests = stats.answered + stats.refused + stats.closed + stats.corrupt + stats.hung + 1;
  outcome.errors = stats.corrupt + stats.hung;
  outcome.peaks = sampler.peaks();
  harness.reset();
  outcome.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
}

void portChangeWhileStreaming(Outcome& outcome) {
  constexpr int kStreams = 5;
  const auto begin = Clock::now();
  testing::FakeBackendProcess fake(json::object(), std::chrono::seconds(600));
  if (!fake.running()) {
    outcome.check(false, "the fake backend did not start");
    return;
  }
  const int firstPort = testing::unusedLoopbackPort();
  int secondPort = testing::unusedLoopbackPort();
  while (secondPort == firstPort) secondPort = testing::unusedLoopbackPort();
  auto harness = std::make_unique<ControllerHarness>();
  harness->onMain([&] {
    harness->view().studioIP.setText("127.0.0.1");
    harness->view().studioPort.setText(std::to_string(fake.port()));
    harness->controller->applyBackendAddress(app::ViewController::BackendField::host);
    harness->view().serverPort.setText(std::to_string(firstPort));
    harness->controller->selectedModel = "m";
  });
  PeakSampler sampler(::getpid());
  const ProcessFigures before = readFigures(::getpid());
  harness->onMain([&] { harness->controller->mainButtonClicked(); });

  json scenarios = json::array();
  std::multiset<std::pair<std::string, std::string>> expected;
  for (int i = 0; i < kStreams; ++i) {
    std::vector<std::string> pieces;
    std::string answer;
    for (int k = 0; k < 30; ++k) {
      pieces.push_back("p" + std::to_string(i) + "-" + std::to_string(k) + " ");
      answer += pieces.back();
    }
    scenarios.push_back({{"pieces", pieces}, {"delay_ms", 100}});
    expected.insert({"user", "pc-" + std::to_string(i)});
    expected.insert({"assistant", answer});
  }
  fake.queueScenarios(scenarios);
  std::vector<std::future<Exchange>> pages;
  for (int i = 0; i < kStreams; ++i) {
    pages.push_back(std::async(std::launch::async, [firstPort, i] {
      return roundTrip(firstPort, submitRequest("pc-" + std::to_string(i), false), 30s);
    }));
  }
  fake.waitForRequests(kStreams, 20s);
  std::this_thread::sleep_for(500ms);

  const auto changedAt = Clock::now();
  harness->onMain([&] {
    harness->view().serverPort.setText(std::to_string(secondPort));
    harness->controller->serverPortDidChange();
  });
  double backAfter = -1;
  while (Clock::now() - changedAt < 10s) {
    const Exchange probe = roundTrip(secondPort, getRequest("/", false), 2s);
    if (probe.response.statusLine == "HTTP/1.1 200 OK" && probe.response.body == kStartPage) {
      backAfter = std::chrono::duration<double>(Clock::now() - changedAt).count();
      break;
    }
    std::this_thread::sleep_for(50ms);
  }
  const Exchange old = roundTrip(firstPort, getRequest("/", false), 2s);

  int cut = 0;
  int endedInTime = 0;
  for (auto& future : pages) {
    const Exchange page = future.get();
    endedInTime += page.closedInTime ? 1 : 0;
    const AnswerPage answer = readAnswerPage(page);
    cut +=
        !answer.wellFormed && page.response.body.starts_with(relay::pages::kAnswerPageHead) ? 1 : 0;
  }
  const bool stored = harness->waitFor(
      [&] { return harness->controller->chatHistory.size() == 2 * kStreams; }, 20s);
  std::multiset<std::pair<std::string, std::string>> got;
  for (const auto& message : harness->controller->chatHistory.messages())
    got.insert({message.role, message.content});

  // A follow-up on the new port carries the whole conversation.
  fake.reset();
  const Exchange next = roundTrip(secondPort, submitRequest("after", false), 30s);
  const AnswerPage nextPage = readAnswerPage(next);
  const auto recorded = fake.waitForRequests(1, 10s);
  std::size_t sentMessages = 0;
  if (recorded.is_array() && !recorded.empty()) {
    sentMessages =
        recorded.back().value("json", json::object()).value("messages", json::array()).size();
  }
  harness->onMain([&] { harness->controller->mainButtonClicked(); });
  harness->settle();

  outcome.check(backAfter >= 0, "relay back on the new port after " + seconds(backAfter));
  outcome.check(!old.connected, "the old port refuses connections");
  outcome.check(endedInTime == kStreams,
                std::to_string(cut) + "/" + std::to_string(kStreams) +
                    " streaming pages cut by the restart (stop closes connections), " +
                    std::to_string(endedInTime) + " ended without hanging");
  outcome.check(stored && got == expected,
                std::to_string(got.size()) + "/" + std::to_string(expected.size()) +
                    " messages in the conversation, every interrupted answer whole");
  outcome.check(nextPage.endsWithTail && sentMessages == 2 * kStreams + 1,
                "a follow-up on the new port is answered and sends " +
                    std::to_string(sentMessages) + " messages");
  checkSettled(outcome, ::getpid(), before);
  outcome.requests = kStreams + 3;
  outcome.peaks = sampler.peaks();
  harness.reset();
  outcome.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
}

// ---- The settings file killed mid-write ----

constexpr int kKeys = 5;

long indexOf(const std::string& value) {
  if (value.size() < 2 || value[0] != 'w') return -1;
  return std::strtol(value.c_str() + 1, nullptr, 10);
}

// The value the writer stores at write `index`.
std::string valueOf(long index) {
  return "w" + std::to_string(index) + ":" +
         std::string(16 * 1024 + static_cast<std::size_t>(index % 7) * 1024,
                     static_cast<char>('a' + index % 26));
}

// The newest write the file holds, when the file is exactly the state after that write; else -1
// with the reason in `problem`.
long completeState(const std::filesystem::path& path, std::string& problem) {
  if (!std::filesystem::exists(path)) return 0;
  const json document = json::parse(readFile(path), nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    problem = "not a JSON object";
    return -1;
  }
  long newest = 0;
  for (const auto& [key, value] : document.items()) {
    if (!value.is_string()) {
      problem = "a value is not text";
      return -1;
    }
    newest = std::max(newest, indexOf(value.get<std::string>()));
  }
  for (int key = 0; key < kKeys; ++key) {
    // The last write to this key at or before `newest`.
    long last = newest - ((newest - key) % kKeys + kKeys) % kKeys;
    const std::string name = "k" + std::to_string(key);
    if (last < 1) {
      if (document.contains(name)) {
        problem = name + " present too early";
        return -1;
      }
      continue;
    }
    if (!document.contains(name) || document[name] != valueOf(last)) {
      problem = name + " does not hold write " + std::to_string(last);
      return -1;
    }
  }
  return newest;
}

int leftoverCount(const std::filesystem::path& folder) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    count += entry.path().filename().string().rfind("settings.json.tmp", 0) == 0 ? 1 : 0;
  }
  return count;
}

void settingsKilled(Outcome& outcome, const Options& options, int kills) {
  const auto begin = Clock::now();
  const auto folder = options.logDir / "settings-kill";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const auto path = folder / "settings.json";

  std::mt19937 random(777);
  long state = 0;  // the newest complete write the file holds
  int invalid = 0, notOldOrNew = 0, midWrite = 0, writes = 0;
  int maxLeftovers = 0;
  std::string firstProblem;
  for (int kill = 0; kill < kills; ++kill) {
    const int before = leftoverCount(folder);
    long acked = state;
    {
      Child writer({options.self.string(), "--settings-writer", path.string()},
                   options.logDir / "settings-writer");
      // Killed at a random moment once it writes.
      writer.waitForLine("ready", 10s);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
      ::kill(writer.pid(), SIGKILL);
      while (writer.alive()) std::this_thread::sleep_for(1ms);
      std::istringstream lines(readFile(writer.stdoutPath()));
      std::string line;
      while (std::getline(lines, line)) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
          acked = std::stol(line);
      }
    }
    std::string problem;
    const long now = completeState(path, problem);
    if (now < 0) {
      ++invalid;
      if (firstProblem.empty()) firstProblem = problem;
      continue;
    }
    if (now != acked && now != acked + 1) {
      ++notOldOrNew;
      if (firstProblem.empty()) {
        firstProblem = "holds write " + std::to_string(now) + " after write " +
                       std::to_string(acked) + " was acknowledged";
      }
    }
    writes += static_cast<int>(now - state);
    state = now;
    const int leftovers = leftoverCount(folder);
    midWrite += leftovers > before ? 1 : 0;
    maxLeftovers = std::max(maxLeftovers, leftovers);
  }
  // The next ordinary write, as the next launch would make it.
  int afterNextWrite = -1;
  {
    platform::SettingsFile settings(path);
    if (settings.set("launch", "next")) afterNextWrite = leftoverCount(folder);
  }

  outcome.check(invalid == 0, std::to_string(kills - invalid) + "/" + std::to_string(kills) +
                                  " files afterwards parse and hold one complete set" +
                                  (firstProblem.empty() ? "" : " (" + firstProblem + ")"));
  outcome.check(notOldOrNew == 0, "every file held the acknowledged write or the one in flight (" +
                                      std::to_string(writes) + " writes in all)");
  outcome.check(midWrite > 0, std::to_string(midWrite) +
                                  " kills landed mid-write (a temporary file left behind)");
  outcome.check(afterNextWrite == 0, "temporary files: at most " + std::to_string(maxLeftovers) +
                                         " piled up, " + std::to_string(afterNextWrite) +
                                         " left after the next write");
  outcome.requests = kills;
  outcome.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
}

}  // namespace

int runSettingsWriter(const std::filesystem::path& path) {
  platform::SettingsFile settings(path);
  long last = 0;
  for (int key = 0; key < kKeys; ++key) {
    if (const auto value = settings.string("k" + std::to_string(key)))
      last = std::max(last, indexOf(*value));
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (long index = last + 1;; ++index) {
    if (!settings.set("k" + std::to_string(index % kKeys), valueOf(index))) return 1;
    std::printf("%ld\n", index);
    std::fflush(stdout);
  }
}

void runLifecycle(const Options& options, const std::function<void(Outcome&)>& report) {
  if (selected(options, "lifecycle/start-stop")) {
    const int cycles = options.quick ? 50 : 200;
    Outcome outcome{
        "lifecycle/start-stop",
        std::to_string(cycles) +
            " start/stop cycles of the relay (ViewController, same port) while 8 clients hammer "
            "the start page"};
    startStopCycles(outcome, cycles);
    report(outcome);
  }
  if (selected(options, "lifecycle/port-change")) {
    Outcome outcome{"lifecycle/port-change",
                    "relay-port change while 5 answers of 30 pieces (100 ms apart) stream"};
    portChangeWhileStreaming(outcome);
    report(outcome);
  }
  if (selected(options, "lifecycle/settings-killed")) {
    const int kills = options.quick ? 100 : 300;
    Outcome outcome{"lifecycle/settings-killed",
                    std::to_string(kills) +
                        " writer processes saving 5 keys of 16-22 KiB in a loop, each SIGKILLed "
                        "0-30 ms into its writes"};
    settingsKilled(outcome, options, kills);
    report(outcome);
  }
}

}  // namespace velmora::stress
