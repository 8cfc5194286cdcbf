#include "relay/transparent_proxy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "tests/relay/relay_fixture.h"

namespace velmora::relay {
namespace {

using ::testing::HasSubstr;
using velmora::testing::parseResponse;
using velmora::testing::TestClient;

std::optional<std::string> headerOf(const nlohmann::json& record, std::string name) {
  std::optional<std::string> value;
  for (const auto& field : record.at("headers")) {
    std::string key = field[0].get<std::string>();
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    if (key == name) value = field[1].get<std::string>();
  }
  return value;
}

class TransparentProxyTest : public testing::RelayFixture {
 protected:
  void SetUp() override {
    RelayFixture::SetUp();
    port_ = start();
    ASSERT_GT(port_, 0);
  }
  void TearDown() override { harness.controller->webServer->stop(); }

  std::string chatRequest(const std::string& body, const std::string& headers = "") {
    return "POST /v1/chat/completions HTTP/1.1\r\nHost: relay\r\n" + headers +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  }

  // Waits (bounded) until the fake holds no connection but the one that asks.
  bool backendConnectionsClosed() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (fake.call("GET", "/_control/connections").body.value("open", -1) <= 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  int port_ = 0;
};

TEST_F(TransparentProxyTest, StreamsTheBackendsBytesUnchangedAndLeavesTheConversationAlone) {
  const std::vector<std::string> events = {
      "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{\"role\":\"assistant\"}}]}\n\n",
      "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"Hé\"}}]}\n\n",
      ": a comment the relay's own parser would drop\n\n",
      "data: "
      "{\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{\"reasoning_content\":\"r\"}}]}\r\n\r\n",
      "data: [DONE]\n\n"};
  std::string expected;
  for (const auto& event : events) expected += event;
  for (const char* split : {"lines", "bytes"}) {
    SCOPED_TRACE(split);
    fake.reset();
    fake.setScenario({{"raw_events", events}, {"split", split}});
    // The client's body goes as sent: "stream" is not forced, members keep their order.
    const std::string body =
        R"({"stream":true,"model":"x","messages":[{"role":"user","content":"hi"}],"n":1})";
    TestClient client(port_);
    client.send(chatRequest(body,
                            "Authorization: Bearer sk-1\r\nX-Trace: 7\r\nConnection: keep-alive, "
                            "X-Hop\r\nX-Hop: 1\r\nAccept-Encoding: gzip\r\n"));
    const auto response = parseResponse(client.readUntilClose());
    EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.header("Content-Type"), "text/event-stream");
    EXPECT_EQ(response.header("Cache-Control"), "no-cache");
    EXPECT_EQ(response.header("X-Accel-Buffering"), "no");
    EXPECT_EQ(response.body, expected);

    const auto records = fake.waitForRequests(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["method"], "POST");
    EXPECT_EQ(records[0]["path"], "/v1/chat/completions");
    EXPECT_EQ(records[0]["body"], body);
    EXPECT_EQ(headerOf(records[0], "authorization"), "Bearer sk-1");
    EXPECT_EQ(headerOf(records[0], "x-trace"), "7");
    EXPECT_EQ(headerOf(records[0], "content-length"), std::to_string(body.size()));
    for (const char* hop : {"x-hop", "connection", "accept-encoding"}) {
      EXPECT_EQ(headerOf(records[0], hop), std::nullopt) << hop;
    }
  }
  harness.settle();
  EXPECT_TRUE(history().empty());
}

TEST_F(TransparentProxyTest, StatusModelsAndAnUnreachableBackendComeBackAsOpenAIAnswers) {
  {
    fake.setScenario({{"status", 400}, {"error_body", {{"error", {{"message", "bad"}}}}}});
    TestClient client(port_);
    client.send(chatRequest(R"({"model":"x","messages":[]})"));
    const auto response = parseResponse(client.readUntilClose());
    EXPECT_EQ(response.statusLine, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(response.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(nlohmann::json::parse(response.body),
              nlohmann::json::parse(R"({"error":{"message":"bad"}})"));
  }
  {
    fake.setScenario({{"models", {"a", "b"}}});
    TestClient client(port_);
    client.send("GET /v1/models HTTP/1.1\r\nHost: relay\r\n\r\n");
    const auto response = parseResponse(client.readUntilClose());
    EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
    const auto document = nlohmann::json::parse(response.body);
    ASSERT_EQ(document["data"].size(), 2u);
    EXPECT_EQ(document["data"][1]["id"], "b");
  }
  {
    // Other methods on these paths are not the transparent endpoint's.
    TestClient client(port_);
    client.send("GET /v1/chat/completions HTTP/1.1\r\nHost: relay\r\n\r\n");
    EXPECT_EQ(parseResponse(client.readResponse()).statusLine, "HTTP/1.1 404 Not Found");
  }
  harness.onMain([&] {
    harness.view().studioPort.setText(std::to_string(velmora::testing::unusedLoopbackPort()));
    harness.controller->applyBackendAddress(app::ViewController::BackendField::port);
  });
  TestClient client(port_);
  client.send(chatRequest("{}"));
  const auto response = parseResponse(client.readUntilClose());
  EXPECT_EQ(response.statusLine, "HTTP/1.1 502 Bad Gateway");
  const auto error = nlohmann::json::parse(response.body);
  EXPECT_THAT(error["error"]["message"].get<std::string>(),
              HasSubstr("The model server could not be reached"));
}

// Closing the backend connection is the only cancel every backend understands: it must follow
// the client's leaving at once, whether the backend is silent or streaming.
TEST_F(TransparentProxyTest, AClientThatLeavesCancelsTheBackendRequest) {
  {
    SCOPED_TRACE("silent backend");
    fake.setScenario({{"hang", true}});
    TestClient client(port_);
    client.send(chatRequest(R"({"model":"x","stream":true})"));
    ASSERT_EQ(fake.waitForRequests(1).size(), 1u);
    client.close();
    EXPECT_TRUE(backendConnectionsClosed());
  }
  {
    SCOPED_TRACE("streaming backend");
    fake.reset();
    fake.setScenario({{"generate", {{"count", 2000}, {"size", 8}}}, {"delay_ms", 10}});
    TestClient client(port_);
    client.send(chatRequest(R"({"model":"x","stream":true})"));
    std::string received;
    ASSERT_TRUE(testing::readUntilContains(client.descriptor(), received, "aaaaaaaa"));
    client.reset();
    EXPECT_TRUE(backendConnectionsClosed());
  }
  // Neither left a connection thread behind.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (harness.controller->webServer->openConnectionCount() > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(harness.controller->webServer->openConnectionCount(), 0);
}

TEST(BackendUrlTest, ReplacesTheCompletionsPath) {
  EXPECT_EQ(backendUrlForPath("http://h:1234/v1/chat/completions", "/v1/models"),
            "http://h:1234/v1/models");
  EXPECT_EQ(backendUrlForPath("http://h:1234/v1/chat/completions", "/v1/chat/completions"),
            "http://h:1234/v1/chat/completions");
}

}  // namespace
}  // namespace velmora::relay
