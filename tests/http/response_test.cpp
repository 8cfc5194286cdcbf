#include "http/response.h"

#include <gtest/gtest.h>

#include <cmath>

#include "velmora/version.h"

namespace velmora::http {
namespace {

// Collects what a body callback writes.
class CollectingWriter : public HttpResponseBodyWriter {
 public:
  void write(const File&) override { bytes += "<file>"; }
  void write(const std::vector<uint8_t>& data) override { bytes.append(data.begin(), data.end()); }
  void write(std::span<const uint8_t> slice) override { bytes.append(slice.begin(), slice.end()); }
  void write(const void* data, std::size_t length) override {
    bytes.append(static_cast<const char*>(data), length);
  }
  void write(std::string_view data) override { bytes += data; }
  std::string bytes;
};

std::string bodyOf(const HttpResponseContent& content) {
  CollectingWriter writer;
  if (content.writer) content.writer(writer);
  return writer.bytes;
}

struct Row {
  const char* name;
  HttpResponse response;
  int status;
  std::string phrase;
  HttpHeaders extraHeaders;  // after "Server"
  int64_t length;
  std::string body;
};

TEST(HttpResponseTest, EveryCaseMapsToItsStatusHeadersAndBody) {
  const std::string server = std::string("Velmora ") + kApplicationVersion;
  const std::vector<Row> rows = {
      {"ok text", HttpResponse::ok(HttpResponseBody::text("hi")), 200, "OK", {}, 2, "hi"},
      {"ok html empty", HttpResponse::ok(HttpResponseBody::html("")), 200, "OK", {{"Content-Type", "text/html"}}, 0, ""},
      {"ok htmlBody empty", HttpResponse::ok(HttpResponseBody::htmlBody("")), 200, "OK", {}, 48,
       "<html><meta charset=\"UTF-8\"><body></body></html>"},
      {"ok json", HttpResponse::ok(HttpResponseBody::json({{"a", 1}})), 200, "OK",
       {{"Content-Type", "application/json"}}, 7, "{\"a\":1}"},
      {"ok json string is invalid", HttpResponse::ok(HttpResponseBody::json("plain")), 200, "OK",
       {{"Content-Type", "application/json"}}, 34, "Serialisation error: invalidObject"},
      {"ok json number is invalid", HttpResponse::ok(HttpResponseBody::json(5)), 200, "OK",
       {{"Content-Type", "application/json"}}, 34, "Serialisation error: invalidObject"},
      {"ok json with NaN is invalid", HttpResponse::ok(HttpResponseBody::json({std::nan("")})), 200, "OK",
       {{"Content-Type", "application/json"}}, 34, "Serialisation error: invalidObject"},
      {"ok data without type", HttpResponse::ok(HttpResponseBody::data({1, 2})), 200, "OK", {}, 2, "\x01\x02"},
      {"ok data with type", HttpResponse::ok(HttpResponseBody::data({'x'}, "image/png")), 200, "OK",
       {{"Content-Type", "image/png"}}, 1, "x"},
      {"ok custom", HttpResponse::ok(HttpResponseBody::custom(std::any(41), [](const std::any& v) {
         return std::to_string(std::any_cast<int>(v) + 1);
       })),
       200, "OK", {}, 2, "42"},
      {"ok custom failing", HttpResponse::ok(HttpResponseBody::custom(std::any(), [](const std::any&) -> std::string {
         throw std::runtime_error("boom");
       })),
       200, "OK", {}, 25, "Serialisation error: boom"},
      {"created", HttpResponse::created(), 201, "Created", {}, -1, ""},
      {"accepted", HttpResponse::accepted(), 202, "Accepted", {}, -1, ""},
      {"moved permanently", HttpResponse::movedPermanently("/x"), 301, "Moved Permanently", {{"Location", "/x"}}, -1, ""},
      {"moved temporarily", HttpResponse::movedTemporarily("/"), 307, "Moved Temporarily", {{"Location", "/"}}, -1, ""},
      {"bad request", HttpResponse::badRequest(), 400, "Bad Request", {}, -1, ""},
      {"bad request with text", HttpResponse::badRequest(HttpResponseBody::text("why")), 400, "Bad Request", {}, 3, "why"},
      {"unauthorized", HttpResponse::unauthorized(), 401, "Unauthorized", {}, -1, ""},
      {"forbidden", HttpResponse::forbidden(), 403, "Forbidden", {}, -1, ""},
      {"not found", HttpResponse::notFound(), 404, "Not Found", {}, -1, ""},
      {"not acceptable", HttpResponse::notAcceptable(), 406, "Not Acceptable", {}, -1, ""},
      {"too many requests", HttpResponse::tooManyRequests(), 429, "Too Many Requests", {}, -1, ""},
      {"internal server error", HttpResponse::internalServerError(), 500, "Internal Server Error", {}, -1, ""},
      {"raw without callback", HttpResponse::raw(299, "Whatever"), 299, "Whatever", {}, -1, ""},
      {"raw with headers and body", HttpResponse::raw(200, "OK", HttpHeaders{{"X-A", "1"}},
                                                      [](HttpResponseBodyWriter& w) { w.write("streamed"); }),
       200, "OK", {{"X-A", "1"}}, -1, "streamed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.response.statusCode(), row.status);
    EXPECT_EQ(row.response.reasonPhrase(), row.phrase);
    HttpHeaders expected{{"Server", server}};
    expected.insert(expected.end(), row.extraHeaders.begin(), row.extraHeaders.end());
    EXPECT_EQ(row.response.headers(), expected);
    const HttpResponseContent content = row.response.content();
    EXPECT_EQ(content.length, row.length);
    EXPECT_EQ(bodyOf(content), row.body);
    EXPECT_FALSE(row.response.upgradeHandler());
  }
}

TEST(HttpResponseTest, DictionariesReplaceTheServerField) {
  const HttpResponse raw = HttpResponse::raw(200, "OK", HttpHeaders{{"Server", "mine"}, {"server", "lower"}});
  EXPECT_EQ(raw.headers(), (HttpHeaders{{"Server", "mine"}, {"server", "lower"}}));

  bool called = false;
  const HttpResponse upgrade = HttpResponse::switchProtocols(
      HttpHeaders{{"Upgrade", "websocket"}, {"Server", "ws"}}, [&](std::shared_ptr<Socket>) { called = true; });
  EXPECT_EQ(upgrade.statusCode(), 101);
  EXPECT_EQ(upgrade.reasonPhrase(), "Switching Protocols");
  EXPECT_EQ(upgrade.headers(), (HttpHeaders{{"Server", "ws"}, {"Upgrade", "websocket"}}));
  ASSERT_TRUE(upgrade.upgradeHandler());
  upgrade.upgradeHandler()(nullptr);
  EXPECT_TRUE(called);
  EXPECT_EQ(upgrade.content().length, -1);
}

TEST(HttpResponseTest, JsonWithInvalidUtf8BecomesASerialisationErrorBody) {
  const HttpResponse response = HttpResponse::ok(HttpResponseBody::json({{"a", "\xFF"}}));
  const HttpResponseContent content = response.content();
  const std::string body = bodyOf(content);
  EXPECT_EQ(body.rfind("Serialisation error: ", 0), 0u) << body;
  EXPECT_EQ(content.length, static_cast<int64_t>(body.size()));
}

}  // namespace
}  // namespace velmora::http
