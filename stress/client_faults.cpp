// Clients that misbehave towards velmora-demo: connections that send nothing, half a request
// line, a header block that never ends, a body shorter than its Content-Length, and clients
// that reset the connection while the answer is being written.
#include <poll.h>
#include <sys/socket.h>

#include <fstream>

#include "stress/suite.h"

namespace velmora::stress {

namespace {

using testing::TestClient;
using namespace std::chrono_literals;

constexpr const char* kHello = "Hello, World!";

struct HoldPlan {
  int count = 0;         // connections opened and held
  std::string opening;   // what each sends at once
  bool trickle = false;  // one more header line every 250 ms while held
  int flood = 0;         // connections that send 250 header lines at once
  std::chrono::milliseconds hold{2000};
};

HoldPlan makePlan(int count, std::chrono::milliseconds hold, std::string opening = {},
                  bool trickle = false, int flood = 0) {
  HoldPlan result;
  result.count = count;
  result.hold = hold;
  result.opening = std::move(opening);
  result.trickle = trickle;
  result.flood = flood;
  return result;
}

// True when the server wrote to the connection or closed it.
bool serverActed(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) > 0;
}

void holdConnections(Outcome& outcome, ServerChild& demo, const HoldPlan& plan) {
  const auto begin = std::chrono::steady_clock::now();
  const ProcessFigures before = readFigures(demo.pid());
  PeakSampler sampler(demo.pid());
  NormalClient normal(demo.port, "/", kHello);

  std::vector<std::unique_ptr<TestClient>> held;
  int connectFailures = 0;
  for (int i = 0; i < plan.count; ++i) {
    try {
      auto client = std::make_unique<TestClient>(demo.port, 2s);
      if (!plan.opening.empty()) client->send(plan.opening);
      held.push_back(std::move(client));
    } catch (const std::exception&) {
      ++connectFailures;
    }
  }
  std::vector<std::unique_ptr<TestClient>> flooded;
  std::string flood = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (int line = 0; line < 250; ++line)
    flood += "X-Flood-" + std::to_string(line) + ": never ends\r\n";
  for (int i = 0; i < plan.flood; ++i) {
    try {
      auto client = std::make_unique<TestClient>(demo.port, 2s);
      client->send(flood);
      flooded.push_back(std::move(client));
    } catch (const std::exception&) {
      ++connectFailures;
    }
  }

  int trickleLines = 0;
  int trickleFailures = 0;
  const auto holdEnd = std::chrono::steady_clock::now() + plan.hold;
  while (std::chrono::steady_clock::now() < holdEnd) {
    std::this_thread::sleep_for(250ms);
    if (!plan.trickle) continue;
    ++trickleLines;
    for (auto& client : held) {
      try {
        client->send("X-Trickle-" + std::to_string(trickleLines) + ": still coming\r\n");
      } catch (const std::exception&) {
        ++trickleFailures;
      }
    }
  }
  int actedOn = 0;
  for (auto& client : held) actedOn += serverActed(client->descriptor()) ? 1 : 0;

  // The flooding clients must be cut off without a byte of answer.
  int floodCut = 0;
  int floodAnswered = 0;
  const auto floodDeadline = std::chrono::steady_clock::now() + 5s;
  for (auto& client : flooded) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        floodDeadline - std::chrono::steady_clock::now());
    pollfd entry{client->descriptor(), POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) continue;
    char byte;
    const ssize_t got = ::recv(client->descriptor(), &byte, 1, MSG_DONTWAIT);
    if (got > 0) {
      ++floodAnswered;
    } else {
      ++floodCut;
    }
  }

  const NormalClient::Stats stats = normal.stop();
  // Half leave with FIN, half with RST.
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (i % 2 == 0) {
      held[i]->close();
    } else {
      held[i]->reset();
    }
  }
  held.clear();
  flooded.clear();

  outcome.check(connectFailures == 0, std::to_string(plan.count + plan.flood - connectFailures) +
                                          "/" + std::to_string(plan.count + plan.flood) +
                                          " connections accepted");
  outcome.check(actedOn == 0, std::to_string(plan.count - actedOn) + "/" +
                                  std::to_string(plan.count) + " held open and unanswered");
  if (plan.trickle) {
    outcome.check(trickleFailures == 0, std::to_string(trickleLines) +
                                            " header lines trickled into each, " +
                                            std::to_string(trickleFailures) + " refused");
  }
  if (plan.flood > 0) {
    outcome.check(floodCut == plan.flood && floodAnswered == 0,
                  std::to_string(floodCut) + "/" + std::to_string(plan.flood) +
                      " header floods cut off after the header-line limit without an answer");
  }
  outcome.check(stats.errors == 0 && stats.answered > 0,
                "normal client " + std::to_string(stats.answered) + "/" +
                    std::to_string(stats.requests) + " answered (max " +
                    std::to_string(static_cast<int>(stats.maxMs)) + " ms)" +
                    (stats.firstError.empty() ? "" : ", first error: " + stats.firstError));
  checkSettled(outcome, demo.pid(), before);
  outcome.check(demo.child->alive(), "velmora-demo still running");
  outcome.requests = stats.requests + plan.count + plan.flood;
  outcome.errors = stats.errors;
  outcome.peaks = sampler.peaks();
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

