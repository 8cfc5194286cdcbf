// The relay's routes as browsers and programs meet them: a real controller on headless controls,
// libcurl, and the fake model server, spoken to in raw bytes.
#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "platform/host_addresses.h"
#include "relay/web/access_control.h"
#include "tests/app/controller_rig.h"
#include "tests/support/fake_backend.h"
#include "tests/support/test_client.h"

namespace velmora::relay {
namespace {

using Turns = std::vector<std::string>;
using testing::BackendAnswer;
using testing::bodyOf;
using testing::headerValue;
using testing::streamEvent;

// The pages as they were asked for, byte for byte.
const std::string kStartFirst =
    "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>Velmora</title></head>\n<body>\n"
    " <form action=\"/submit\" method=\"post\">\n ";
const std::string kStartSecond =
    "\n <br>\n <div style=\"text-align: center;\">\n <textarea id=\"prompt\" name=\"prompt\" "
    "rows=\"10\" style=\"width: 90%; overflow:auto; resize: vertical;\"></textarea>\n </div><br>\n"
    " <input type=\"hidden\" name=\"reset\" value=\"1\">\n <div style=\"text-align: right; width: "
    "90%; margin: 0 auto;\">\n <input type=\"submit\" value=\"Send\">\n </div>\n  </form>\n"
    "</body>\n</html>";
const std::string kAnswerHead =
    "<!DOCTYPE html>\n<html>\n<style>\nthink,thought,reason {\n color: gray;\n font-size: 0.8em;\n"
    "}\n</style>\n<head><meta charset=\"utf-8\"><title>Velmora</title></head>\n<body><div "
    "style=\"white-space: pre-wrap;\">";
const std::string kAnswerTail =
    "</div>\n<br></br>\n<form action=\"/submit\" method=\"post\">\n <div style=\"text-align: "
    "center;\">\n <textarea name=\"prompt\" rows=\"10\" style=\"display: block; margin: 0 auto; "
    "width: 90%; overflow:auto; resize: vertical;\"></textarea>\n </div>\n<br>\n <div "
    "style=\"display: flex; justify-content: flex-end; gap: 10px; width: 90%; margin: 0 "
    "auto;\">\n  <button onclick=\"window.location.href='/clear'\" type=\"button\">Clear "
    "History</button>\n  <button type=\"submit\">Send</button>\n</div>\n</form>\n<br>\n</body>\n"
    "</html>";
const std::string kErrorFirst = "<div style=\"white-space: pre-wrap;\">[Error: ";
const std::string kErrorSecond = "]</div></body></html>";

std::string page(const std::string& text) {
  return kAnswerHead + text + kAnswerTail;
}
const auto statusLine = [](const std::string& a) { return a.substr(0, a.find('\r')); };
std::string request(const std::string& head, const std::string& body = "",
                    const std::string& fields = "") {
  return head + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + fields +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
BackendAnswer answerOf(std::vector<std::string> writes,
                       BackendAnswer::End end = BackendAnswer::End::complete) {
  return {200, "text/event-stream", std::move(writes), std::chrono::milliseconds(50), end};
}

class RelayWireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.onMain([&] {
      rig.view.studioIP.setText("127.0.0.1");
      rig.view.studioPort.setText(std::to_string(backend.port()));
      ASSERT_TRUE(rig.controller->applyBackendAddress(app::ViewController::BackendField::port));
      rig.view.serverPort.setText("0");
      rig.view.initMessage.setText("<h1>Hi & welcome</h1>");
      rig.view.setModel.addItems({"fake-model"});
      rig.view.setModel.selectItemWithTitle("fake-model");
      rig.controller->setModelChanged();
      rig.controller->startWebServer();
    });
    port = rig.controller->webServer->port();
  }
  std::string exchange(const std::string& bytes) {
    testing::TestClient browser(port);
    browser.send(bytes);
    return browser.readUntilClose();
  }
  void answerWith(BackendAnswer answer) {
    backend.respond([answer](const testing::BackendRequest&) { return answer; });
  }
  Turns conversation() {
    Turns turns;
    for (const auto& m : rig.controller->chatMessages())
      turns.push_back(m.role + ": " + m.content + (m.stopped ? " [stopped]" : ""));
    return turns;
  }
  Turns sentTurns() {
    const auto sent = nlohmann::json::parse(backend.requests().back().body);
    Turns turns;
    for (const auto& m : sent.at("messages"))
      turns.push_back(m.value("role", "") + ": " + m.value("content", ""));
    return turns;
  }

