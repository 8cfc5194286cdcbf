#include <sys/wait.h>

#include <cstdio>

#include "relay/pages.h"
#include "stress/suite.h"

namespace velmora::stress {

namespace {

std::string figures(int before, int after, double seconds) {
  char text[96];
  std::snprintf(text, sizeof text, "%d→%d in %.1f s", before, after, seconds);
  return text;
}

}  // namespace

bool selected(const Options& options, const std::string& name) {
  if (options.only.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const auto comma = options.only.find(',', start);
    const std::string part = options.only.substr(start, comma - start);
    if (!part.empty() && name.find(part) != std::string::npos) return true;
    if (comma == std::string::npos) return false;
    start = comma + 1;
  }
}

std::string megabytes(long kilobytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1fMB", static_cast<double>(kilobytes) / 1024.0);
  return text;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1fs", value);
  return text;
}

void checkSettled(Outcome& outcome, pid_t pid, const ProcessFigures& before) {
  const Settled settled = waitSettled(pid, before, kFdSettle, kThreadSettle);
  outcome.check(settled.fdsBack,
                "fds back " + figures(before.fds, settled.last.fds, settled.fdSeconds));
  outcome.check(settled.threadsBack,
                "threads back " +
                    figures(before.threads, settled.last.threads, settled.threadSeconds) + " (" +
                    std::to_string(settled.last.accepting) + " parked in accept())" +
                    (settled.threadsBack ? "" : "; threads wait in " + threadSummary(pid)));
}

std::optional<ServerChild> startDemo(const Options& options, const std::filesystem::path& root,
                                     const std::string& name) {
  ServerChild server;
  server.child = std::make_unique<Child>(
      std::vector<std::string>{VELMORA_DEMO_BINARY, "--port", "0", "--root", root.string()},
      options.logDir / name);
  const auto line = server.child->waitForLine("listening on ", std::chrono::seconds(20));
  if (!line) return std::nullopt;
  server.port = std::stoi(line->substr(13));
  return server;
}

std::optional<ServerChild> startRelay(const Options& options, int backendPort,
                                      const std::string& name) {
  const auto settings = options.logDir / (name + "-settings.json");
  std::filesystem::remove(settings);
  ServerChild server;
  server.child = std::make_unique<Child>(
      std::vector<std::string>{VELMORA_BINARY, "--headless", "--settings", settings.string(),
                               "--port", "0", "--backend",
                               "127.0.0.1:" + std::to_string(backendPort), "--model", "m"},
      options.logDir / name);
  const auto line = server.child->waitForLine("Open http://", std::chrono::seconds(20));
  if (!line) return std::nullopt;
  const auto slash = line->find('/', 12);
  const auto colon = line->rfind(':', slash);
  server.port = std::stoi(line->substr(colon + 1, slash - colon - 1));
  return server;
}

void stopChild(Outcome& outcome, ServerChild& server, const std::string& what) {
  const auto status = server.child->terminate();
  outcome.check(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0,
                what + " ended cleanly on SIGTERM");
  const auto report = server.child->sanitizerReport();
  outcome.check(!report, report ? what + ": " + *report : what + " printed no sanitizer report");
}

AnswerPage readAnswerPage(const Exchange& page) {
  AnswerPage answer;
  if (page.response.statusLine != "HTTP/1.1 200 OK") {
    answer.problem = "status \"" + page.response.statusLine + "\"";
    return answer;
  }
  const std::string& body = page.response.body;
  if (body.rfind(relay::pages::kAnswerPageHead, 0) != 0) {
    answer.problem = "the page does not start with the answer-page head";
    return answer;
  }
  const std::size_t start = relay::pages::kAnswerPageHead.size();
  if (body.ends_with(relay::pages::kAnswerPageTail)) {
    answer.wellFormed = true;
    answer.endsWithTail = true;
    answer.text = body.substr(start, body.size() - start - relay::pages::kAnswerPageTail.size());
    return answer;
  }
  if (body.ends_with(relay::pages::kErrorMarkupSecond)) {
    const auto markup = body.rfind(relay::pages::kErrorMarkupFirst);
    if (markup != std::string::npos && markup >= start) {
      answer.wellFormed = true;
      answer.text = body.substr(start, markup - start);
      const std::size_t from = markup + relay::pages::kErrorMarkupFirst.size();
      answer.failure =
          body.substr(from, body.size() - from - relay::pages::kErrorMarkupSecond.size());
      return answer;
    }
  }
  answer.problem = "the page ends with neither the tail nor the error markup (" +
                   std::to_string(body.size()) + " bytes)";
  return answer;
}

}  // namespace velmora::stress
