#include "examples/demo_routes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_client.h"

namespace velmora::examples {
namespace {

using http::HttpServer;
using testing::parseResponse;
using testing::TestClient;

class DemoRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    registerDemoRoutes(*server);
    server->start(0, true);
  }
  void TearDown() override { server->stop(); }

  // One request without keep-alive; the whole answer up to the close.
  std::string fetch(const std::string& method, const std::string& target) {
    TestClient client(server->port());
    client.send(method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    return client.readUntilClose();
  }

  std::shared_ptr<HttpServer> server = std::make_shared<HttpServer>();
};

struct DemoCase {
  const char* name;
  const char* method;
  const char* target;
  const char* statusLine;
  const char* body;
  const char* headerName = nullptr;
  const char* headerValue = nullptr;
};

TEST_F(DemoRoutes, AnswerTheirTable) {
  const DemoCase cases[] = {
      {"root", "GET", "/", "HTTP/1.1 200 OK", "Hello, World!"},
      {"rootWithQuery", "GET", "/?x=1", "HTTP/1.1 200 OK", "Hello, World!"},
      {"user", "GET", "/users/42", "HTTP/1.1 200 OK", "user 42"},
      {"userEscaped", "GET", "/users/J%C3%BCrgen", "HTTP/1.1 200 OK", "user J\xC3\xBCrgen"},
      {"fileInfo", "GET", "/files/report.txt/info", "HTTP/1.1 200 OK", "info"},
      {"deep", "GET", "/a/b/c/z", "HTTP/1.1 200 OK", "deep"},
      {"deeper", "GET", "/a/b/c/d/e/z", "HTTP/1.1 200 OK", "deep"},
      {"redirect", "GET", "/redirect", "HTTP/1.1 307 Moved Temporarily", "", "Location", "/"},
      {"redirectPost", "POST", "/redirect", "HTTP/1.1 307 Moved Temporarily", "", "Location", "/"},
      {"json", "GET", "/json", "HTTP/1.1 200 OK", R"({"hello":"world"})", "Content-Type",
       "application/json"},
      {"rootPost", "POST", "/", "HTTP/1.1 404 Not Found", ""},
      {"unknown", "GET", "/nope", "HTTP/1.1 404 Not Found", ""},
      {"userTooDeep", "GET", "/users/42/x", "HTTP/1.1 404 Not Found", ""},
      {"fileInfoTooDeep", "GET", "/files/a/b/info", "HTTP/1.1 404 Not Found", ""},
      {"deepTooShort", "GET", "/a/b/z", "HTTP/1.1 404 Not Found", ""},
      {"badEscape", "GET", "/users/%zz", "HTTP/1.1 404 Not Found", ""},
  };
  for (const DemoCase& row : cases) {
    SCOPED_TRACE(row.name);
    const auto response = parseResponse(fetch(row.method, row.target));
    EXPECT_EQ(response.statusLine, row.statusLine);
    EXPECT_EQ(response.body, row.body);
    if (row.headerName) {
      EXPECT_EQ(response.header(row.headerName), row.headerValue);
    }
  }
}

// Each line reaches the client when it is written, not all at the end.
TEST_F(DemoRoutes, StreamArrivesPieceByPiece) {
  TestClient client(server->port());
  client.send("GET /stream HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  std::string received;
  bool lastArrivedWithFirst = true;
  bool sawFirst = false;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::recv(client.descriptor(), buffer, sizeof buffer, 0);
    if (count <= 0) break;  // closed (or the client's generous timeout)
    received.append(buffer, static_cast<std::size_t>(count));
    if (!sawFirst && received.find("chunk 1\n") != std::string::npos) {
      sawFirst = true;
      // The last line follows 400 ms after the first.
      lastArrivedWithFirst = received.find("chunk 5\n") != std::string::npos;
    }
  }
  EXPECT_TRUE(sawFirst);
  EXPECT_FALSE(lastArrivedWithFirst);

  const auto response = parseResponse(received);
  EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.header("Content-Type"), "text/plain");
  EXPECT_FALSE(response.header("Content-Length"));
  EXPECT_FALSE(response.header("Connection")) << "an unknown length ends with the connection";
  EXPECT_EQ(response.body, "chunk 1\nchunk 2\nchunk 3\nchunk 4\nchunk 5\n");
}

// The file routes over a folder holding a page, a nested stylesheet and a readme beside it.
class DemoFileRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-demo-XXXXXX";
    outer = ::mkdtemp(pattern);
    root = outer + "/site";
    std::filesystem::create_directories(root + "/css");
    std::ofstream(root + "/index.html") << "<p>home</p>";
    std::ofstream(root + "/css/site.css") << "p{}";
    std::ofstream(outer + "/README.md") << "# readme";
    registerFileRoutes(*server, root, outer + "/README.md");
    server->start(0, true);
  }
  void TearDown() override {
    server->stop();
    std::filesystem::remove_all(outer);
  }

  testing::ParsedResponse fetch(const std::string& target) {
    TestClient client(server->port());
    client.send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    return parseResponse(client.readUntilClose());
  }

  std::string outer;
  std::string root;
  std::shared_ptr<HttpServer> server = std::make_shared<HttpServer>();
};

TEST_F(DemoFileRoutes, ServeListAndRefuse) {
  const DemoCase cases[] = {
      {"staticDefault", "GET", "/static", "HTTP/1.1 200 OK", "<p>home</p>"},
      {"staticFile", "GET", "/static/index.html", "HTTP/1.1 200 OK", "<p>home</p>", "Content-Type",
       "text/html"},
      {"staticNested", "GET", "/static/css/site.css", "HTTP/1.1 200 OK", "p{}", "Content-Type",
       "text/css"},
      {"browseFile", "GET", "/browse/css/site.css", "HTTP/1.1 200 OK", "p{}"},
      {"readme", "GET", "/readme", "HTTP/1.1 200 OK", "# readme"},
      {"staticParent", "GET", "/static/..%2FREADME.md", "HTTP/1.1 404 Not Found", ""},
      {"staticNestedParent", "GET", "/static/css/../../README.md", "HTTP/1.1 404 Not Found", ""},
      {"browseParent", "GET", "/browse/..", "HTTP/1.1 404 Not Found", ""},
      {"browseNestedParent", "GET", "/browse/css/..%2F..", "HTTP/1.1 404 Not Found", ""},
      {"staticDirectory", "GET", "/static/css", "HTTP/1.1 404 Not Found", ""},
  };
  for (const DemoCase& row : cases) {
    SCOPED_TRACE(row.name);
    const auto response = fetch(row.target);
    EXPECT_EQ(response.statusLine, row.statusLine);
    EXPECT_EQ(response.body, row.body);
    if (row.headerName) {
      EXPECT_EQ(response.header(row.headerName), row.headerValue);
    }
  }

  // The listing's links lead to what they name, also one folder down.
  const std::string top = fetch("/browse").body;
  EXPECT_NE(top.find("<a href=\"/browse/css\">css</a>"), std::string::npos) << top;
  const std::string nested = fetch("/browse/css").body;
  EXPECT_NE(nested.find("<a href=\"/browse/css/site.css\">site.css</a>"), std::string::npos)
      << nested;
}

}  // namespace
}  // namespace velmora::examples