  testing::FakeBackend backend;
  platform::CurlHttpClient curl;
  app::ControllerRig rig{curl};
  int port = 0;
};

TEST_F(RelayWireTest, ABrowserChatsContinuesStartsAfreshAndClears) {
  EXPECT_EQ(bodyOf(exchange(request("GET /"))),
            kStartFirst + "<h1>Hi & welcome</h1>" + kStartSecond);
  answerWith(testing::streamedAnswer({"<think>plan</think>", "x < y", " & z"}));
  const std::string answer = exchange(request("POST /submit", "prompt=a+%3Cb%3E&reset=1"));
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(headerValue(answer, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(headerValue(answer, "Cache-Control"), "no-cache");
  EXPECT_EQ(headerValue(answer, "X-Accel-Buffering"), "no");
  EXPECT_EQ(bodyOf(answer), page("<think>plan</think>x &lt; y &amp; z"));
  EXPECT_EQ(conversation(), (Turns{"user: a <b>", "assistant: x < y & z"}));
  EXPECT_TRUE(rig.controller->chatMessages().back().rendering.html);  // once, on joining

  backend.respond(testing::FakeBackend::defaultAnswer);
  EXPECT_EQ(bodyOf(exchange(request("POST /submit", "prompt=more&reset=0"))),
            page("You said: more"));
  EXPECT_EQ(sentTurns(), (Turns{"user: a <b>", "assistant: x < y & z", "user: more"}));
  EXPECT_EQ(bodyOf(exchange(request("POST /submit", "reset=1&prompt=new"))), page("You said: new"));
  EXPECT_EQ(sentTurns(), Turns{"user: new"});
  EXPECT_EQ(conversation(), (Turns{"user: new", "assistant: You said: new"}));

  // The "Clear History" button of the answer page, which browsers must not remember.
  const std::string cleared =
      exchange(request("GET /clear", "", "Referer: http://127.0.0.1/submit\r\n"));
  EXPECT_EQ(statusLine(cleared), "HTTP/1.1 303 See Other");
  EXPECT_EQ(headerValue(cleared, "Location"), "/");
  EXPECT_EQ(headerValue(cleared, "Cache-Control"), "no-store");
  EXPECT_EQ(conversation(), Turns{});
}

TEST_F(RelayWireTest, ASubmissionNeverWaitsForTheMainThread) {
  rig.onMain([&] {
    rig.view.sysPrompt.setText("Be brief");
    rig.controller->sysPromptDidChange();
  });
  std::promise<void> busy;
  rig.queue.async([until = busy.get_future().share()] { until.wait(); });
  const std::string answer = exchange(request("POST /submit", "prompt=hi&reset=1"));
  EXPECT_EQ(bodyOf(answer), page("You said: hi"));
  EXPECT_EQ(sentTurns(), (Turns{"system: Be brief", "user: hi"}));
  EXPECT_EQ(nlohmann::json::parse(backend.requests().back().body).at("model"), "fake-model");
  // The answer joined before its page ended: the next prompt carries it, main thread or not.
  exchange(request("POST /submit", "prompt=next&reset=0"));
  busy.set_value();
  EXPECT_EQ(sentTurns(),
            (Turns{"system: Be brief", "user: hi", "assistant: You said: hi", "user: next"}));
}

// Pages and programs read the answer while the model writes it, and an answer that ends after
// its conversation was cleared stays out of the new one.
TEST_F(RelayWireTest, AnswersStreamAndOneToAClearedConversationStaysOutOfTheNewOne) {
  const std::pair<const char*, std::string> rows[] = {
      {"/submit", request("POST /submit", "prompt=old&reset=1")},
      {"/api/chat", request("POST /api/chat", R"({"messages":[]})")},
  };
  for (const auto& [name, sent] : rows) {
    SCOPED_TRACE(name);
    std::promise<void> cleared;  // the model's second piece waits until the client saw the first
    BackendAnswer answer = testing::streamedAnswer({"old ", "answer"});
    answer.heldAfterFirst = cleared.get_future().share();
    answerWith(answer);
    const std::size_t before = backend.requests().size();
    testing::TestClient browser(port);
    browser.send(sent);
    std::string got = browser.readUntil("old ");
    EXPECT_NE(got.find("old "), std::string::npos) << "held back: " << got;
    std::optional<testing::TestClient> overlapping;  // a prompt sent before the first is answered
    if (std::string_view(name) == "/submit") {
      overlapping.emplace(port);
      overlapping->send(request("POST /submit", "prompt=two&reset=0"));
      ASSERT_EQ(backend.waitForRequests(before + 2).size(), before + 2);
      EXPECT_EQ(sentTurns(), Turns{"user: old\n\ntwo"});  // one turn: the roles alternate
    }
    exchange(request("POST /clear"));
    cleared.set_value();
    got += browser.readUntilClose();
    EXPECT_NE(got.find("old answer"), std::string::npos) << got;
    if (overlapping) overlapping->readUntilClose();
    EXPECT_EQ(conversation(), Turns{});
  }
}

TEST_F(RelayWireTest, AFailedAnswerEndsWithTheErrorMarkupAndKeepsWhatArrived) {
  const std::string hel = streamEvent(R"({"content":"Hel"})");
  const std::string lo = streamEvent(R"({"content":"lo"})");
  const std::string failure = "data: {\"error\":{\"message\":\"overloaded\"}}\n\n";
  struct Row {
    const char* name;
    BackendAnswer answer;
    std::string shown, error;  // what surely arrived before the failure; its description
    bool whole;                // nothing more may show
  };
  const Row rows[] = {
      {"error status", testing::jsonAnswer(400, R"({"error":{"message":"No <model>"}})"), "",
       "HTTP 400: No &lt;model&gt;]", true},
      {"cut mid-answer", answerOf({hel, lo}, BackendAnswer::End::cut), "Hello", "", true},
      {"reset mid-answer", answerOf({hel, lo}, BackendAnswer::End::reset), "Hel", "", false},
      {"error event", answerOf({hel, failure, lo}), "Hel", "overloaded]", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    answerWith(row.answer);
    const std::string body = bodyOf(exchange(request("POST /submit", "prompt=hi&reset=1")));
    ASSERT_TRUE(body.starts_with(kAnswerHead + row.shown)) << body;
    const std::size_t markup = body.find(kErrorFirst, kAnswerHead.size());
    ASSERT_NE(markup, std::string::npos) << body;
    EXPECT_NE(body.find(row.error, markup), std::string::npos) << body;
    EXPECT_TRUE(body.ends_with(kErrorSecond)) << body;
    const std::string partial = body.substr(kAnswerHead.size(), markup - kAnswerHead.size());
    if (row.whole) {
      EXPECT_EQ(partial, row.shown);
    }
    EXPECT_EQ(conversation(),
              (partial.empty() ? Turns{"user: hi"}
                               : Turns{"user: hi", "assistant: " + partial + " [stopped]"}));
    EXPECT_TRUE(rig.monitor().starts_with("[Error: ")) << rig.monitor();
  }
  // Broken off inside the model's reasoning: the page closes it before the error, and the stored
  // turn leaves it out.
  answerWith(answerOf({streamEvent(R"({"content":"ok <think>plan"})"), failure}));
  EXPECT_EQ(bodyOf(exchange(request("POST /submit", "prompt=hi&reset=1"))),
            kAnswerHead + "ok <think>plan</think>" + kErrorFirst + "overloaded" + kErrorSecond);
  EXPECT_EQ(conversation(), (Turns{"user: hi", "assistant: ok  [stopped]"}));

  // A failed answer leaves its prompt alone; the next goes out joined with it.
  answerWith(testing::jsonAnswer(503, R"({"error":"busy"})"));
  exchange(request("POST /submit", "prompt=one&reset=1"));
  backend.respond(testing::FakeBackend::defaultAnswer);
  exchange(request("POST /submit", "prompt=two&reset=0"));
  EXPECT_EQ(sentTurns(), Turns{"user: one\n\ntwo"});
}

TEST_F(RelayWireTest, ReasoningFieldsShowInThinkAndNeverJoinTheConversation) {
  answerWith(answerOf({streamEvent(R"({"reasoning_content":"plan <a>"})"),
                       streamEvent(R"({"content":"Answer"})"), "data: [DONE]\n\n"}));
  EXPECT_EQ(bodyOf(exchange(request("POST /submit", "prompt=q&reset=1"))),
            page("<think>plan &lt;a&gt;</think>Answer"));
  // /api/chat: forced to stream, the rest of the body untouched; the text comes back unescaped.
  const std::string answer = exchange(request("POST /api/chat", R"({"stream":false,"n":1})"));
  EXPECT_EQ(bodyOf(answer), "<think>plan <a></think>Answer" + kAnswerTail);
  EXPECT_EQ(backend.requests().back().body, R"({"stream":true,"n":1})");
  EXPECT_EQ(conversation(), (Turns{"user: q", "assistant: Answer", "assistant: Answer"}));
}

TEST_F(RelayWireTest, OpenAIRoutesPassTheBackendsBytesThrough) {
  const std::pair<std::string, BackendAnswer> rows[] = {
      {"GET /v1/models", testing::jsonAnswer(200, R"({"data":[{"id":"a"}]})")},
      {"POST /v1/chat/completions",
       answerOf({streamEvent(R"({"content":"é"})"), ": ping\n\n", "data: [DONE]\n\n"})},
      {"POST /v1/chat/completions", testing::jsonAnswer(429, R"({"error":"slow"})")},
  };
  for (const auto& [head, sent] : rows) {
    SCOPED_TRACE(head + " " + std::to_string(sent.status));
    answerWith(sent);
    const std::string body = head.starts_with("POST") ? R"({"stream": false})" : "";
    const std::string answer = exchange(request(head, body));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + std::to_string(sent.status) + " ")) << answer;
    EXPECT_EQ(headerValue(answer, "Content-Type"), sent.contentType);
    EXPECT_EQ(headerValue(answer, "X-Accel-Buffering"), "no");
    std::string bytes;
    for (const std::string& write : sent.writes) bytes += write;
    EXPECT_EQ(bodyOf(answer), bytes);
    const testing::BackendRequest received = backend.requests().back();
    EXPECT_EQ(received.method + " " + received.target + received.body, head + body);
  }
  EXPECT_EQ(conversation(), Turns{});
}

TEST_F(RelayWireTest, AClientThatLeavesCancelsTheBackendRequest) {
  // Before the model's first byte (a long prompt), and while it is silent mid-answer.
  const std::vector<std::string> answers[] = {{}, {streamEvent(R"({"content":"first"})")}};
  for (const auto& writes : answers) {
    answerWith(answerOf(writes, BackendAnswer::End::hang));
    testing::TestClient browser(port);
    browser.send(request("POST /v1/chat/completions", R"({"stream":true})"));
    ASSERT_TRUE(backend.waitForOpenConnections(1));
    // The status line comes at once, before any piece.
    const std::string got = browser.readUntil(writes.empty() ? "\r\n\r\n" : "first");
    EXPECT_TRUE(got.starts_with("HTTP/1.1 200 ")) << got;
    browser.reset();
    EXPECT_TRUE(backend.waitForOpenConnections(0));
  }
}

TEST_F(RelayWireTest, AccessToken) {
  rig.onMain([&] {
    rig.view.accessToken.setText(" s3cret-token-1 ");
    rig.controller->accessTokenDidChange();
  });
  const std::string browser = "Accept: text/html\r\n";
  const std::string form = browser + "Content-Type: application/x-www-form-urlencoded\r\n";
  const std::string html = "text/html; charset=utf-8", json = "application/json";
  struct Row {
    const char* name;
    std::string request, status, contentType, bodyPart;
  };
  const Row rows[] = {
      {"program, no token", request("GET /v1/models"), "401", json, "missing_api_key"},
      {"wrong last byte", request("GET /v1/models", "", "Authorization: Bearer s3cret-token-2\r\n"),
       "401", json, "invalid_api_key"},
      {"browser, no token", request("GET /", "", browser), "401", html, R"(action="/signin")"},
      {"chat page, no token", request("GET /chat", "", browser), "401", html,
       R"(name="then" value="/chat")"},
      {"a photo, no token", request("GET /chat/images/0", "", browser), "401", html, "/signin"},
      {"bearer passes", request("GET /v1/models", "", "Authorization: Bearer s3cret-token-1\r\n"),
       "200", json, "fake-model"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto began = std::chrono::steady_clock::now();
    const std::string answer = exchange(row.request);
    const bool wrong = row.bodyPart == "invalid_api_key";  // a wrong guess costs its time
    EXPECT_GE(std::chrono::steady_clock::now() - began, web::kWrongTokenDelay * wrong);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + row.status + " ")) << answer;
    EXPECT_EQ(headerValue(answer, "Content-Type"), row.contentType);
    EXPECT_NE(bodyOf(answer).find(row.bodyPart), std::string::npos) << answer;
  }
  ASSERT_EQ(backend.requests().size(), 1u);  // only the request that passed, without its token
  EXPECT_EQ(backend.requests()[0].headers.count("authorization"), 0u);

  const std::string signedIn = exchange(request("POST /signin", "token=s3cret-token-1", form));
  EXPECT_EQ(statusLine(signedIn), "HTTP/1.1 303 See Other");
  EXPECT_EQ(headerValue(signedIn, "Location"), "/");
  EXPECT_EQ(
      headerValue(exchange(request("POST /signin", "token=s3cret-token-1&then=%2Fchat", form)),
                  "Location"),
      "/chat");
  const std::string cookie = headerValue(signedIn, "Set-Cookie").value_or("");
  ASSERT_TRUE(cookie.starts_with("velmora_session=")) << cookie;
  EXPECT_TRUE(cookie.ends_with("; Path=/; HttpOnly; SameSite=Strict")) << cookie;
  const std::string cookieField = "Cookie: a=1; " + cookie.substr(0, cookie.find(';')) + "\r\n";
  EXPECT_EQ(statusLine(exchange(request("GET /", "", browser + cookieField))), "HTTP/1.1 200 OK");
  EXPECT_EQ(statusLine(exchange(request("GET /v1/models", "", cookieField))), "HTTP/1.1 200 OK");
  EXPECT_EQ(backend.requests().back().headers.at("cookie"), "a=1");

  // Guessing: with the wrong bearer above, ten within a minute; then even the right token waits.
  std::vector<std::future<std::string>> guesses;
  for (int i = 0; i < 9; ++i) {
    guesses.push_back(std::async(std::launch::async, [&] {
      return exchange(request("GET /v1/models", "", "Authorization: Bearer guess\r\n"));
    }));
  }
  for (auto& guess : guesses) EXPECT_EQ(statusLine(guess.get()), "HTTP/1.1 401 Unauthorized");
  const std::string refused =
      exchange(request("GET /v1/models", "", "Authorization: Bearer s3cret\r\n"));
  EXPECT_EQ(statusLine(refused), "HTTP/1.1 429 Too Many Requests");
  const int retryAfter = std::stoi(headerValue(refused, "Retry-After").value_or("0"));
  EXPECT_TRUE(retryAfter > 0 && retryAfter <= 60) << retryAfter;
}

TEST_F(RelayWireTest, AKeyedBackendOverHttps) {
  const testing::TestCertificate tls;
  testing::FakeBackend secure(0, &tls);
  secure.requireKey("k3y");
  const std::string submit = request("POST /submit", "prompt=hi&reset=1");
  struct Row {
    const char* name;
    std::string key, caFile, sent, shown;
  };
  const Row rows[] = {
      {"right key", "k3y", tls.certificate, submit, "You said: hi"},
      // The server quotes the key it refused; no page or monitor line shows it on.
      {"wrong key", "k3-wrong", tls.certificate, submit,
       "[Error: HTTP 401: Invalid API key: Bearer [backend key]]"},
      {"wrong key, chat page", "k3-wrong", tls.certificate,
       request("POST /chat", "prompt=hi", "Content-Type: application/x-www-form-urlencoded\r\n"),
       "HTTP 401: Invalid API key: Bearer [backend key]"},
      {"untrusted certificate", "k3y", "", submit, "[Error: SSL certificate problem"},
      {"the key replaces a client's", "k3y", tls.certificate,
       request("POST /v1/chat/completions", "{}", "Authorization: Bearer other\r\n"), "You said: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    rig.onMain([&] {
      rig.view.studioIP.setText(secure.url() + "/v1/");
      EXPECT_TRUE(rig.controller->applyBackendAddress(app::ViewController::BackendField::host));
      rig.view.backendKey.setText(row.key);
      rig.view.backendCaFile.setText(row.caFile);
      rig.controller->savePrefs();  // uses both, without fetching the model list
    });
    const std::string answer = exchange(row.sent);
    EXPECT_NE(answer.find(row.shown), std::string::npos) << answer;
    EXPECT_EQ(answer.find("k3-wrong"), std::string::npos);
    EXPECT_EQ((bodyOf(exchange(request("GET /chat"))) + rig.monitor()).find("k3-wrong"),
              std::string::npos);
  }
  std::vector<std::string> keys;  // the untrusted connection never got to a request
  for (const auto& sent : secure.requests()) keys.push_back(sent.headers.at("authorization"));
  EXPECT_EQ(keys, (std::vector<std::string>{"Bearer k3y", "Bearer k3-wrong", "Bearer k3-wrong",
                                            "Bearer k3y"}));
}