// Clients that ask for a large file or a slow stream and reset the connection after the first
// bytes, `count` of each, 25 at a time.
void resetMidResponse(Outcome& outcome, ServerChild& demo, int count) {
  const auto begin = std::chrono::steady_clock::now();
  const ProcessFigures before = readFigures(demo.pid());
  PeakSampler sampler(demo.pid());
  NormalClient normal(demo.port, "/", kHello);

  int gotFirstBytes = 0;
  int failures = 0;
  long bytesBeforeReset = 0;
  for (const char* path : {"/static/big.bin", "/stream"}) {
    for (int done = 0; done < count;) {
      std::vector<std::unique_ptr<TestClient>> batch;
      for (int i = 0; i < 25 && done < count; ++i, ++done) {
        try {
          auto client = std::make_unique<TestClient>(demo.port, 5s);
          client->send(getRequest(path, false));
          batch.push_back(std::move(client));
        } catch (const std::exception&) {
          ++failures;
        }
      }
      for (auto& client : batch) {
        // The file: 64 KiB of it; the stream: its first chunk.
        const long want = std::string(path) == "/stream" ? 1 : 64 * 1024;
        long got = 0;
        char buffer[16384];
        bool sawChunk = false;
        while (got < want || (std::string(path) == "/stream" && !sawChunk)) {
          const ssize_t n = ::recv(client->descriptor(), buffer, sizeof buffer, 0);
          if (n <= 0) break;
          got += n;
          if (std::string_view(buffer, static_cast<std::size_t>(n)).find("chunk 1") !=
              std::string_view::npos) {
            sawChunk = true;
          }
        }
        bytesBeforeReset += got;
        if (got >= want) ++gotFirstBytes;
        client->reset();
      }
    }
  }
  const NormalClient::Stats stats = normal.stop();
  outcome.check(gotFirstBytes == 2 * count && failures == 0,
                std::to_string(gotFirstBytes) + "/" + std::to_string(2 * count) +
                    " got the first bytes before their reset (" +
                    megabytes(bytesBeforeReset / 1024) + " in all)");
  outcome.check(stats.errors == 0 && stats.answered > 0,
                "normal client " + std::to_string(stats.answered) + "/" +
                    std::to_string(stats.requests) + " answered (max " +
                    std::to_string(static_cast<int>(stats.maxMs)) + " ms)" +
                    (stats.firstError.empty() ? "" : ", first error: " + stats.firstError));
  checkSettled(outcome, demo.pid(), before);
  outcome.check(demo.child->alive(), "velmora-demo still running");
  outcome.requests = stats.requests + 2 * count;
  outcome.errors = stats.errors + failures;
  outcome.peaks = sampler.peaks();
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

}  // namespace

void runClientFaults(const Options& options, const std::function<void(Outcome&)>& report) {
  const std::vector<std::string> names = {"client/silent", "client/half-request-line",
                                          "client/endless-headers", "client/short-body",
                                          "client/reset-mid-response"};
  bool any = false;
  for (const auto& name : names) any = any || selected(options, name);
  if (!any) return;

  const int count = options.quick ? 300 : 1000;
  const auto hold = options.quick ? 2s : 4s;
  const auto root = options.logDir / "www";
  std::filesystem::create_directories(root);
  {
    std::ofstream big(root / "big.bin", std::ios::binary);
    const std::string block(1024 * 1024, 'v');
    for (int i = 0; i < 16; ++i) big << block;
  }

  auto demo = startDemo(options, root, "client-faults-demo");
  if (!demo) {
    Outcome outcome{"client/setup", "velmora-demo --port 0"};
    outcome.check(false, "velmora-demo did not start");
    report(outcome);
    return;
  }

  const auto run = [&](const std::string& name, const std::string& sent, const HoldPlan& plan) {
    if (!selected(options, name)) return;
    Outcome outcome{name, sent};
    holdConnections(outcome, *demo, plan);
    report(outcome);
  };
  const std::string n = std::to_string(count);
  const std::string holdText = std::to_string(hold.count()) + " s";
  run("client/silent",
      n + " connections that send nothing, held " + holdText + ", then half closed, half reset",
      makePlan(count, hold));
  run("client/half-request-line",
      n + " connections that send \"GET /users/12\" without a line end, held " + holdText,
      makePlan(count, hold, "GET /users/12"));
  run("client/endless-headers",
      std::to_string(count / 2) + " connections trickling header lines every 250 ms for " +
          holdText + " + " + std::to_string(count / 2) +
          " sending 250 header lines at once, no blank line",
      makePlan(count / 2, hold, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n", true, count / 2));
  run("client/short-body",
      n + " POST /login with Content-Length 1000 and 100 bytes of body, held " + holdText,
      makePlan(count, hold,
               "POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
               "application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n\r\n" +
                   std::string(100, 'x')));

  if (selected(options, "client/reset-mid-response")) {
    const int resets = options.quick ? 100 : 300;
    Outcome outcome{"client/reset-mid-response",
                    std::to_string(resets) +
                        " GET /static/big.bin (16 MB, sendfile) reset after 64 KiB + " +
                        std::to_string(resets) + " GET /stream reset after its first chunk"};
    resetMidResponse(outcome, *demo, resets);
    stopChild(outcome, *demo, "velmora-demo");
    report(outcome);
  } else {
    Outcome ignored;
    stopChild(ignored, *demo, "velmora-demo");
  }
}

}  // namespace velmora::stress
