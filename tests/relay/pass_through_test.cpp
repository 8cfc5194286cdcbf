#include "relay/pass_through.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "relay/pages.h"
#include "tests/relay/relay_fixture.h"

namespace velmora::relay {
namespace {

using ::testing::HasSubstr;
using testing::sentMessages;
using velmora::testing::parseResponse;
using velmora::testing::TestClient;

std::vector<uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}
std::string text(const std::vector<uint8_t>& data) {
  return {data.begin(), data.end()};
}

TEST(ForwardedBodyTest, ForcesStreamingAndKeepsEverythingElseInItsOrder) {
  struct Row {
    const char* name;
    std::string client;
    std::string forwarded;
    bool failure;
  };
  const std::vector<Row> rows = {
      {"stream added last", R"({"model":"m","messages":[{"role":"user","content":"hi"}]})",
       R"({"model":"m","messages":[{"role":"user","content":"hi"}],"stream":true})", false},
      {"stream replaced in place", R"({"temperature":0.7,"stream":false,"model":"m","n":1})",
       R"({"temperature":0.7,"stream":true,"model":"m","n":1})", false},
      {"nested members keep their order", R"({"z":{"b":1,"a":[2,{"d":3,"c":4}]},"a":"é"})",
       R"({"z":{"b":1,"a":[2,{"d":3,"c":4}]},"a":"é","stream":true})", false},
      {"array forwarded as sent", "[1, 2]", "[1, 2]", false},
      {"empty body", "", "", true},
      {"not JSON", "prompt=hi", "prompt=hi", true},
      {"a lone string", "\"hi\"", "\"hi\"", true},
      {"invalid UTF-8 inside", "{\"a\":\"\xff\"}", "{\"a\":\"\xff\"}", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string failure;
    EXPECT_EQ(text(forwardedBody(bytes(row.client), &failure)), row.forwarded);
    EXPECT_EQ(!failure.empty(), row.failure) << failure;
  }
}

class PassThroughTest : public testing::RelayFixture {
 protected:
  void SetUp() override {
    RelayFixture::SetUp();
    port_ = start();
    ASSERT_GT(port_, 0);
  }

  // Sends a raw request to "/api/chat" and reads the answer until the relay closes.
  std::string call(const std::string& method, const std::string& body,
                   const std::string& headers = "") {
    TestClient client(port_);
    client.send(method + " /api/chat HTTP/1.1\r\nHost: relay.example:9\r\n" + headers +
                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return client.readUntilClose();
  }

  int port_ = 0;
};

std::optional<std::string> headerOf(const nlohmann::json& record, std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), ::tolower);
  std::optional<std::string> value;
  int count = 0;
  for (const auto& field : record.at("headers")) {
    std::string key = field[0].get<std::string>();
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    if (key == name) {
      value = field[1].get<std::string>();
      ++count;
    }
  }
  EXPECT_LE(count, 1) << name << " sent more than once";
  return value;
}

TEST(ForwardedBodyTest, DeeplyNestedBodiesAreForwardedUntouched) {
  // A few hundred kilobytes of brackets used to overflow the stack when the value was changed.
  const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  const std::vector<uint8_t> body(deep.begin(), deep.end());
  std::string failure;
  EXPECT_EQ(forwardedBody(body, &failure), body);
  EXPECT_THAT(failure, HasSubstr("nests deeper than"));
}

TEST_F(PassThroughTest, ForwardsTheClientsRequestAndRelaysThePlainAnswer) {
  fake.setScenario({{"pieces", {"<b>Hi</b>", " there"}}});
  const std::string body =
      R"({"model":"x","stream":false,"messages":[{"role":"user","content":"hi"}],"temperature":0.5})";
  ::testing::internal::CaptureStdout();
  const std::string raw =
      call("POST", body,
           "Authorization: Bearer secret\r\nX-Trace: 7\r\nX-Hop: 1\r\n"
           "Connection: keep-alive, X-Hop\r\nKeep-Alive: timeout=5\r\nTE: trailers\r\n"
           "Trailer: X-Sum\r\nUpgrade: h2c\r\nProxy-Authorization: Basic eA==\r\n"
           "Accept-Encoding: gzip\r\nContent-Type: application/json; charset=utf-8\r\n");
  const std::string printed = ::testing::internal::GetCapturedStdout();

  const auto response = parseResponse(raw);
  EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.header("Content-Type"), "application/json");
  EXPECT_EQ(response.header("Content-Length"), std::nullopt);
  EXPECT_EQ(response.body, "<b>Hi</b> there" + std::string(pages::kAnswerPageTail));