TEST_F(RelayWireTest, ASubmissionWithoutAChosenModel) {
  struct Row {
    const char* name;
    std::vector<std::string> listed;
    std::string shown, sentModel;  // sentModel "": nothing reaches the backend
  };
  rig.settings->set("modelName", "saved");  // before any list is read: the saved choice
  rig.onMain([&] { rig.controller->loadSettings(); });
  exchange(request("POST /submit", "prompt=hi&reset=1"));
  EXPECT_EQ(nlohmann::json::parse(backend.requests().back().body).at("model"), "saved");
  const Row rows[] = {
      {"one model listed", {"solo"}, page("You said: hi"), "solo"},
      {"several listed", {"a", "b"}, "[Error: No model is chosen: choose a model in Velmora", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    rig.settings->set("modelName", "");
    rig.onMain([&] { rig.controller->updateModelPopup(row.listed); });
    const std::size_t before = backend.requests().size();
    EXPECT_NE(bodyOf(exchange(request("POST /submit", "prompt=hi&reset=1"))).find(row.shown),
              std::string::npos);
    EXPECT_EQ(backend.requests().size(), before + (row.sentModel.empty() ? 0 : 1));
    if (row.sentModel.empty()) continue;
    EXPECT_EQ(nlohmann::json::parse(backend.requests().back().body).at("model"), row.sentModel);
  }
}

TEST_F(RelayWireTest, TheChatPageStopsAnAnswerAtOnceButNotWhenTheBrowserLeaves) {
  const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
  const std::string first = streamEvent(R"({"content":"Abc"})");
  struct Row {
    const char* name;
    bool stop;
    BackendAnswer answer;
    Turns stored;
  };
  std::set<std::string> numbers;  // of the answers' Stop forms
  const Row rows[] = {
      {"Stop",
       true,
       answerOf({first}, BackendAnswer::End::hang),
       {"user: go <on>", "assistant: Abc [stopped]"}},
      {"browser leaves",
       false,
       {200,
        "text/event-stream",
        {first, streamEvent(R"({"content":"de<thi"})"),
         streamEvent(R"({"content":"nk>hm</think>!"})"),
         streamEvent(R"({"reasoning_content":"so"})"), "data: [DONE]\n\n"}},
       {"user: go <on>", "assistant: Abcde!"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    exchange(request("POST /chat/clear", "", form));
    std::promise<void> left;  // the rest of the answer comes once the browser has gone
    BackendAnswer answer = row.answer;
    answer.heldAfterFirst = left.get_future().share();
    answerWith(answer);
    testing::TestClient browser(port);
    browser.send(request("POST /chat", "prompt=go+%3Con%3E", form));
    std::string page = browser.readUntil("Abc");
    ASSERT_NE(page.find("Abc"), std::string::npos) << page;
    EXPECT_NE(page.find("go &lt;on&gt;"), std::string::npos) << page;
    const std::string marker = R"(name="answer" value=")";
    const std::size_t number = page.find(marker) + marker.size();
    ASSERT_LT(number, page.find("Abc")) << page;  // the Stop form came first
    const std::string id = page.substr(number, page.find('"', number) - number);
    EXPECT_TRUE(numbers.insert(id).second) << id;  // never reused, even after a restart
    if (row.stop) {
      const std::string stopped = exchange(request("POST /chat/stop", "answer=" + id, form));
      EXPECT_EQ(statusLine(stopped), "HTTP/1.1 303 See Other");
      EXPECT_EQ(headerValue(stopped, "Location"), "/chat");
      EXPECT_TRUE(backend.waitForOpenConnections(0));
      page += browser.readUntilClose();
      EXPECT_NE(page.find(R"(class="stopped")"), std::string::npos) << page;
      EXPECT_TRUE(page.ends_with("</html>\n")) << page;
    } else {
      browser.reset();
      left.set_value();
      for (int i = 0; i < 500 && conversation().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(conversation(), row.stored);
    rig.onMain([&] {
      rig.controller->webServer->stop();
      rig.controller->startWebServer();
    });
    port = rig.controller->webServer->port();
  }
}

// Photos go with a prompt as OpenAI content parts, recognised by their first bytes whatever the
// browser calls them, and come back as thumbnails; what cannot go is refused before anything is
// kept or sent.
TEST_F(RelayWireTest, TheChatPageTakesPhotosAndRefusesWhatItCannotUse) {
  const std::string png = "\x89PNG\r\n\x1A\n", full = png + std::string((10 << 20) - 8, '\0');
  const std::string pngUrl = "data:image/png;base64,iVBORw0KGgo=";
  const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
  using Files = std::vector<std::pair<std::string, std::string>>;  // file name, bytes
  const auto photos = [](const Files& files) {
    std::string body = "--B\r\nContent-Disposition: form-data; name=\"prompt\"\r\n\r\nSee?\r\n";
    for (const auto& [name, bytes] : files) {
      body += "--B\r\nContent-Disposition: form-data; name=\"images\"; filename=\"" + name +
              "\"\r\nContent-Type: image/jpeg\r\n\r\n" + bytes + "\r\n";
    }
    return request("POST /chat", body + "--B--\r\n",
                   "Content-Type: multipart/form-data; boundary=B\r\n");
  };
  const auto error = [](const std::string& reason) {
    return "<p class=\"error\">Error: " + reason + "</p>";
  };
  struct Row {
    const char* name;
    std::string sent;
    const char* limitMiB;
    int status;
    std::string shown;                   // when refused: what the page says
    std::vector<std::string> urls = {};  // when sent: the prompt's image URLs, 60 bytes of each
    std::size_t everSent = 0;            // image parts in the whole request
  };
  const Row rows[] = {
      {"a PNG called a JPEG", photos({{"holiday.png", png}}), nullptr, 200, "", {pngUrl}, 1},
      {"JPEG, WebP and GIF",
       photos({{"a", "\xFF\xD8\xFF\xE0"},
               {"b", std::string("RIFF\x04\0\0\0WEBP", 12)},
               {"c", "GIF89a"}}),
       nullptr,
       200,
       "",
       {"data:image/jpeg;base64,/9j/4A==", "data:image/webp;base64,UklGRgQAAABXRUJQ",
        "data:image/gif;base64,R0lGODlh"},
       4},
      {"no file chosen", photos({{"", ""}}), nullptr, 200, "", {}, 4},
      {"a text file named .jpg", photos({{"notes.jpg", "just words"}}), nullptr, 415,
       error("Image 1 is not a JPEG, PNG, WebP or GIF picture.")},
      {"a picture, then the start of a GIF", photos({{"a", png}, {"b", "GIF8"}}), nullptr, 415,
       error("Image 2 is not a JPEG, PNG, WebP or GIF picture.")},
      {"five pictures", photos(Files(5, {"a", png})), nullptr, 413,
       error("At most 4 images can go with one prompt; this one had 5.")},
      {"10 MiB and a byte", photos({{"a", full + "x"}}), nullptr, 413,
       error("Image 1 is larger than 10 MiB.")},
      {"10 MiB",
       photos({{"a", full}}),
       nullptr,
       200,
       "",
       {"data:image/png;base64,iVBORw0KGgoAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
       5},
      {"past the conversation's share", photos({{"a", png}}), "10", 413,
       error("The conversation's images would pass 10 MiB. Clear the conversation to send more.")},
      {"words only, with the share used up", photos({}), "10", 200, "", {}, 5},
      {"a blank prompt", request("POST /chat", "prompt=+%0A", form), nullptr, 400,
       "The prompt was empty."},
      {"no prompt", request("POST /chat", "", form), nullptr, 400, "The prompt was empty."},
      {"a Stop of no number", request("POST /chat/stop", "answer=1x", form), nullptr, 400,
       "The answer to stop was not named."},
      {"a Stop of no answer", request("POST /chat/stop", "answer=99", form), nullptr, 303, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.limitMiB) {
      rig.settings->set("conversationImagesMiB", row.limitMiB);
      rig.onMain([&] { rig.controller->loadSettings(); });
    }
    const std::size_t turns = conversation().size(), asked = backend.requests().size();
    const std::string answer = exchange(row.sent);
    EXPECT_EQ(statusLine(answer).substr(9, 3), std::to_string(row.status));
    if (row.status != 200) {
      EXPECT_NE(answer.find(row.shown), std::string::npos) << answer.substr(answer.size() - 999);
      EXPECT_EQ(row.status > 400, answer.find(">See?</textarea>") != std::string::npos);
      EXPECT_EQ(conversation().size(), turns);
      EXPECT_EQ(backend.requests().size(), asked);
      continue;
    }
    std::vector<std::string> urls;
    std::size_t everSent = 0;
    const auto sent = nlohmann::json::parse(backend.requests().back().body);
    for (const auto& turn : sent["messages"]) {
      if (!turn["content"].is_array()) continue;
      EXPECT_EQ(turn["content"][0], (nlohmann::json{{"type", "text"}, {"text", "See?"}}));
      for (const auto& part : turn["content"]) {
        if (part["type"] != "image_url") continue;
        ++everSent;
        urls.push_back(part["image_url"]["url"].get<std::string>().substr(0, 60));
      }
    }
    urls.erase(urls.begin(), urls.end() - std::min(urls.size(), row.urls.size()));
    EXPECT_EQ(urls, row.urls);
    EXPECT_EQ(everSent, row.everSent);
  }

  // Thumbnails from the relay itself, by ids nobody can guess, without the names they came with;
  // scripts only with the page's own nonce, and no other site may frame the page.
  const std::string chat = exchange(request("GET /chat"));
  const std::string policy = headerValue(chat, "Content-Security-Policy").value_or("'nonce-'");
  const std::size_t nonce = policy.find("'nonce-") + 7;
  const std::string ours = policy.substr(nonce, policy.find('\'', nonce) - nonce);
  EXPECT_EQ(policy,
            "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; script-src "
            "'nonce-" +
                ours + "'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
  EXPECT_NE(chat.find("<script nonce=\"" + ours + "\">"), std::string::npos) << chat;
  EXPECT_EQ(chat.find("holiday"), std::string::npos);
  std::vector<std::string> ids;
  for (std::size_t at = chat.find("<img src=\"/chat/images/"); at != std::string::npos;
       at = chat.find("<img src=\"/chat/images/", at + 1))
    ids.push_back(chat.substr(at + 23, chat.find('"', at + 23) - at - 23));
  ASSERT_EQ(ids.size(), 5u) << chat;
  EXPECT_EQ(ids[0].find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(ids[0].size(), 32u);
  const std::string photo = exchange(request("GET /chat/images/" + ids[0]));
  EXPECT_EQ(headerValue(photo, "Content-Type"), "image/png");
  EXPECT_EQ(headerValue(photo, "X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(bodyOf(photo), png);
  exchange(request("POST /chat/clear"));
  EXPECT_TRUE(exchange(request("GET /chat/images/" + ids[0])).starts_with("HTTP/1.1 404"));
}

// Every request that changes something or reaches the backend, as a page of another site, a
// rebinding name or a program would send it: refused ones change nothing and reach nothing.
TEST_F(RelayWireTest, OnlyTheRelaysOwnPagesAndProgramsChangeAnything) {
  rig.onMain([&] {
    rig.view.allowedHosts.setText("Proxy.example, other.example");
    rig.controller->allowedHostsDidChange();
  });
  struct Route {
    std::string method, path, body, type;
    bool guarded;
    int status;  // when allowed
  };
  const Route routes[] = {
      {"POST", "/submit", "prompt=x&reset=1", "application/x-www-form-urlencoded", true, 200},
      {"POST", "/chat", "prompt=x", "application/x-www-form-urlencoded", true, 200},
      {"POST", "/chat/clear", "", "application/x-www-form-urlencoded", true, 303},
      {"GET", "/clear", "", "text/plain", true, 0},  // 303 from its own pages, else a question
      {"POST", "/v1/chat/completions", "{}", "text/plain", true, 200},
      {"GET", "/chat", "", "text/plain", false, 200},
      {"POST", "/clear", "", "application/x-www-form-urlencoded", true, 303},  // the question's
  };
  struct Row {
    std::string name, bytes;
    int status;
    bool changes;
  };
  std::vector<Row> rows;
  const std::string allowed = "localhost:" + std::to_string(port);
  const auto bytes = [](const Route& r, const std::string& fields) {
    return r.method + " " + r.path + " HTTP/1.1\r\n" + fields + "Content-Type: " + r.type +
           "\r\nContent-Length: " + std::to_string(r.body.size()) +
           "\r\nConnection: close\r\n\r\n" + r.body;
  };
  for (const Route& route : routes)
    for (const std::string origin : {"same", "other", "null", ""})
      for (const std::string site : {"cross-site", "same-site", "same-origin", "none", ""})
        for (const std::string host : {"allowed", "foreign", ""}) {
          std::string fields = host == "allowed"   ? "Host: " + allowed + "\r\n"
                               : host == "foreign" ? "Host: rebind.attacker.example\r\n"
                                                   : "";
          if (!origin.empty()) {
            fields += "Origin: " +
                      (origin == "same"    ? "http://" + allowed
                       : origin == "other" ? "http://localhost:1"
                                           : origin) +
                      "\r\n";
          }
          if (!site.empty()) fields += "Sec-Fetch-Site: " + site + "\r\n";
          const bool ownPage = site == "same-origin" || site == "none";
          const bool otherSite =
              site == "cross-site" || site == "same-site" || origin == "other" || origin == "null";
          const int status = host.empty()                   ? 400
                             : host == "foreign"            ? 421
                             : route.guarded && otherSite   ? 403
                             : route.status == 0 && ownPage ? 303
                             : route.status == 0            ? 200
                                                            : route.status;
          rows.push_back({route.method + " " + route.path + " | Origin " + origin +
                              " | Sec-Fetch-Site " + site + " | Host " + host,
                          bytes(route, fields), status,
                          route.guarded && status / 100 != 4 && (route.status != 0 || ownPage)});
        }
  const auto own = [&](std::string field) { return "Host: " + allowed + "\r\n" + field + "\r\n"; };
  const std::tuple<const char*, Route, std::string, int, bool> single[] = {
      {"IPv6 literal", routes[5], "Host: [::1]:" + std::to_string(port) + "\r\n", 200, false},
      {"IPv4 literal", routes[5], "Host: 192.0.2.1\r\n", 200, false},
      {"localhost, root dot, capitals", routes[5], "Host: LOCALHOST.:1\r\n", 200, false},
      {"this machine", routes[5], "Host: " + platform::hostNames().front() + "\r\n", 200, false},
      {"allowed name", routes[5], "Host: proxy.EXAMPLE:8443\r\n", 200, false},
      {"two Host fields", routes[5], own("Host: " + allowed), 400, false},
      {"no host[:port]", routes[5], "Host: a b\r\n", 400, false},
      {"Referer of its own page", routes[3], own("Referer: http://" + allowed + "/"), 303, true},
      {"Referer of another", routes[3], own("Referer: http://" + allowed + ".evil/"), 200, false},
  };
  for (const auto& [name, route, fields, status, changes] : single)
    rows.push_back({name, bytes(route, fields), status, changes});
  rows.push_back({"HTTP/1.0 without Host", "GET /chat HTTP/1.0\r\n\r\n", 200, false});
  const auto state = [&] {
    rig.onMain([] {});  // an answer joins the conversation through the main queue
    if (rig.controller->chatMessages().empty()) rig.controller->appendUserMessage("seed");
    return std::tuple(rig.controller->chatGeneration(), rig.controller->chatMessages().size(),
                      backend.requests().size());
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto before = state();
    const std::string answer = exchange(row.bytes);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + std::to_string(row.status) + " ")) << answer;
    EXPECT_EQ(row.status == 421, answer.find("allowedHosts") != std::string::npos);
    EXPECT_EQ(state() != before, row.changes);
  }
}

}  // namespace
}  // namespace velmora::relay
