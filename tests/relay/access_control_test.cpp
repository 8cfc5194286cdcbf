#include "relay/access_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "relay/pages.h"
#include "tests/relay/relay_fixture.h"

namespace velmora::relay {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::postRequest;
using velmora::testing::ParsedResponse;
using velmora::testing::parseResponse;
using velmora::testing::TestClient;

constexpr const char* kToken = "correct horse";
constexpr const char* kBrowserAccept =
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n";

std::string startPage(const std::string& initialMessage) {
  return std::string(pages::kStartPageFirst) + initialMessage +
         std::string(pages::kStartPageSecond);
}

std::string bearer(const std::string& token) {
  return "Authorization: Bearer " + token + "\r\n";
}
std::string cookie(const std::string& value) {
  return "Cookie: " + value + "\r\n";
}

std::string getRequest(const std::string& path, const std::string& extraHeaders = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: relay\r\n" + extraHeaders + "\r\n";
}

std::string jsonPost(const std::string& path, const std::string& body,
                     const std::string& extraHeaders) {
  return "POST " + path + " HTTP/1.1\r\nHost: relay\r\n" + extraHeaders +
         "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// A header's value, names compared without regard to case; "" when absent.
std::string recordedHeader(const nlohmann::json& record, const std::string& name) {
  for (const auto& pair : record.at("headers")) {
    const auto sent = pair.at(0).get<std::string>();
    if (sent.size() == name.size() &&
        std::equal(sent.begin(), sent.end(), name.begin(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
      return pair.at(1).get<std::string>();
    }
  }
  return "";
}

class AccessControlTest : public testing::RelayFixture {
 protected:
  struct Exchange {
    ParsedResponse response;
    std::chrono::steady_clock::duration took;
  };

  void SetUp() override {
    RelayFixture::SetUp();
    harness.onMain([&] { harness.view().initMessage.setText("<h1>Hi</h1>"); });
    port_ = start();
    ASSERT_GT(port_, 0);
  }

  // Sends one request and reads until the relay closes the connection.
  Exchange exchange(const std::string& request) {
    TestClient client(port_, std::chrono::seconds(20));
    const auto began = std::chrono::steady_clock::now();
    client.send(request);
    const std::string raw = client.readUntilClose();
    return {parseResponse(raw), std::chrono::steady_clock::now() - began};
  }

  // Types a token into the window's field and ends the editing.
  void setToken(const std::string& token) {
    harness.onMain([&] {
      harness.view().accessToken.setText(token);
      harness.controller->accessTokenDidChange();
    });
  }

  // Signs in through the form; the Set-Cookie value's NAME=VALUE part.
  std::string signIn(const std::string& token) {
    const Exchange signedIn = exchange(postRequest("/signin", "token=" + token, kBrowserAccept));
    EXPECT_EQ(signedIn.response.statusLine, "HTTP/1.1 303 See Other");
    const std::string setCookie = signedIn.response.header("Set-Cookie").value_or("");
    return setCookie.substr(0, setCookie.find(';'));
  }

  int port_ = 0;
};

TEST_F(AccessControlTest, WithoutATokenEverythingAnswersAsBefore) {
  for (const std::string& request : {getRequest("/", kBrowserAccept), getRequest("/")}) {
    const auto response = exchange(request).response;
    EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.body, startPage("<h1>Hi</h1>"));
    EXPECT_FALSE(response.header("WWW-Authenticate"));
  }
  EXPECT_EQ(exchange(getRequest("/clear")).response.statusLine, "HTTP/1.1 301 Moved Permanently");
  EXPECT_EQ(exchange(getRequest("/signin")).response.statusLine, "HTTP/1.1 404 Not Found");
  // A stray credential is not the relay's business then.
  EXPECT_EQ(exchange(getRequest("/", bearer("anything"))).response.statusLine, "HTTP/1.1 200 OK");
}

TEST_F(AccessControlTest, EveryRouteAsksProgramsForTheBearerToken) {
  setToken(kToken);
  struct Row {
    const char* name;
    std::string request;
  };
  const auto rows = [](const std::string& credentials) {
    return std::vector<Row>{
        {"start page", getRequest("/", credentials)},
        {"start page by POST", postRequest("/", "", credentials)},
        {"submit", postRequest("/submit", "prompt=hi&reset=1", credentials)},
        {"clear", getRequest("/clear", credentials)},
        {"api chat", jsonPost("/api/chat", R"({"model":"m","messages":[]})", credentials)},
        {"v1 models", getRequest("/v1/models", credentials)},
        {"v1 chat",
         jsonPost("/v1/chat/completions", R"({"model":"m","messages":[]})", credentials)},
        {"unknown path", getRequest("/nothing/here", credentials)},
        {"sign-in form by PUT",
         "PUT /signin HTTP/1.1\r\nHost: relay\r\n" + credentials + "Content-Length: 0\r\n\r\n"},
    };
  };

  for (const auto& row : rows("")) {
    SCOPED_TRACE(std::string("missing: ") + row.name);
    const auto response = exchange(row.request).response;
    EXPECT_EQ(response.statusLine, "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(response.header("WWW-Authenticate"), "Bearer");
    EXPECT_EQ(response.header("Content-Type"), "application/json");
    const auto error = nlohmann::json::parse(response.body, nullptr, false);
    ASSERT_TRUE(error.is_object()) << response.body;
    EXPECT_EQ(error["error"]["type"], "invalid_request_error");
    EXPECT_THAT(error["error"]["message"].get<std::string>(), HasSubstr("Authorization: Bearer"));
  }
  for (const auto& row : rows(bearer("correct horse!"))) {
    SCOPED_TRACE(std::string("wrong: ") + row.name);
    const auto [response, took] = exchange(row.request);
    EXPECT_EQ(response.statusLine, "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(nlohmann::json::parse(response.body)["error"]["message"], "Wrong access token.");
    EXPECT_GE(took, kWrongTokenDelay);
  }
  // Nothing got through to the conversation or the backend.
  EXPECT_TRUE(history().empty());
  EXPECT_TRUE(fake.requests().empty());

  for (const auto& row : rows(bearer(kToken))) {
    SCOPED_TRACE(std::string("right: ") + row.name);
    const auto response = exchange(row.request).response;
    EXPECT_THAT(response.statusLine, Not(HasSubstr("401")));
  }
  // The scheme's name is case-insensitive; blanks around the token do not count.
  EXPECT_EQ(
      exchange(getRequest("/", "Authorization:  bearer   correct horse  \r\n")).response.statusLine,
      "HTTP/1.1 200 OK");
}

TEST_F(AccessControlTest, ABrowserSignsInOnceAndKeepsItsCookie) {
  setToken(kToken);
  const auto refused = exchange(getRequest("/", kBrowserAccept)).response;
  EXPECT_EQ(refused.statusLine, "HTTP/1.1 401 Unauthorized");
  EXPECT_THAT(refused.header("Content-Type").value_or(""), HasSubstr("text/html"));
  EXPECT_THAT(refused.body, HasSubstr("<form action=\"/signin\" method=\"post\">"));
  EXPECT_THAT(refused.body, HasSubstr("name=\"token\""));
  EXPECT_THAT(refused.body, Not(HasSubstr("Wrong access token")));
  EXPECT_THAT(refused.body, Not(HasSubstr("<h1>Hi</h1>")));

  // The page is also there by its own address, and a form sent from the prompt page of an expired
  // session gets it too.
  const auto page = exchange(getRequest("/signin", kBrowserAccept)).response;
  EXPECT_EQ(page.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(page.body, refused.body);
  EXPECT_EQ(exchange(postRequest("/submit", "prompt=x", kBrowserAccept)).response.body,
            refused.body);

  const auto [wrong, took] = exchange(postRequest("/signin", "token=guess", kBrowserAccept));
  EXPECT_EQ(wrong.statusLine, "HTTP/1.1 401 Unauthorized");
  EXPECT_THAT(wrong.body, HasSubstr("Wrong access token"));
  EXPECT_FALSE(wrong.header("Set-Cookie"));
  EXPECT_GE(took, kWrongTokenDelay);

  const auto signedIn =
      exchange(postRequest("/signin", "token=correct+horse", kBrowserAccept)).response;
  EXPECT_EQ(signedIn.statusLine, "HTTP/1.1 303 See Other");
  EXPECT_EQ(signedIn.header("Location"), "/");
  const std::string expected = std::string(kSessionCookieName) + "=" + sessionCookieValue(kToken);
  EXPECT_EQ(signedIn.header("Set-Cookie"), expected + "; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_THAT(signedIn.header("Set-Cookie").value_or(""), Not(HasSubstr("horse")));

  // Back at "/" with the cookie among others, however the browser spaces them.
  for (const std::string& header :
       {expected, "theme=dark; " + expected + "; lang=en", "theme=dark;" + expected + " ;x=1"}) {
    SCOPED_TRACE(header);
    const auto start = exchange(getRequest("/", std::string(kBrowserAccept) + cookie(header)));
    EXPECT_EQ(start.response.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(start.response.body, startPage("<h1>Hi</h1>"));
  }
  // Signed in, the sign-in page leads on to the start page.
  const auto again = exchange(getRequest("/signin", cookie(expected))).response;
  EXPECT_EQ(again.statusLine, "HTTP/1.1 303 See Other");
  EXPECT_EQ(again.header("Location"), "/");
}

TEST_F(AccessControlTest, AChangedTokenEndsOldSessionsAndAnEmptyOneOpensTheRelay) {
  setToken(kToken);
  const std::string oldCookie = signIn("correct+horse");
  ASSERT_FALSE(oldCookie.empty());
  EXPECT_EQ(exchange(getRequest("/", cookie(oldCookie))).response.statusLine, "HTTP/1.1 200 OK");

  setToken("battery staple");
  const auto [stale, took] =
      exchange(getRequest("/", std::string(kBrowserAccept) + cookie(oldCookie)));
  EXPECT_EQ(stale.statusLine, "HTTP/1.1 401 Unauthorized");
  EXPECT_THAT(stale.body, HasSubstr("The access token has changed"));
  EXPECT_THAT(stale.header("Set-Cookie").value_or(""),
              HasSubstr(std::string(kSessionCookieName) + "=; Path=/; Max-Age=0"));
  EXPECT_GE(took, kWrongTokenDelay);
  EXPECT_EQ(
      exchange(postRequest("/signin", "token=correct+horse", kBrowserAccept)).response.statusLine,
      "HTTP/1.1 401 Unauthorized");

  const std::string newCookie = signIn("battery%20staple");
  EXPECT_NE(newCookie, oldCookie);
  EXPECT_EQ(exchange(getRequest("/", cookie(newCookie))).response.statusLine, "HTTP/1.1 200 OK");

  setToken("");
  EXPECT_EQ(exchange(getRequest("/", kBrowserAccept)).response.statusLine, "HTTP/1.1 200 OK");
}

TEST_F(AccessControlTest, TheRelaysCredentialsNeverReachTheBackend) {
  setToken(kToken);
  const std::string session = signIn("correct+horse");
  const std::string body = R"({"model":"m","messages":[{"role":"user","content":"hi"}]})";
  exchange(jsonPost("/api/chat", body, bearer(kToken) + cookie("a=1; " + session)));
  exchange(jsonPost("/api/chat", body, cookie(session + "; b=2")));
  exchange(jsonPost("/api/chat", body, cookie(session)));

  const auto records = fake.waitForRequests(3);
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) {
    EXPECT_EQ(recordedHeader(record, "Authorization"), "");
    EXPECT_THAT(recordedHeader(record, "Cookie"), Not(HasSubstr(kSessionCookieName)));
  }
  EXPECT_EQ(recordedHeader(records[0], "Cookie"), "a=1");
  EXPECT_EQ(recordedHeader(records[1], "Cookie"), "b=2");
}

TEST(CookieValuesTest, FindsEveryCookieOfTheName) {
  struct Row {
    const char* name;
    const char* header;
    std::vector<std::string> values;
  };
  const std::vector<Row> rows = {
      {"alone", "s=1", {"1"}},
      {"among others", "a=x; s=2; b=y", {"2"}},
      {"blanks and tabs", " a=x ;\t s = 3 ;b=y", {"3"}},
      {"quoted", "s=\"4\"", {"4"}},
      {"twice", "s=5; s=6", {"5", "6"}},
      {"longer name", "ss=7; s_=8", {}},
      {"empty pieces", ";;s=9;;", {"9"}},
      {"no value", "s; s=", {""}},
      {"equals in the value", "s=a=b", {"a=b"}},
      {"empty header", "", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(cookieValues(row.header, "s"), row.values);
  }
}

TEST(SessionCookieTest, HidesTheTokenAndFollowsIt) {
  const std::string value = sessionCookieValue("secret");
  EXPECT_EQ(value.size(), 64u);
  EXPECT_EQ(value.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(sessionCookieValue("secret"), value);
  EXPECT_NE(sessionCookieValue("secret2"), value);

  EXPECT_TRUE(sameSecret("secret", "secret"));
  EXPECT_FALSE(sameSecret("secret", "secreT"));
  EXPECT_FALSE(sameSecret("secret", "secret "));
  EXPECT_FALSE(sameSecret("", "secret"));
}

}  // namespace
}  // namespace velmora::relay