  const auto records = fake.waitForRequests(1);
  ASSERT_EQ(records.size(), 1u);
  const auto& record = records[0];
  const std::string forwarded =
      R"({"model":"x","stream":true,"messages":[{"role":"user","content":"hi"}],"temperature":0.5})";
  EXPECT_EQ(record["method"], "POST");
  EXPECT_EQ(record["path"], "/v1/chat/completions");
  EXPECT_EQ(record["body"], forwarded);
  EXPECT_EQ(headerOf(record, "authorization"), "Bearer secret");
  EXPECT_EQ(headerOf(record, "x-trace"), "7");
  EXPECT_EQ(headerOf(record, "content-type"), "application/json; charset=utf-8");
  EXPECT_EQ(headerOf(record, "host"), "127.0.0.1:" + std::to_string(fake.port()));
  EXPECT_EQ(headerOf(record, "content-length"), std::to_string(forwarded.size()));
  for (const char* hop : {"connection", "keep-alive", "te", "trailer", "upgrade",
                          "proxy-authorization", "x-hop", "accept-encoding", "transfer-encoding"}) {
    EXPECT_EQ(headerOf(record, hop), std::nullopt) << hop;
  }

  EXPECT_THAT(printed, HasSubstr("/api/chat:  []\n"));
  EXPECT_THAT(printed, HasSubstr("LM Studioへ送信するmodifiedBody: " + forwarded + "\n"));
  EXPECT_THAT(printed, ::testing::Not(HasSubstr("Failed to parse")));

  // The answer joins the conversation without a user turn, and the next prompt carries it.
  ASSERT_TRUE(waitForHistorySize(1));
  EXPECT_EQ(history(), (std::vector<ChatMessage>{{"assistant", "<b>Hi</b> there"}}));
  fake.reset();
  TestClient client(port_);
  client.send(testing::postRequest("/submit", "prompt=next"));
  client.readUntilClose();
  const auto next = fake.waitForRequests(1);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(sentMessages(next[0]),
            (std::vector<ChatMessage>{{"assistant", "<b>Hi</b> there"}, {"user", "next"}}));
}

TEST_F(PassThroughTest, BodiesThatAreNotObjectsAreForwardedAsSent) {
  struct Row {
    const char* name;
    std::string method;
    std::string body;
    bool failureLine;
  };
  const std::vector<Row> rows = {
      {"array", "POST", "[1,2]", false},
      {"empty GET", "GET", "", true},
      {"form text", "POST", "a=b", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fake.reset();
    ::testing::internal::CaptureStdout();
    const auto response = parseResponse(call(row.method, row.body));
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.find("⚠️ Failed to parse or modify JSON: ") != std::string::npos,
              row.failureLine)
        << printed;
    EXPECT_THAT(printed, HasSubstr("LM Studioへ送信するmodifiedBody: " + row.body + "\n"));

    const auto records = fake.waitForRequests(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["method"], "POST");
    EXPECT_EQ(records[0]["body"], row.body);
    // The fake refuses what is not a JSON object; the client sees the backend's reason.
    EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.body, std::string(pages::kErrorMarkupFirst) +
                                 "HTTP 400: The request body must be a JSON object." +
                                 std::string(pages::kErrorMarkupSecond));
  }
  EXPECT_TRUE(history().empty());
}

TEST_F(PassThroughTest, NonUtf8BodyIsForwardedAndPrintedAsInvalid) {
  ::testing::internal::CaptureStdout();
  call("POST", "\xff\xfe");
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(printed, HasSubstr("LM Studioへ送信するmodifiedBody: (invalid)\n"));
  const auto records = fake.waitForRequests(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["body_base64"], "//4=");
}

}  // namespace
}  // namespace velmora::relay
