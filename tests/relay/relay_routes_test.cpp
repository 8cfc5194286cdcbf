#include "relay/relay_routes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/response.h"
#include "relay/pages.h"
#include "tests/relay/relay_fixture.h"

namespace velmora::relay {
namespace {

using ::testing::HasSubstr;
using testing::postRequest;
using testing::readUntilContains;
using testing::sentMessages;
using ::testing::StartsWith;
using velmora::testing::parseResponse;
using velmora::testing::TestClient;

const std::string kHead(pages::kAnswerPageHead);
const std::string kTail(pages::kAnswerPageTail);

std::string answerPage(const std::string& text) {
  return kHead + text + kTail;
}

std::string startPage(const std::string& initialMessage) {
  return std::string(pages::kStartPageFirst) + initialMessage +
         std::string(pages::kStartPageSecond);
}

class RelayRoutesTest : public testing::RelayFixture {
 protected:
  // Posts a form to "/submit" and reads the whole answer until the relay closes the connection.
  std::string submit(const std::string& form) {
    TestClient client(port_);
    client.send(postRequest("/submit", form));
    return client.readUntilClose();
  }

  void SetUp() override {
    RelayFixture::SetUp();
    port_ = start();
    ASSERT_GT(port_, 0);
  }

  int port_ = 0;
};

TEST_F(RelayRoutesTest, StartPageCarriesTheInitialMessageUnescapedForEveryMethod) {
  harness.onMain([&] { harness.view().initMessage.setText("<h1>Hi & welcome</h1>"); });
  for (const char* method : {"GET", "POST", "PUT"}) {
    SCOPED_TRACE(method);
    TestClient client(port_);
    client.send(std::string(method) + " / HTTP/1.1\r\nHost: relay\r\nContent-Length: 0\r\n\r\n");
    const auto response = parseResponse(client.readResponse());
    EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.header("Content-Type"), "text/html");
    EXPECT_EQ(response.body, startPage("<h1>Hi & welcome</h1>"));
  }
  harness.onMain([&] { harness.view().initMessage.setText(""); });
  TestClient client(port_);
  client.send("GET / HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_EQ(parseResponse(client.readResponse()).body, startPage(""));
}

TEST_F(RelayRoutesTest, AnswerPageIsTheHeadThePiecesAndTheTailThenTheConnectionCloses) {
  harness.onMain([&] { harness.view().sysPrompt.setText("Be brief"); });
  fake.setScenario({{"pieces", {"Hello", ", ", "world", "!"}}});
  const std::string raw = submit("prompt=hi&reset=1");
  EXPECT_EQ(raw, "HTTP/1.1 200 OK\r\nServer: " + http::serverHeaderValue() +
                     "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: "
                     "no-cache\r\nX-Accel-Buffering: no\r\n\r\n" +
                     answerPage("Hello, world!"));

  const auto records = fake.waitForRequests(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["json"]["model"], "m");
  EXPECT_EQ(records[0]["json"]["stream"], true);
  EXPECT_EQ(sentMessages(records[0]),
            (std::vector<ChatMessage>{{"system", "Be brief"}, {"user", "hi"}}));
  ASSERT_TRUE(waitForHistorySize(2));
  EXPECT_EQ(history(), (std::vector<ChatMessage>{{"user", "hi"}, {"assistant", "Hello, world!"}}));
  const auto monitor = monitorHistory();
  EXPECT_THAT(monitor, ::testing::Contains("Processing request...\nUser: hi"));
  EXPECT_EQ(monitor.back(), "Server is running on http://192.168.1.20:0\nModel: m");
}

TEST_F(RelayRoutesTest, OneBytePerWriteGivesTheSamePageAndTheSameStoredAnswer) {
  const nlohmann::json pieces = {"<think>plan</think>", "Ünï", "cödé 日本", " <b>&"};
  const std::string expectedPage = answerPage("<think>plan</think>Ünïcödé 日本 &lt;b&gt;&amp;");
  for (const char* split : {"lines", "bytes", "utf8"}) {
    SCOPED_TRACE(split);
    fake.setScenario({{"pieces", pieces}, {"split", split}});
    const auto response = parseResponse(submit("prompt=x&reset=1"));
    EXPECT_EQ(response.body, expectedPage);
    ASSERT_TRUE(waitForHistorySize(2));
    EXPECT_EQ(history(),
              (std::vector<ChatMessage>{{"user", "x"}, {"assistant", "Ünïcödé 日本 <b>&"}}));
  }
}

TEST_F(RelayRoutesTest, FailedBackendRequestsEndThePageWithTheErrorMarkup) {
  fake.setScenario({{"status", 400}, {"error_body", {{"error", "No models loaded"}}}});
  EXPECT_EQ(parseResponse(submit("prompt=hi&reset=1")).body,
            kHead + std::string(pages::kErrorMarkupFirst) + "HTTP 400: No models loaded" +
                std::string(pages::kErrorMarkupSecond));
  harness.settle();
  EXPECT_EQ(history(), (std::vector<ChatMessage>{{"user", "hi"}}));
  EXPECT_EQ(
      monitorText(),
      "[Error: HTTP 400: No models loaded]\nServer is running on http://192.168.1.20:0\nModel: m");

  // A backend that is not there at all.
  harness.onMain([&] {
    harness.view().studioPort.setText(std::to_string(velmora::testing::unusedLoopbackPort()));
    ASSERT_TRUE(harness.controller->applyBackendAddress(app::ViewController::BackendField::port));
  });
  const std::string body = parseResponse(submit("prompt=again")).body;
  EXPECT_THAT(body, StartsWith(kHead + std::string(pages::kErrorMarkupFirst)));
  EXPECT_THAT(body, HasSubstr("Couldn't connect to server]</div></body></html>"));
  harness.settle();
  EXPECT_EQ(history(), (std::vector<ChatMessage>{{"user", "hi"}, {"user", "again"}}));
  EXPECT_THAT(monitorText(), StartsWith("[Error: Failed to connect to 127.0.0.1 port "));
}

TEST_F(RelayRoutesTest, FormDecodingAndTheResetRule) {
  struct Row {
    const char* name;
    std::string form;
    std::string prompt;
    int resetNotices;
    bool historyEmptied;
  };
  const std::vector<Row> rows = {
      {"plus and escapes", "prompt=a%2Bb+c&reset=1", "a+b c", 1, true},
      {"a second '=' drops the field", "prompt=a=b", "", 0, false},
      {"names are case-sensitive", "Prompt=x", "", 0, false},
      {"a bad escape gives empty", "prompt=%ZZ", "", 0, false},
      {"escaped bytes that are not UTF-8", "prompt=%FF%FE", "", 0, false},
      {"empty parts are dropped", "&&prompt==x&", "x", 0, false},
      {"no value: ignored", "prompt=&prompt=kept&prompt=", "kept", 0, false},
      {"the later prompt wins", "prompt=one&prompt=two", "two", 0, false},
      {"reset 0 announces but keeps", "prompt=p&reset=0", "p", 1, false},
      {"1 then 0 keeps", "reset=1&reset=0&prompt=p", "p", 2, false},
      {"0 then 1 empties", "reset=0&reset=1&prompt=p", "p", 2, true},
      {"escaped reset value", "reset=%31&prompt=p", "p", 1, true},
      {"unknown fields ignored", "x=1&prompt=p&reset", "p", 0, false},
  };
  harness.onMain([&] { harness.view().sysPrompt.setText(" "); });
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    harness.onMain([&] {
      harness.controller->resetChatHistory();
      harness.controller->appendUserMessage("old");
      harness.controller->appendAssistantMessage("A");
      harness.view().monitor.history.clear();
    });
    fake.reset();
    EXPECT_EQ(parseResponse(submit(row.form)).body, answerPage("Hello, world!"));

    const auto records = fake.waitForRequests(1);
    ASSERT_EQ(records.size(), 1u);
    std::vector<ChatMessage> expected = {{"system", " "}};
    if (!row.historyEmptied) {
      expected.push_back({"user", "old"});
      expected.push_back({"assistant", "A"});
    }
    expected.push_back({"user", row.prompt});
    EXPECT_EQ(sentMessages(records[0]), expected);

    // The user's turns, the answer; the system prompt is not stored.
    ASSERT_TRUE(waitForHistorySize((row.historyEmptied ? 0 : 2) + 2));
    const auto monitor = monitorHistory();
    std::vector<std::string> notices(static_cast<std::size_t>(row.resetNotices),
                                     "チャット履歴を初期化しました。");
    // The notices come first, then the prompt, then the status line of the finished answer.
    std::vector<std::string> expectedMonitor = notices;
    expectedMonitor.push_back("Processing request...\nUser: " + row.prompt);
    expectedMonitor.push_back("Server is running on http://192.168.1.20:0\nModel: m");
    EXPECT_EQ(monitor, expectedMonitor);
  }
}

TEST_F(RelayRoutesTest, AFormThatIsNotUtf8SendsAnEmptyPrompt) {
  fake.reset();
  submit("prompt=ok&x=\xff");
  const auto records = fake.waitForRequests(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(sentMessages(records[0]), (std::vector<ChatMessage>{{"user", ""}}));
}

TEST_F(RelayRoutesTest, ClearAnswersEveryMethodWithARedirectAndEmptiesTheConversation) {
  for (const char* method : {"GET", "POST", "DELETE"}) {
    SCOPED_TRACE(method);
    harness.onMain([&] { harness.controller->appendUserMessage("x"); });
    TestClient client(port_);
    client.send(std::string(method) +
                " /clear HTTP/1.1\r\nHost: relay\r\nContent-Length: 0\r\n\r\n");
    const auto response = parseResponse(client.readResponse());
    EXPECT_THAT(response.statusLine, StartsWith("HTTP/1.1 301 "));
    EXPECT_EQ(response.header("Location"), "/");
    EXPECT_TRUE(history().empty());
  }
  // "/submit" is for POST only.
  TestClient client(port_);
  client.send("GET /submit HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_THAT(parseResponse(client.readResponse()).statusLine, StartsWith("HTTP/1.1 404 "));
}

TEST_F(RelayRoutesTest, TwoSubmissionsStreamAtOnce) {
  fake.queueScenarios(
      {{{"pieces", {"A1", "A2"}}, {"delay_ms", 500}}, {{"pieces", {"B1"}}, {"delay_ms", 500}}});
  TestClient first(port_);
  first.send(postRequest("/submit", "prompt=first&reset=1"));
  fake.waitForRequests(1);
  TestClient second(port_);
  second.send(postRequest("/submit", "prompt=second"));
  const auto records = fake.waitForRequests(2);
  ASSERT_EQ(records.size(), 2u);
  // Both prompts were in the conversation before either answer came back.
  EXPECT_EQ(sentMessages(records[1]),
            (std::vector<ChatMessage>{{"user", "first"}, {"user", "second"}}));

  EXPECT_EQ(parseResponse(first.readUntilClose()).body, answerPage("A1A2"));
  EXPECT_EQ(parseResponse(second.readUntilClose()).body, answerPage("B1"));
  ASSERT_TRUE(waitForHistorySize(4));
  const auto messages = history();
  EXPECT_EQ(messages[0], (ChatMessage{"user", "first"}));
  EXPECT_EQ(messages[1], (ChatMessage{"user", "second"}));
  EXPECT_THAT(messages, ::testing::Contains(ChatMessage{"assistant", "A1A2"}));
  EXPECT_THAT(messages, ::testing::Contains(ChatMessage{"assistant", "B1"}));
}

TEST_F(RelayRoutesTest, AClientThatLeavesMidAnswerStillGetsItsAnswerStoredAndFreesItsThread) {
  fake.setScenario({{"pieces", {"first", "second", "third"}}, {"delay_ms", 300}});
  {
    TestClient client(port_);
    client.send(postRequest("/submit", "prompt=bye&reset=1"));
    std::string received;
    ASSERT_TRUE(readUntilContains(client.descriptor(), received, kHead + "first"));
    client.reset();
  }
  ASSERT_TRUE(waitForHistorySize(2));
  EXPECT_EQ(history(),
            (std::vector<ChatMessage>{{"user", "bye"}, {"assistant", "firstsecondthird"}}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (harness.controller->webServer->openConnectionCount() > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(harness.controller->webServer->openConnectionCount(), 0u);
  // The relay still answers.
  EXPECT_EQ(parseResponse(submit("prompt=next")).body, answerPage("firstsecondthird"));
}

// A browser's visit: the start page, a prompt whose answer grows while the backend streams, a
// follow-up sent from the answer page with the history, and "Clear History".
TEST_F(RelayRoutesTest, DoneWhenABrowserChatsThroughTheRelay) {
  harness.onMain([&] { harness.view().initMessage.setText("<h1>Velmora</h1>"); });
  {
    TestClient client(port_);
    client.send("GET / HTTP/1.1\r\nHost: relay\r\nConnection: keep-alive\r\n\r\n");
    const auto response = parseResponse(client.readResponse());
    EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.body, startPage("<h1>Velmora</h1>"));
  }

  fake.setScenario({{"pieces", {"Hi", " there", ", friend"}}, {"delay_ms", 500}});
  {
    TestClient client(port_);
    client.send(postRequest("/submit", "prompt=Hello+there&reset=1"));
    std::string received;
    ASSERT_TRUE(readUntilContains(client.descriptor(), received, kHead + "Hi"));
    // The first piece is on the page while the backend is still writing the rest.
    EXPECT_EQ(received.find("</html>"), std::string::npos);
    EXPECT_EQ(received.find(", friend"), std::string::npos);
    received += client.readUntilClose();
    EXPECT_EQ(parseResponse(received).body, answerPage("Hi there, friend"));
  }
  ASSERT_TRUE(waitForHistorySize(2));

  // The answer page's form has no "reset" field: the conversation goes on.
  ASSERT_EQ(kTail.find("name=\"reset\""), std::string::npos);
  fake.setScenario({{"pieces", {"Again!"}}});
  fake.reset();
  EXPECT_EQ(parseResponse(submit("prompt=And+again")).body, answerPage("Again!"));
  const auto records = fake.waitForRequests(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(sentMessages(records[0]), (std::vector<ChatMessage>{{"user", "Hello there"},
                                                                {"assistant", "Hi there, friend"},
                                                                {"user", "And again"}}));
  ASSERT_TRUE(waitForHistorySize(4));

  // "Clear History" loads "/clear", which leads back to the start page.
  {
    TestClient client(port_);
    client.send("GET /clear HTTP/1.1\r\nHost: relay\r\n\r\n");
    const auto redirect = parseResponse(client.readResponse());
    EXPECT_THAT(redirect.statusLine, StartsWith("HTTP/1.1 301 "));
    EXPECT_EQ(redirect.header("Location"), "/");
  }
  {
    TestClient client(port_);
    client.send("GET / HTTP/1.1\r\nHost: relay\r\n\r\n");
    EXPECT_EQ(parseResponse(client.readResponse()).body, startPage("<h1>Velmora</h1>"));
  }
  EXPECT_TRUE(history().empty());
}

// ---- Starting the relay ----

class StartWebServerTest : public testing::RelayFixture {};

TEST_F(StartWebServerTest, SuccessRegistersTheRoutesAndReportsTheStatus) {
  ::testing::internal::CaptureStdout();
  const int port = start();
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_GT(port, 0);
  EXPECT_THAT(printed, HasSubstr("✅ startWebServer() succeeded\n"));
  EXPECT_EQ(harness.controller->serverIP, std::optional<std::string>("192.168.1.20"));
  EXPECT_EQ(monitorText(), "Server is running on http://192.168.1.20:0\nModel: m");
  EXPECT_THAT(harness.controller->webServer->routes(),
              ::testing::IsSupersetOf({"/api/chat", "/submit", "/clear"}));
  // Starting again after a stop registers the same routes again and serves.
  harness.controller->webServer->stop();
  const int again = start();
  TestClient client(again);
  client.send("GET / HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_EQ(parseResponse(client.readResponse()).statusLine, "HTTP/1.1 200 OK");
}

TEST_F(StartWebServerTest, FailuresAreReportedOnTheConsoleAndInTheMonitor) {
  // A port that another socket holds.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int busyPort = ntohs(address.sin_port);

  struct Row {
    const char* name;
    std::string portText;
    std::string descriptionStart;
  };
  const std::vector<Row> rows = {
      {"port in use", std::to_string(busyPort), "bindFailed("},
      {"above 65535", "70000", "port 70000 is outside 0 to 65535"},
      {"negative", "-1", "port -1 is outside 0 to 65535"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    harness.onMain([&] {
      harness.view().serverPort.setText(row.portText);
      harness.controller->isRunning = true;
    });
    ::testing::internal::CaptureStdout();
    harness.onMain([&] { harness.controller->startWebServer(); });
    harness.settle();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(printed, HasSubstr("WebServer failed to start: " + row.descriptionStart));
    EXPECT_THAT(monitorText(), StartsWith("Failed to start server: " + row.descriptionStart));
    bool running = true;
    harness.onMain([&] { running = harness.controller->isRunning; });
    EXPECT_FALSE(running);
    EXPECT_FALSE(harness.controller->webServer->isServing());
  }
  ::close(holder);
}

}  // namespace
}  // namespace velmora::relay
