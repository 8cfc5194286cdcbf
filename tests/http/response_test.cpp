// Every case of the response catalogue as a client receives it: status line, fields and body.
#include "http/response.h"

#include <gtest/gtest.h>

#include "tests/http/http_test.h"

namespace velmora::http {
namespace {

// The answer without its Connection and Server fields, which the server's tests cover.
std::string withoutConnectionFields(std::string answer) {
  for (const std::string field : {"\r\nConnection: ", "\r\nServer: "}) {
    const std::size_t at = answer.find(field);
    if (at < answer.find("\r\n\r\n")) answer.erase(at, answer.find("\r\n", at + 2) - at);
  }
  return answer;
}

TEST(HttpResponseTest, EveryCaseWithItsStatusLineFieldsAndBody) {
  using Body = HttpResponseBody;
  const std::pair<HttpResponse, std::string> rows[] = {
      {HttpResponse::ok(Body::json({{"a", {1, "é"}}})),
       "200 OK\r\nContent-Length: 14\r\nContent-Type: application/json\r\n\r\n{\"a\":[1,\"é\"]}"},
      {HttpResponse::ok(Body::html("")),
       "200 OK\r\nContent-Length: 0\r\nContent-Type: text/html\r\n\r\n"},
      {HttpResponse::ok(Body::htmlBody("hi")),
       "200 OK\r\nContent-Length: 50\r\n\r\n<html><meta charset=\"UTF-8\"><body>hi</body></html>"},
      {HttpResponse::ok(Body::text("")), "200 OK\r\nContent-Length: 0\r\n\r\n"},
      {HttpResponse::ok(Body::data({'\0', 0xFF}, "image/png")),
       "200 OK\r\nContent-Length: 2\r\nContent-Type: image/png\r\n\r\n" + std::string("\0\xFF", 2)},
      {HttpResponse::ok(Body::data({'x'})), "200 OK\r\nContent-Length: 1\r\n\r\nx"},
      {HttpResponse::created(), "201 Created\r\n\r\n"},
      {HttpResponse::accepted(), "202 Accepted\r\n\r\n"},
      {HttpResponse::movedPermanently("/a?b"), "301 Moved Permanently\r\nLocation: /a?b\r\n\r\n"},
      {HttpResponse::movedTemporarily("/t"), "307 Moved Temporarily\r\nLocation: /t\r\n\r\n"},
      {HttpResponse::badRequest(), "400 Bad Request\r\n\r\n"},
      {HttpResponse::badRequest(Body::text("why")),
       "400 Bad Request\r\nContent-Length: 3\r\n\r\nwhy"},
      {HttpResponse::unauthorized(), "401 Unauthorized\r\n\r\n"},
      {HttpResponse::forbidden(), "403 Forbidden\r\n\r\n"},
      {HttpResponse::notFound(), "404 Not Found\r\n\r\n"},
      {HttpResponse::notAcceptable(), "406 Not Acceptable\r\n\r\n"},
      {HttpResponse::tooManyRequests(), "429 Too Many Requests\r\n\r\n"},
      {HttpResponse::internalServerError(), "500 Internal Server Error\r\n\r\n"},
      {HttpResponse::raw(799, "Odd one", HttpHeaders{{"X-A", "1"}}),
       "799 Odd one\r\nX-A: 1\r\n\r\n"},
  };
  auto server = startLocalServer();
  for (const auto& [response, expected] : rows) {
    server->GET["/r"] = [response](const HttpRequestPtr&) { return response; };
    EXPECT_EQ(withoutConnectionFields(
                  exchange(server->port(), "GET /r HTTP/1.1\r\nConnection: close\r\n\r\n")),
              "HTTP/1.1 " + expected);
  }
}

}  // namespace
}  // namespace velmora::http
