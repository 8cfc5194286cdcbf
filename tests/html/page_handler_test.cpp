#include "html/page_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_client.h"

namespace velmora::html {
namespace {

using testing::parseResponse;
using testing::TestClient;

// Answers every request with one handler.
class PageServer : public http::HttpServerIO {
 public:
  explicit PageServer(http::HttpHandler handler) : handler_(std::move(handler)) {}
  std::pair<http::RouteParams, http::HttpHandler> dispatch(const http::HttpRequestPtr&) override {
    return {{}, handler_};
  }

 private:
  http::HttpHandler handler_;
};

class PageHandlerServerTest : public ::testing::Test {
 protected:
  void serve(Block page) {
    server_ = std::make_shared<PageServer>(pageHandler(std::move(page)));
    server_->start(0, true);
  }
  void TearDown() override {
    if (server_) server_->stop();
  }
  std::string fetch(const std::string& request) {
    TestClient client(server_->port());
    client.send(request);
    return client.readUntilClose();
  }

  std::shared_ptr<PageServer> server_;
};

void helloPage() {
  html([] { body([] { h1([] { innerText = "Hi"; }); }); });
}

TEST_F(PageHandlerServerTest, AnswersWithDoctypeAndPage) {
  serve(helloPage);
  const auto response =
      parseResponse(fetch("GET / HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n"));
  EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.header("Content-Type"), "text/html");
  EXPECT_EQ(response.header("Content-Length"), std::nullopt);
  EXPECT_EQ(response.header("Server"), http::HttpServerIO::version());
  EXPECT_EQ(response.body, "<!DOCTYPE html><html><body><h1>Hi</h1></body></html>");
}

TEST_F(PageHandlerServerTest, IgnoresMethodPathAndBody) {
  serve(helloPage);
  const auto response = parseResponse(
      fetch("POST /some/where?x=1 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc"));
  EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.body, "<!DOCTYPE html><html><body><h1>Hi</h1></body></html>");
}

TEST_F(PageHandlerServerTest, EveryRequestStartsFromAnEmptyPage) {
  std::atomic<int> counter{0};
  serve([&] { p([&] { innerText = std::to_string(++counter); }); });
  for (int expected = 1; expected <= 3; ++expected) {
    const auto response = parseResponse(fetch("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_EQ(response.body, "<!DOCTYPE html><p>" + std::to_string(expected) + "</p>");
  }
}

// Each page carries its own number in every element; threads yield inside the blocks so that the
// pages of different connections are built interleaved.
void numberedPage(int number) {
  const std::string n = std::to_string(number);
  html([&] {
    attr::lang = n;
    body([&] {
      ul([&] {
        attr::id = "list" + n;
        for (int item = 0; item < 5; ++item) {
          li([&] {
            attr::value = n;
            std::this_thread::yield();
            innerText = n + "." + std::to_string(item);
          });
        }
      });
    });
  });
}

std::string expectedNumberedPage(int number) {
  const std::string n = std::to_string(number);
  std::string page = "<!DOCTYPE html><html lang=\"" + n + "\"><body><ul id=\"list" + n + "\">";
  for (int item = 0; item < 5; ++item) {
    page += "<li value=\"" + n + "\">" + n + "." + std::to_string(item) + "</li>";
  }
  return page + "</ul></body></html>";
}

TEST_F(PageHandlerServerTest, ConcurrentConnectionsGetTheirOwnPages) {
  std::atomic<int> counter{0};
  serve([&] { numberedPage(++counter); });
  constexpr int clients = 8;
  constexpr int requestsEach = 10;
  std::vector<std::string> failures(clients);
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client) {
    threads.emplace_back([&, client] {
      for (int request = 0; request < requestsEach; ++request) {
        const auto response = parseResponse(fetch("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        const auto lang = response.body.find("lang=\"");
        const int number =
            lang == std::string::npos ? -1 : std::atoi(response.body.c_str() + lang + 6);
        if (response.body != expectedNumberedPage(number) && failures[client].empty()) {
          failures[client] = response.body;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int client = 0; client < clients; ++client) EXPECT_EQ(failures[client], "") << client;
  EXPECT_EQ(counter.load(), clients * requestsEach);
}

// A body writer that keeps what it is given, or fails every write like a vanished browser.
class RecordingWriter : public http::HttpResponseBodyWriter {
 public:
  explicit RecordingWriter(bool fail = false) : fail_(fail) {}
  void write(const http::File&) override { record("<file>"); }
  void write(const std::vector<uint8_t>& bytes) override {
    record(std::string(bytes.begin(), bytes.end()));
  }
  void write(std::span<const uint8_t> slice) override {
    record(std::string(slice.begin(), slice.end()));
  }
  void write(const void* bytes, std::size_t length) override {
    record(std::string(static_cast<const char*>(bytes), length));
  }
  void write(std::string_view data) override { record(std::string(data)); }

  std::vector<std::string> writes;

 private:
  void record(std::string bytes) {
    if (fail_) throw http::SocketError(http::SocketError::Case::writeFailed, "Broken pipe", EPIPE);
    writes.push_back(std::move(bytes));
  }
  bool fail_;
};

TEST(PageHandler, RawResponseWithOneWriteOfThePage) {
  const auto response = pageHandler(helloPage)(std::make_shared<http::HttpRequest>());
  EXPECT_EQ(response.statusCode(), 200);
  EXPECT_EQ(response.reasonPhrase(), "OK");
  const auto headers = response.headers();
  ASSERT_NE(http::findHeader(headers, "Content-Type"), nullptr);
  EXPECT_EQ(*http::findHeader(headers, "Content-Type"), "text/html");
  const auto content = response.content();
  EXPECT_EQ(content.length, -1);
  ASSERT_TRUE(content.writer);

  // The page travels with the response, so a writer called on another thread, after another
  // page was built here, still writes this one.
  render([] { p([] { innerText = "another page"; }); });
  RecordingWriter writer;
  std::thread([&] { content.writer(writer); }).join();
  ASSERT_EQ(writer.writes.size(), 1u);
  EXPECT_EQ(writer.writes[0], "<!DOCTYPE html><html><body><h1>Hi</h1></body></html>");
}

TEST(PageHandler, DropsWriteErrors) {
  const auto response = pageHandler(helloPage)(std::make_shared<http::HttpRequest>());
  RecordingWriter failing(true);
  EXPECT_NO_THROW(response.content().writer(failing));
}

TEST(PageHandler, ThrowingPageLeavesBuilderStateClean) {
  const auto handler = pageHandler([] {
    html([] {
      attr::lang = "en";
      throw std::runtime_error("page failed");
    });
  });
  EXPECT_THROW(handler(std::make_shared<http::HttpRequest>()), std::runtime_error);
  EXPECT_EQ(attr::lang, std::nullopt);
  EXPECT_EQ(render([] { br(); }), "<br></br>");
}

}  // namespace
}  // namespace velmora::html
