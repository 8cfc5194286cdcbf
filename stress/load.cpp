// 200 concurrent keep-alive clients against velmora-demo and against the relay's start page.
#include <cstdio>

#include "relay/pages.h"
#include "stress/suite.h"

namespace velmora::stress {

namespace {

using namespace std::chrono_literals;

constexpr int kClients = 200;

// Resident memory must not keep growing once every client is connected: the peak of the last
// quarter may exceed the peak of the first quarter by at most 10 % plus 4 MB.
void checkMemoryStable(Outcome& outcome, const std::vector<std::pair<double, long>>& series,
                       double duration) {
  long early = 0;
  long late = 0;
  for (const auto& [at, rss] : series) {
    if (at <= duration * 0.25) early = std::max(early, rss);
    if (at >= duration * 0.75 && at <= duration) late = std::max(late, rss);
  }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' allocators hold freed memory back (ASan's quarantine), so resident memory
  // grows with the traffic; leaks are LeakSanitizer's to report at the server's exit.
  outcome.held.push_back("RSS " + megabytes(early) + " in the first quarter, " + megabytes(late) +
                         " in the last (not judged under a sanitizer)");
  return;
#endif
  const bool stable = early > 0 && late > 0 && late <= early + early / 10 + 4096;
  outcome.check(stable, "memory stable: RSS " + megabytes(early) + " in the first quarter, " +
                            megabytes(late) + " in the last (rule: at most +10 % + 4 MB)");
}

void load(Outcome& outcome, ServerChild& server, const std::string& path,
          const std::string& expected, std::chrono::seconds duration) {
  const auto begin = std::chrono::steady_clock::now();
  const ProcessFigures before = readFigures(server.pid());
  PeakSampler sampler(server.pid(), 50ms);
  const LoadResult result =
      driveLoad(server.port, kClients, duration, getRequest(path, true), expected);
  const auto series = sampler.rssSeries();
  const double seconds = static_cast<double>(duration.count());
  char rate[160];
  std::snprintf(rate, sizeof rate,
                "%ld answers (%.0f/s, mean %.1f ms, max %.0f ms), %ld reconnects", result.requests,
                static_cast<double>(result.requests) / seconds, result.meanMs, result.maxMs,
                result.reconnects);
  outcome.check(
      result.errors == 0 && result.requests > 0,
      std::string(rate) + (result.firstError.empty() ? "" : ", first error: " + result.firstError));
  checkMemoryStable(outcome, series, seconds);
  outcome.check(server.child->alive(), "the server still runs");
  checkSettled(outcome, server.pid(), before);
  outcome.requests = result.requests;
  outcome.errors = result.errors;
  outcome.peaks = sampler.peaks();
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

}  // namespace

void runLoad(const Options& options, const std::function<void(Outcome&)>& report) {
  const auto duration = options.quick ? 10s : 30s;
  const std::string during = std::to_string(duration.count()) + " s";

  if (selected(options, "load/demo")) {
    Outcome outcome{"load/demo", std::to_string(kClients) +
                                     " keep-alive clients asking GET / of velmora-demo for " +
                                     during};
    const auto root = options.logDir / "www";
    std::filesystem::create_directories(root);
    if (auto demo = startDemo(options, root, "load-demo")) {
      load(outcome, *demo, "/", "Hello, World!", duration);
      stopChild(outcome, *demo, "velmora-demo");
    } else {
      outcome.check(false, "velmora-demo did not start");
    }
    report(outcome);
  }

  if (selected(options, "load/relay-start-page")) {
    Outcome outcome{"load/relay-start-page",
                    std::to_string(kClients) +
                        " keep-alive clients asking the relay's start page for " + during};
    RawBackend backend;
    if (auto relay = startRelay(options, backend.port(), "load-relay")) {
      const Exchange first = roundTrip(relay->port, getRequest("/", false), 10s);
      const std::string page = first.response.body;
      outcome.check(page.starts_with(relay::pages::kStartPageFirst) &&
                        page.ends_with(relay::pages::kStartPageSecond),
                    "the start page reads as expected (" + std::to_string(page.size()) + " bytes)");
      load(outcome, *relay, "/", page, duration);
      stopChild(outcome, *relay, "relay");
    } else {
      outcome.check(false, "the relay did not start");
    }
    report(outcome);
  }
}

}  // namespace velmora::stress
