// A misbehaving model server behind `velmora --headless`, and browsers that leave mid-answer.
// Every page must end with the tail or the error markup, every piece must reach the page in
// order, and the conversation (read back from the messages of the next backend request) must
// hold exactly the answers that were produced.
#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <map>
#include <set>

#include "relay/pages.h"
#include "stress/suite.h"
#include "tests/support/fake_backend_process.h"

namespace velmora::stress {

namespace {

using namespace std::chrono_literals;
using testing::FakeBackendProcess;
using Message = std::pair<std::string, std::string>;  // role, content
using Messages = std::vector<Message>;
using nlohmann::json;

Messages messagesOf(const json& body) {
  Messages messages;
  if (!body.is_object() || !body.contains("messages") || !body["messages"].is_array())
    return messages;
  for (const auto& message : body["messages"]) {
    if (message.is_object()) {
      messages.emplace_back(message.value("role", ""), message.value("content", ""));
    }
  }
  return messages;
}

std::string describe(const Messages& messages) {
  std::string text = std::to_string(messages.size()) + " messages [";
  for (std::size_t i = 0; i < messages.size() && i < 6; ++i) {
    if (i > 0) text += ", ";
    text += messages[i].first + ":" + std::to_string(messages[i].second.size()) + "B";
  }
  if (messages.size() > 6) text += ", ...";
  return text + "]";
}

// The chat requests among the fake's records.
std::vector<json> chatRequests(const json& records) {
  std::vector<json> chats;
  if (!records.is_array()) return chats;
  for (const auto& record : records) {
    if (record.value("path", "") == "/v1/chat/completions")
      chats.push_back(record.value("json", json()));
  }
  return chats;
}

// The conversation as the relay holds it now: the messages of one more submission, without it.
std::optional<Messages> probeHistory(int relayPort, FakeBackendProcess& fake,
                                     const std::string& tag) {
  fake.setScenario({{"pieces", {"probe answer"}}});
  fake.reset();
  const Exchange page = roundTrip(relayPort, submitRequest("probe-" + tag, false), 30s);
  const auto chats = chatRequests(fake.waitForRequests(1, 20s));
  if (chats.empty()) return std::nullopt;
  Messages messages = messagesOf(chats.back());
  if (messages.empty() || messages.back() != Message{"user", "probe-" + tag}) return std::nullopt;
  messages.pop_back();
  return messages;
}

std::optional<Messages> probeHistory(int relayPort, RawBackend& raw, const std::string& tag) {
  const std::size_t before = raw.chatRequests().size();
  roundTrip(relayPort, submitRequest("probe-" + tag, false), 30s);
  const auto chats = raw.chatRequests();
  if (chats.size() != before + 1) return std::nullopt;
  Messages messages = messagesOf(chats.back());
  if (messages.empty() || messages.back() != Message{"user", "probe-" + tag}) return std::nullopt;
  messages.pop_back();
  return messages;
}

void checkHistory(Outcome& outcome, const std::optional<Messages>& history,
                  const Messages& expected) {
  if (!history) {
    outcome.check(false, "the conversation could not be read back");
  } else {
    outcome.check(*history == expected,
                  "conversation holds " + describe(*history) +
                      (*history == expected ? "" : ", expected " + describe(expected)));
  }
}

// Waits until the fake has no backend connection open but the control call's own: every answer
// has ended.
bool waitForQuietBackend(FakeBackendProcess& fake, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto answer = fake.call("GET", "/_control/connections");
    if (answer.status == 200 && answer.body.value("open", -1) <= 1) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

std::string concat(const std::vector<std::string>& pieces) {
  std::string text;
  for (const auto& piece : pieces) text += piece;
  return text;
}

std::vector<std::string> numberedPieces(const std::string& tag, int count) {
  std::vector<std::string> pieces;
  for (int k = 0; k < count; ++k) pieces.push_back(tag + "-" + std::to_string(k) + " ");
  return pieces;
}

// One submission and its page: the page must have the expected text and end as expected.
void checkPage(Outcome& outcome, const std::string& what, const Exchange& page,
               const std::string& text, bool failure, const std::string& failureContains = "") {
  const AnswerPage answer = readAnswerPage(page);
  if (!answer.wellFormed) {
    outcome.check(false, what + ": " + answer.problem);
    return;
  }
  outcome.check(answer.text == text,
                what + ": " + std::to_string(answer.text.size()) + " bytes of answer on the page" +
                    (answer.text == text ? ", all pieces in order"
                                         : ", expected " + std::to_string(text.size())));
  if (failure) {
    outcome.check(!answer.endsWithTail && answer.failure.find(failureContains) != std::string::npos,
                  what + ": ends with the error markup \"" + answer.failure.substr(0, 90) + "\"");
  } else {
    outcome.check(answer.endsWithTail,
                  what + ": ends with the tail" +
                      (answer.failure.empty() ? "" : " (got error: " + answer.failure + ")"));
  }
}

class RelayScenario {
 public:
  RelayScenario(const std::string& name, const std::string& sent, ServerChild& relay)
      : outcome_{name, sent},
        relay_(relay),
        begin_(std::chrono::steady_clock::now()),
        before_(readFigures(relay.pid())),
        sampler_(relay.pid()) {}

  Outcome& outcome() { return outcome_; }

  void finish(const std::function<void(Outcome&)>& report) {
    checkSettled(outcome_, relay_.pid(), before_);
    outcome_.check(relay_.child->alive(), "relay still running");
    outcome_.peaks = sampler_.peaks();
    outcome_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
    report(outcome_);
  }

 private:
  Outcome outcome_;
  ServerChild& relay_;
  std::chrono::steady_clock::time_point begin_;
  ProcessFigures before_;
  PeakSampler sampler_;
};

// Browsers that submit a prompt and leave after the first piece, half with FIN, half with RST,
// while a normal client keeps loading the start page.
void browsersLeave(Outcome& outcome, ServerChild& relay, FakeBackendProcess& fake, int browsers) {
  roundTrip(relay.port, getRequest("/clear", false));
  fake.reset();
  json scenarios = json::array();
  std::vector<std::string> answers;
  for (int i = 0; i < browsers; ++i) {
    const auto pieces = numberedPieces("bl" + std::to_string(i), 20);
    scenarios.push_back({{"pieces", pieces}, {"delay_ms", 50}});
    answers.push_back(concat(pieces));
  }
  fake.queueScenarios(scenarios);
  NormalClient normal(relay.port, "/", std::string(relay::pages::kStartPageFirst));

  std::vector<std::future<bool>> left;
  for (int i = 0; i < browsers; ++i) {
    left.push_back(std::async(std::launch::async, [&relay, i] {
      try {
        testing::TestClient client(relay.port, 10s);
        client.send(submitRequest("leave-" + std::to_string(i), false));
        std::string seen;
        char buffer[4096];
        // The head and the first piece, then away.
        while (seen.find("-0 ") == std::string::npos) {
          const ssize_t n = ::recv(client.descriptor(), buffer, sizeof buffer, 0);
          if (n <= 0) return false;
          seen.append(buffer, static_cast<std::size_t>(n));
        }
        if (i % 2 == 0) {
          client.close();
        } else {
          client.reset();
        }
        return true;
      } catch (const std::exception&) {
        return false;
      }
    }));
  }
  int leftMidAnswer = 0;
  for (auto& future : left) leftMidAnswer += future.get() ? 1 : 0;
  const bool quiet = waitForQuietBackend(fake, 60s);
  const NormalClient::Stats stats = normal.stop();

  outcome.check(leftMidAnswer == browsers, std::to_string(leftMidAnswer) + "/" +
                                               std::to_string(browsers) +
                                               " browsers read the first piece and left");
  outcome.check(quiet, "every backend answer ran to its end");
  outcome.check(stats.errors == 0 && stats.answered > 0,
                "normal client " + std::to_string(stats.answered) + "/" +
                    std::to_string(stats.requests) + " start pages (max " +
                    std::to_string(static_cast<int>(stats.maxMs)) + " ms)" +
                    (stats.firstError.empty() ? "" : ", first error: " + stats.firstError));
  const auto history = probeHistory(relay.port, fake, "leave");
  if (!history) {
    outcome.check(false, "the conversation could not be read back");
  } else {
    std::multiset<Message> got(history->begin(), history->end());
    std::multiset<Message> expected;
    for (int i = 0; i < browsers; ++i) {
      expected.insert({"user", "leave-" + std::to_string(i)});
      expected.insert({"assistant", answers[static_cast<std::size_t>(i)]});
    }
    outcome.check(
        got == expected,
        "conversation holds " + describe(*history) + ", every left answer exactly once" +
            (got == expected ? "" : " (NOT: expected " + std::to_string(expected.size()) + ")"));
  }
  outcome.requests = stats.requests + browsers + 1;
  outcome.errors = stats.errors;
}

void tenAtOnce(Outcome& outcome, ServerChild& relay, FakeBackendProcess& fake) {
  constexpr int kStreams = 10;
  roundTrip(relay.port, getRequest("/clear", false));
  fake.reset();
  json scenarios = json::array();
  std::map<std::string, int> answerOf;
  for (int i = 0; i < kStreams; ++i) {
    const auto pieces = numberedPieces("t" + std::to_string(i), 40);
    scenarios.push_back({{"pieces", pieces}, {"delay_ms", 25}});
    answerOf[concat(pieces)] = i;
  }
  fake.queueScenarios(scenarios);

  using Clock = std::chrono::steady_clock;
  struct Timed {
    Exchange page;
    Clock::time_point begin, end;
  };
  std::vector<std::future<Timed>> pages;
  for (int i = 0; i < kStreams; ++i) {
    pages.push_back(std::async(std::launch::async, [&relay, i] {
      Timed timed;
      timed.begin = Clock::now();
      timed.page = roundTrip(relay.port, submitRequest("ten-" + std::to_string(i), false), 60s);
      timed.end = Clock::now();
      return timed;
    }));
  }
  std::set<int> seen;
  int wellFormed = 0;
  Clock::time_point lastBegin{}, firstEnd = Clock::time_point::max();
  for (auto& future : pages) {
    const Timed timed = future.get();
    lastBegin = std::max(lastBegin, timed.begin);
    firstEnd = std::min(firstEnd, timed.end);
    const AnswerPage answer = readAnswerPage(timed.page);
    if (answer.wellFormed && answer.endsWithTail) {
      ++wellFormed;
      if (const auto found = answerOf.find(answer.text); found != answerOf.end())
        seen.insert(found->second);
    }
  }
  outcome.check(wellFormed == kStreams, std::to_string(wellFormed) + "/10 pages end with the tail");
  outcome.check(static_cast<int>(seen.size()) == kStreams,
                std::to_string(seen.size()) +
                    "/10 pages hold one whole answer each, pieces in order, no two alike");
  outcome.check(lastBegin < firstEnd, "all 10 were streaming at the same moment");
  waitForQuietBackend(fake, 30s);
  const auto history = probeHistory(relay.port, fake, "ten");
  if (!history) {
    outcome.check(false, "the conversation could not be read back");
  } else {
    std::multiset<Message> got(history->begin(), history->end());
    std::multiset<Message> expected;
    for (const auto& [text, i] : answerOf) {
      expected.insert({"user", "ten-" + std::to_string(i)});
      expected.insert({"assistant", text});
    }
    outcome.check(got == expected, "conversation holds " + describe(*history) +
                                       ", each answer exactly once" +
                                       (got == expected ? "" : " (NOT as expected)"));
  }
  outcome.requests = kStreams + 1;
}

}  // namespace

void runBackendFaults(const Options& options, const std::function<void(Outcome&)>& report) {
  const std::vector<std::string> names = {"client/browser-leaves",    "backend/close-mid-stream",
                                          "backend/garbage-stream",   "backend/split-utf8",
                                          "backend/error-status",     "backend/ten-at-once",
                                          "backend/refused",          "backend/invalid-utf8",
                                          "backend/garbage-not-http", "backend/20MB-answer"};
  bool any = false;
  for (const auto& name : names) any = any || selected(options, name);
  if (!any) return;

  FakeBackendProcess fake(json::object(), std::chrono::seconds(1800));
  RawBackend raw;
  auto relay = fake.running() ? startRelay(options, fake.port(), "relay-fake") : std::nullopt;
  auto rawRelay = startRelay(options, raw.port(), "relay-raw");
  if (!relay || !rawRelay) {
    Outcome outcome{"backend/setup", "fake backend, raw backend and two velmora --headless"};
    outcome.check(false, "a relay or the fake backend did not start");
    report(outcome);
    return;
  }

  const auto scenario = [&](const std::string& name, const std::string& sent, ServerChild& server,
                            const std::function<void(Outcome&)>& body) {
    if (!selected(options, name)) return;
    RelayScenario run(name, sent, server);
    body(run.outcome());
    run.finish(report);
  };

  const int browsers = options.quick ? 10 : 40;
  scenario("client/browser-leaves",
           std::to_string(browsers) +
               " browsers submit, read the first of 20 pieces (50 ms apart), leave (FIN/RST)",
           *relay, [&](Outcome& o) { browsersLeave(o, *relay, fake, browsers); });

  scenario("backend/close-mid-stream",
           "6-piece answers cut after 3 pieces, once closed (FIN), once reset (RST)", *relay,
           [&](Outcome& o) {
             for (const char* mode : {"fin", "rst"}) {
               const auto pieces = numberedPieces(std::string("cm") + mode, 6);
               fake.setScenario({{"pieces", pieces}, {"close_after", 3}, {"close_mode", mode}});
               const std::string prompt = std::string("cut-") + mode;
               const Exchange page = roundTrip(relay->port, submitRequest(prompt, true));
               const std::string sent3 = pieces[0] + pieces[1] + pieces[2];
               checkPage(o, mode, page, sent3, true);
               checkHistory(o, probeHistory(relay->port, fake, mode),
                            {{"user", prompt}, {"assistant", sent3}});
               o.requests += 2;
             }
           });

  scenario("backend/garbage-stream",
           "a 200 stream of non-event lines, broken JSON, odd shapes and null content around 2 "
           "good pieces",
           *relay, [&](Outcome& o) {
             const std::vector<std::string> events = {
                 "garbage that is no event\n",
                 "data: {not json\n\n",
                 "data: {\"choices\":[]}\n\n",
                 "data: [1,2,3]\n\n",
                 "event: message\n: a comment\n\n",
                 "data: {\"choices\":[{\"delta\":{\"content\":\"ok-1 \"}}]}\n\n",
                 "data: {\"choices\":[{\"delta\":{\"content\":null}}]}\n\n",
                 "data: {\"choices\":[{\"delta\":{\"content\":42}}]}\n\n",
                 "data: {\"choices\":\"x\"}\n\n",
                 "data:{\"choices\":[{\"delta\":{\"content\":\"ok-2\"}}]}\n\n",
                 "data: [DONE]\n\n"};
             fake.setScenario({{"raw_events", events}});
             const Exchange page = roundTrip(relay->port, submitRequest("garbage", true));
             checkPage(o, "page", page, "ok-1 ok-2", false);
             checkHistory(o, probeHistory(relay->port, fake, "garbage"),
                          {{"user", "garbage"}, {"assistant", "ok-1 ok-2"}});
             o.requests = 2;
           });

  scenario("backend/split-utf8",
           "multi-byte pieces (é, 日本, 😀) with every character cut across two writes, then one "
           "byte per write",
           *relay, [&](Outcome& o) {
             const std::vector<std::string> pieces = {"é-1 ", "日本語-2 ", "😀-3 ", "Ünïcödé-4"};
             for (const char* split : {"utf8", "bytes"}) {
               fake.setScenario({{"pieces", pieces}, {"split", split}});
               const Exchange page = roundTrip(relay->port, submitRequest(split, true));
               checkPage(o, split, page, concat(pieces), false);
               checkHistory(o, probeHistory(relay->port, fake, split),
                            {{"user", split}, {"assistant", concat(pieces)}});
               o.requests += 2;
             }
           });

  scenario("backend/error-status",
           "HTTP 500 with a JSON error message, HTTP 503 with an error text", *relay,
           [&](Outcome& o) {
             const std::vector<std::tuple<int, json, std::string>> rows = {
                 {500, {{"error", {{"message", "model crashed"}}}}, "HTTP 500: model crashed"},
                 {503, {{"error", "No models loaded"}}, "HTTP 503: No models loaded"}};
             for (const auto& [status, body, description] : rows) {
               fake.setScenario({{"status", status}, {"error_body", body}});
               const std::string prompt = "status-" + std::to_string(status);
               const Exchange page = roundTrip(relay->port, submitRequest(prompt, true));
               checkPage(o, std::to_string(status), page, "", true, description);
               checkHistory(o, probeHistory(relay->port, fake, prompt), {{"user", prompt}});
               o.requests += 2;
             }
           });

  scenario("backend/ten-at-once",
           "10 submissions at once, 10 distinct answers of 40 pieces 25 ms apart", *relay,
           [&](Outcome& o) { tenAtOnce(o, *relay, fake); });

  scenario("backend/refused", "a submission while nothing listens on the backend's port", *rawRelay,
           [&](Outcome& o) {
             raw.pause();
             const Exchange page = roundTrip(rawRelay->port, submitRequest("refused", true));
             raw.resume();
             checkPage(o, "page", page, "", true, "connect to");
             checkHistory(o, probeHistory(rawRelay->port, raw, "refused"), {{"user", "refused"}});
             o.requests = 2;
           });

  scenario("backend/invalid-utf8",
           "a stream with lines holding bytes that are not UTF-8 (FF FE, C3 28, a surrogate) "
           "between 3 good pieces",
           *rawRelay, [&](Outcome& o) {
             raw.queueReply(RawBackend::streamReply(
                 {RawBackend::pieceEvent("u-1 "),
                  "data: {\"choices\":[{\"delta\":{\"content\":\"bad\xff\xfe\"}}]}\n\n",
                  "\xc3\x28\xff junk line\n", RawBackend::pieceEvent("u-2 \xc3\xa9 "),
                  "data: {\"choices\":[{\"delta\":{\"content\":\"\xed\xa0\x80 surrogate\"}}]}\n\n",
                  RawBackend::pieceEvent("u-3"), "data: [DONE]\n\n"}));
             const Exchange page = roundTrip(rawRelay->port, submitRequest("utf8", true));
             checkPage(o, "page", page, "u-1 u-2 \xc3\xa9 u-3", false);
             checkHistory(o, probeHistory(rawRelay->port, raw, "utf8"),
                          {{"user", "utf8"}, {"assistant", "u-1 u-2 \xc3\xa9 u-3"}});
             o.requests = 2;
           });

  scenario("backend/garbage-not-http", "bytes that are not HTTP at all instead of a status line",
           *rawRelay, [&](Outcome& o) {
             std::string garbage = "\x16\x03\x01\x02";
             garbage += '\0';
             garbage += "garbage that is not HTTP\r\n\r\n";
             garbage += '\0';
             garbage += "\xff more";
             raw.queueReply(garbage);
             const Exchange page = roundTrip(rawRelay->port, submitRequest("not-http", true));
             checkPage(o, "page", page, "", true);
             checkHistory(o, probeHistory(rawRelay->port, raw, "not-http"), {{"user", "not-http"}});
             o.requests = 2;
           });

  scenario("backend/20MB-answer", "one answer of 20480 pieces of 1 KiB (20 MiB)", *rawRelay,
           [&](Outcome& o) {
             std::vector<std::string> events;
             std::string expected;
             expected.reserve(20u << 20);
             for (int i = 0; i < 20480; ++i) {
               const std::string piece(1024, static_cast<char>('a' + i % 26));
               events.push_back(RawBackend::pieceEvent(piece));
               expected += piece;
             }
             events.push_back("data: [DONE]\n\n");
             raw.queueReply(RawBackend::streamReply(events));
             events.clear();
             const Exchange page = roundTrip(rawRelay->port, submitRequest("big", true), 120s);
             checkPage(o, "page", page, expected, false);
             checkHistory(o, probeHistory(rawRelay->port, raw, "big"),
                          {{"user", "big"}, {"assistant", expected}});
             // Let the conversation go before the figures are compared.
             roundTrip(rawRelay->port, getRequest("/clear", false));
             o.requests = 3;
           });

  if (selected(options, "backend/relays-exit")) {
    Outcome outcome{"backend/relays-exit", "SIGTERM to both relays after the backend faults"};
    const auto begin = std::chrono::steady_clock::now();
    stopChild(outcome, *relay, "relay (fake backend)");
    stopChild(outcome, *rawRelay, "relay (raw backend)");
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    report(outcome);
  }
}

// ---- The backend that never answers ----

struct HangScenario::State {
  Options options;
  std::chrono::steady_clock::time_point begin;
  std::unique_ptr<FakeBackendProcess> fake;
  std::optional<ServerChild> relay;
  ProcessFigures before;
  std::unique_ptr<PeakSampler> sampler;
  std::future<Exchange> page;
};

HangScenario::HangScenario(const Options& options) : state_(std::make_unique<State>()) {
  state_->options = options;
  state_->begin = std::chrono::steady_clock::now();
  state_->fake =
      std::make_unique<FakeBackendProcess>(json{{"hang", true}}, std::chrono::seconds(1800));
  if (!state_->fake->running()) return;
  state_->relay = startRelay(options, state_->fake->port(), "relay-hang");
  if (!state_->relay) return;
  state_->before = readFigures(state_->relay->pid());
  state_->sampler = std::make_unique<PeakSampler>(state_->relay->pid(), 100ms);
  const int port = state_->relay->port;
  state_->page = std::async(std::launch::async,
                            [port] { return roundTrip(port, submitRequest("hang", true), 200s); });
}

HangScenario::~HangScenario() = default;

void HangScenario::finish(const std::function<void(Outcome&)>& report) {
  Outcome outcome{"backend/hang",
                  "a submission to a backend that reads the request and never answers"};
  State& s = *state_;
  if (!s.relay || !s.page.valid()) {
    outcome.check(false, "the fake backend or the relay did not start");
    report(outcome);
    return;
  }
  const Exchange page = s.page.get();
  checkPage(outcome, "page", page, "", true, "too slow");
  outcome.check(page.seconds >= 110 && page.seconds <= 180,
                "the page ended after " + seconds(page.seconds) + " (the 120 s idle timeout)");
  s.fake->setScenario(json{{"hang", false}});
  checkHistory(outcome, probeHistory(s.relay->port, *s.fake, "hang"), {{"user", "hang"}});
  checkSettled(outcome, s.relay->pid(), s.before);
  outcome.peaks = s.sampler->peaks();
  outcome.requests = 2;
  stopChild(outcome, *s.relay, "relay");
  outcome.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - s.begin).count();
  report(outcome);
}

}  // namespace velmora::stress
