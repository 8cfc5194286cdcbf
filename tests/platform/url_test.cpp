#include "platform/url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmora::platform {
namespace {

struct ParseRow {
  const char* name;
  std::string text;
  bool valid;
  std::string scheme, host;
  std::optional<uint16_t> port;
  std::string path;
  std::optional<std::string> query;
};

TEST(ParseUrl, TakesApartValidUrlsAndRefusesTheRest) {
  const ParseRow rows[] = {
      {"backend template", "http://127.0.0.1:1234/v1/chat/completions", true, "http", "127.0.0.1",
       1234, "/v1/chat/completions", std::nullopt},
      {"name host with query", "https://example.com/bin/update.json?x=1&y=2", true, "https",
       "example.com", std::nullopt, "/bin/update.json", "x=1&y=2"},
      {"bracketed IPv6", "http://[::1]:8080/v1/models", true, "http", "[::1]", 8080, "/v1/models",
       std::nullopt},
      {"no path", "http://localhost", true, "http", "localhost", std::nullopt, "/", std::nullopt},
      {"dot segments", "http://h/a/../b/./c", true, "http", "h", std::nullopt, "/b/c",
       std::nullopt},
      {"upper-case scheme", "HTTP://h/", true, "http", "h", std::nullopt, "/", std::nullopt},
      {"unbracketed IPv6", "http://::1:1234/v1/models", false, {}, {}, {}, {}, {}},
      {"blank in host", "http://my host:1234/v1", false, {}, {}, {}, {}, {}},
      {"empty host", "http://:1234/v1/models", false, {}, {}, {}, {}, {}},
      {"letters in port", "http://localhost:12a4/v1", false, {}, {}, {}, {}, {}},
      {"port too large", "http://localhost:70000/v1", false, {}, {}, {}, {}, {}},
      {"negative port", "http://localhost:-1/v1", false, {}, {}, {}, {}, {}},
      {"blank in path", "http://h/a b", false, {}, {}, {}, {}, {}},
      {"no scheme", "/v1/models", false, {}, {}, {}, {}, {}},
      {"unknown scheme", "lmstudio://h/", false, {}, {}, {}, {}, {}},
      {"empty text", "", false, {}, {}, {}, {}, {}},
      {"embedded NUL", std::string("http://good/\0http://evil/", 25), false, {}, {}, {}, {}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const UrlResult result = parseUrl(row.text);
    if (!row.valid) {
      ASSERT_TRUE(std::holds_alternative<UrlError>(result));
      EXPECT_FALSE(std::get<UrlError>(result).description.empty());
      EXPECT_FALSE(tryParseUrl(row.text).has_value());
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<Url>(result)) << std::get<UrlError>(result).description;
    const Url& url = std::get<Url>(result);
    EXPECT_EQ(url.scheme, row.scheme);
    EXPECT_EQ(url.host, row.host);
    EXPECT_EQ(url.port, row.port);
    EXPECT_EQ(url.path, row.path);
    EXPECT_EQ(url.query, row.query);
  }
}

TEST(ParseUrl, DescribesTheFaultAndKnowsDefaultPorts) {
  EXPECT_EQ(std::get<UrlError>(parseUrl("http://:1/")).description, "No host part in the URL");
  EXPECT_EQ(tryParseUrl("http://h/")->portOrDefault(), 80);
  EXPECT_EQ(tryParseUrl("https://h/")->portOrDefault(), 443);
  EXPECT_EQ(tryParseUrl("https://h:8443/")->portOrDefault(), 8443);
  EXPECT_EQ(tryParseUrl("http://h/p#frag")->fragment, "frag");
}

TEST(BuildUrl, ComposesAndValidates) {
  auto built = buildUrl("http", "localhost", 1234, "/v1/models");
  ASSERT_TRUE(std::holds_alternative<Url>(built));
  EXPECT_EQ(std::get<Url>(built).text, "http://localhost:1234/v1/models");

  built = buildUrl("http", "::1", 8080, "v1/chat/completions", "a=1");
  ASSERT_TRUE(std::holds_alternative<Url>(built));
  EXPECT_EQ(std::get<Url>(built).text, "http://[::1]:8080/v1/chat/completions?a=1");

  EXPECT_TRUE(std::holds_alternative<UrlError>(buildUrl("http", "bad host", 80, "/")));
  EXPECT_TRUE(std::holds_alternative<UrlError>(buildUrl("http", "", 80, "/")));
}

TEST(PercentEncoding, RoundTripsAndRefusesBrokenEscapes) {
  EXPECT_EQ(percentEncode("a b/c?d=é~"), "a%20b%2Fc%3Fd%3D%C3%A9~");
  EXPECT_EQ(percentEncode("a b/c", "/"), "a%20b/c");
  const std::string allBytes = [] {
    std::string text;
    for (int byte = 0; byte < 256; ++byte) text += static_cast<char>(byte);
    return text;
  }();
  EXPECT_EQ(percentDecode(percentEncode(allBytes)), allBytes);

  struct Row {
    const char* name;
    std::string text;
    bool plusAsSpace;
    std::optional<std::string> decoded;
  };
  const Row rows[] = {
      {"plain", "abc", false, "abc"},
      {"escapes of either case", "%e3%81%82%E3%81%82", false, "\xE3\x81\x82\xE3\x81\x82"},
      {"plus kept", "a+b", false, "a+b"},
      {"plus as space", "a+b%2B", true, "a b+"},
      {"NUL byte", "a%00b", false, std::string("a\0b", 3)},
      {"lone percent at end", "abc%", false, std::nullopt},
      {"one digit at end", "abc%4", false, std::nullopt},
      {"non-hex digits", "%zz", false, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(percentDecode(row.text, row.plusAsSpace), row.decoded);
  }
}

}  // namespace
}  // namespace velmora::platform
