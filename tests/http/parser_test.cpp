#include "http/parser.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/test_client.h"

namespace velmora::http {
namespace {

// Feeds literal wire bytes to the parser through a real socket pair.
struct Wire {
  explicit Wire(const std::string& bytes) {
    auto [reader, writer] = testing::makeSocketPair();
    socket = std::make_shared<Socket>(reader);
    EXPECT_EQ(::write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::shutdown(writer, SHUT_WR);
    writerFd = writer;
  }
  ~Wire() { ::close(writerFd); }
  std::shared_ptr<Socket> socket;
  int writerFd;
};

using QueryParams = std::vector<std::pair<std::string, std::string>>;

struct TargetRow {
  const char* name;
  std::string requestLine;
  std::string method;
  std::string path;
  QueryParams query;
};

TEST(HttpParserTest, RequestLineAndTarget) {
  const std::vector<TargetRow> rows = {
      {"plain", "GET /index.html HTTP/1.1", "GET", "/index.html", {}},
      {"lower-case method kept", "get / HTTP/1.1", "get", "/", {}},
      {"escape kept as sent", "GET /a%20b HTTP/1.1", "GET", "/a%20b", {}},
      {"query in order with duplicates", "GET /p?a=1&b=2&a=3 HTTP/1.1", "GET", "/p", {{"a", "1"}, {"b", "2"}, {"a", "3"}}},
      {"item without equals, plus kept", "GET /p?flag&x=a+b%41 HTTP/1.1", "GET", "/p", {{"flag", ""}, {"x", "a+b%41"}}},
      {"value holding equals", "GET /p?a=b=c HTTP/1.1", "GET", "/p", {{"a", "b=c"}}},
      {"hash is not a fragment", "GET /a#b?c=d#e HTTP/1.1", "GET", "/a#b", {{"c", "d#e"}}},
      {"two spaces: empty target", "GET  /x HTTP/1.1", "GET", "", {}},
      {"network-path reference", "GET //host/rest/of HTTP/1.1", "GET", "/rest/of", {}},
      {"absolute form", "GET http://example.test:8080/x?y=1 HTTP/1.1", "GET", "/x", {{"y", "1"}}},
      {"bad port in authority", "GET //host:abc/x HTTP/1.1", "GET", "", {}},
      {"extra words ignored", "POST /s HTTP/1.1 extra", "POST", "/s", {}},
      {"latin-1 byte becomes its character", "GET /caf\xE9 HTTP/1.1", "GET", "/caf\xC3\xA9", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Wire wire(row.requestLine + "\r\n\r\n");
    const HttpRequestPtr request = HttpParser().readRequest(*wire.socket);
    EXPECT_EQ(request->method, row.method);
    EXPECT_EQ(request->path, row.path);
    EXPECT_EQ(request->queryParams, row.query);
    EXPECT_TRUE(request->body.empty());
    EXPECT_EQ(request->address, std::optional<std::string>(""));
  }
}

TEST(HttpParserTest, HeadersAreLowerCasedTrimmedAndLastWins) {
  Wire wire(
      "GET / HTTP/1.1\r\n"
      "Host: example\r\n"
      "X-Thing:   Some Value  \r\n"
      "X-Thing: second\r\n"
      "X-Empty:\r\n"
      "X-Colons: a:b:c\r\n"
      "\tX-Tab:\tv\r\n"
      "no colon here\r\n"
      ": no name\r\n"
      "\r\n");
  const HttpRequestPtr request = HttpParser().readRequest(*wire.socket);
  EXPECT_EQ(request->headers.at("host"), "example");
  EXPECT_EQ(request->headers.at("x-thing"), "second");
  EXPECT_EQ(request->headers.at("x-empty"), "");
  EXPECT_EQ(request->headers.at("x-colons"), "a:b:c");
  EXPECT_EQ(request->headers.at("x-tab"), "v");  // tabs never reach the parser
  EXPECT_EQ(request->headers.size(), 5u);
}

struct BodyRow {
  const char* name;
  std::string contentLength;
  std::string body;
  std::string nextLine;  // what the socket holds after the request
};

TEST(HttpParserTest, BodyFollowsContentLengthOnly) {
  const std::vector<BodyRow> rows = {
      {"exact length", "5", "hello", "NEXT"},
      {"zero reads nothing", "0", "", "helloNEXT"},
      {"plus sign", "+5", "hello", "NEXT"},
      {"trailing letters read no body", "5abc", "", "helloNEXT"},
      {"hexadecimal reads no body", "0x5", "", "helloNEXT"},
      {"beyond 64 bits reads no body", "99999999999999999999", "", "helloNEXT"},
      {"empty value reads no body", "", "", "helloNEXT"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Wire wire("POST /x HTTP/1.1\r\nContent-Length: " + row.contentLength + "\r\n\r\nhelloNEXT\r\n");
    const HttpRequestPtr request = HttpParser().readRequest(*wire.socket);
    EXPECT_EQ(std::string(request->body.begin(), request->body.end()), row.body);
    EXPECT_EQ(wire.socket->readLine(), row.nextLine);
  }
}

TEST(HttpParserTest, BodyWithoutLengthIsReadAsTheNextRequest) {
  Wire wire("POST /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
  HttpParser parser;
  EXPECT_EQ(parser.readRequest(*wire.socket)->path, "/a");
  EXPECT_EQ(parser.readRequest(*wire.socket)->path, "/b");
}

// Requests read on one thread share a line buffer: nothing of a longer line, of a refused
// request or of an earlier request may show in the next one.
TEST(HttpParserTest, RequestsReadOneAfterAnotherKeepNothingOfEachOther) {
  HttpParser parser;
  const std::string longValue(6000, 'v');
  Wire first("POST /first?q=1 HTTP/1.1\r\nX-Long: " + longValue +
             "\r\nHost: a\r\n\r\nGET / HTTP/1.1\r\nB: 2\r\n\r\n");
  const HttpRequestPtr long_ = parser.readRequest(*first.socket);
  EXPECT_EQ(long_->method, "POST");
  EXPECT_EQ(long_->path, "/first");
  EXPECT_EQ(long_->headers.at("x-long"), longValue);
  EXPECT_EQ(long_->headers.at("host"), "a");
  const HttpRequestPtr short_ = parser.readRequest(*first.socket);
  EXPECT_EQ(short_->method, "GET");
  EXPECT_EQ(short_->path, "/");
  EXPECT_EQ(short_->headers, (std::unordered_map<std::string, std::string>{{"b", "2"}}));

  Wire refused("GET /refused HTTP/1.1\r\nX-Long: " + longValue + "\r\n\r\n");
  EXPECT_THROW(parser.readRequest(*refused.socket, HttpLimits{.maxLineBytes = 100}), HttpParserError);
  Wire next("PUT /next HTTP/1.1\r\n\r\n");
  const HttpRequestPtr after = parser.readRequest(*next.socket);
  EXPECT_EQ(after->method, "PUT");
  EXPECT_EQ(after->path, "/next");
  EXPECT_TRUE(after->headers.empty());
}

TEST(HttpParserTest, MalformedRequestsFail) {
  {
    Wire wire("GET /only-two\r\n\r\n");
    try {
      HttpParser().readRequest(*wire.socket);
      FAIL() << "two words must fail";
    } catch (const HttpParserError& error) {
      EXPECT_EQ(error, HttpParserError::invalidStatusLine("GET /only-two"));
    }
  }
  {
    Wire wire("\r\n");
    EXPECT_THROW(HttpParser().readRequest(*wire.socket), HttpParserError);
  }
  {
    Wire wire("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n");
    try {
      HttpParser().readRequest(*wire.socket);
      FAIL() << "a negative length must fail";
    } catch (const HttpParserError& error) {
      EXPECT_EQ(error, HttpParserError::negativeContentLength());
    }
  }
  {
    Wire wire("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort");
    EXPECT_THROW(HttpParser().readRequest(*wire.socket), SocketError);
  }
  {
    Wire wire("GET / HTTP/1.1\r\nHost: cut off");
    EXPECT_THROW(HttpParser().readRequest(*wire.socket), SocketError);
  }
}

TEST(HttpParserTest, LimitsRefuseOversizedRequestsWithoutAllocating) {
  HttpLimits limits;
  limits.maxLineBytes = 64;
  limits.maxHeaderLines = 3;
  limits.maxBodyBytes = 100;
  {
    Wire wire("GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n");
    EXPECT_THROW(HttpParser().readRequest(*wire.socket, limits), HttpParserError);
  }
  {
    Wire wire("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n");
    EXPECT_THROW(HttpParser().readRequest(*wire.socket, limits), HttpParserError);
  }
  {
    // With the default limits, a huge length is refused before any allocation.
    Wire wire("POST / HTTP/1.1\r\nContent-Length: 100000000000000\r\n\r\n");
    try {
      HttpParser().readRequest(*wire.socket);
      FAIL() << "a huge body must be refused";
    } catch (const HttpParserError& error) {
      EXPECT_TRUE(std::holds_alternative<HttpParserError::ContentTooLarge>(error.value()));
    }
  }
  {
    // A line of exactly the limit (its CR included) is fine.
    Wire wire("GET /" + std::string(64 - 15, 'a') + " HTTP/1.1\r\n\r\n");
    EXPECT_NO_THROW(HttpParser().readRequest(*wire.socket, limits));
  }
}

TEST(HttpParserTest, KeepAliveAndHeaderTokens) {
  struct Row {
    const char* name;
    std::optional<std::string> connection;
    bool keepAlive;
  };
  const std::vector<Row> rows = {
      {"absent", std::nullopt, false},
      {"exact", "keep-alive", true},
      {"surrounding spaces", "  keep-alive ", true},
      {"capital letter", "Keep-Alive", false},
      {"token list", "keep-alive, Upgrade", false},
      {"close", "close", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::unordered_map<std::string, std::string> headers;
    if (row.connection) headers["connection"] = *row.connection;
    EXPECT_EQ(HttpParser::isKeepAlive(headers), row.keepAlive);
  }

  HttpRequest request;
  EXPECT_FALSE(request.headerHasToken("connection", "upgrade"));
  request.headers["connection"] = " Keep-Alive ,  UPGRADE ";
  EXPECT_TRUE(request.headerHasToken("connection", "upgrade"));
  EXPECT_TRUE(request.headerHasToken("connection", "keep-alive"));
  EXPECT_FALSE(request.headerHasToken("Connection", "upgrade"));
  EXPECT_FALSE(request.headerHasToken("connection", "Upgrade"));
}

}  // namespace
}  // namespace velmora::http
