#include "http/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <system_error>
#include <thread>

#include "tests/http/http_test.h"
#include "tests/support/test_client.h"

namespace velmora::http {
namespace {

using testing::bodyOf;
using testing::TestClient;
const std::string kKeepAlive = "GET /r HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";

// The body of the answer to a kept-alive GET /r on `client`.
std::string keptBody(TestClient& client) {
  client.send(kKeepAlive);
  return bodyOf(client.readResponse());
}

HttpHandler answer(HttpResponse response) {
  return [response](const HttpRequestPtr&) { return response; };
}

const HttpHandler kHi = answer(HttpResponse::ok(HttpResponseBody::text("hi")));

HttpHandler rawWrites(const HttpHeaders& headers, const std::vector<std::string>& writes) {
  return answer(HttpResponse::raw(200, "OK", headers, [writes](HttpResponseBodyWriter& writer) {
    for (const std::string& piece : writes) writer.write(std::string_view(piece));
  }));
}

// The bytes of an answer of known length on a kept connection, and of one that closes it: the
// server's fields come between the status line and the answer's own.
std::string withLength(const std::string& status, const std::string& body,
                       const std::string& fields = "") {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: keep-alive\r\n" + kServer + fields + "\r\n" + body;
}
std::string closing(const std::string& status, const std::string& fields = "") {
  return "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + kServer + fields + "\r\n";
}

// Every case of the response catalogue, and the framing rules, as a client receives them.
TEST(HttpServerTest, WritesExactResponseBytesAndKeepsAliveByTheRule) {
  using Body = HttpResponseBody;
  auto server = startLocalServer();
  const HttpHandler hello = answer(HttpResponse::ok(Body::text("hello")));
  const std::string kept = "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n" + kServer;
  struct Row {
    const char* name;
    HttpHandler handler;
    std::string expected;
    bool keeps;
    std::string wish = "keep-alive";  // the request's Connection value
  };
  const Row rows[] = {
      {"keep-alive", hello, withLength("200 OK", "hello"), true},
      {"in a token list", hello,
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n" + kServer + "\r\nhello",
       false, "keep-alive, TE"},
      {"no body: unknown length", answer(HttpResponse::notFound()), closing("404 Not Found"),
       false},
      {"raw of unknown length", rawWrites({{"Content-Type", "text/plain"}}, {"a", "b"}),
       closing("200 OK", "Content-Type: text/plain\r\n") + "ab", false},
      {"raw writing its declared length", rawWrites({{"Content-Length", "4"}}, {"ab", "cd"}),
       kept + "Content-Length: 4\r\n\r\nabcd", true},
      {"raw writing fewer", rawWrites({{"content-length", "4"}}, {"abc"}),
       kept + "content-length: 4\r\n\r\nabc", false},
      {"raw writing more is cut", rawWrites({{"Content-Length", "2"}}, {"a", "bc"}),
       kept + "Content-Length: 2\r\n\r\nab", false},
      {"raw with its own Connection",
       rawWrites({{"Content-Length", "2"}, {"Connection", "x"}}, {"ab"}),
       "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\nConnection: x\r\n\r\nab", false},
      {"handler throws",
       [](const HttpRequestPtr&) -> HttpResponse { throw std::runtime_error("x"); },
       closing("500 Internal Server Error"), false},
      {"json", answer(HttpResponse::ok(Body::json({{"a", {1, "é"}}}))),
       withLength("200 OK", "{\"a\":[1,\"é\"]}", "Content-Type: application/json\r\n"), true},
      {"html", answer(HttpResponse::ok(Body::html(""))),
       withLength("200 OK", "", "Content-Type: text/html\r\n"), true},
      {"html body", answer(HttpResponse::ok(Body::htmlBody("hi"))),
       withLength("200 OK", "<html><meta charset=\"UTF-8\"><body>hi</body></html>"), true},
      {"empty text", answer(HttpResponse::ok(Body::text(""))), withLength("200 OK", ""), true},
      {"typed data", answer(HttpResponse::ok(Body::data({'\0', 0xFF}, "image/png"))),
       withLength("200 OK", std::string("\0\xFF", 2), "Content-Type: image/png\r\n"), true},
      {"data", answer(HttpResponse::ok(Body::data({'x'}))), withLength("200 OK", "x"), true},
      {"bad request with a body", answer(HttpResponse::badRequest(Body::text("why"))),
       withLength("400 Bad Request", "why"), true},
      {"created", answer(HttpResponse::created()), closing("201 Created"), false},
      {"accepted", answer(HttpResponse::accepted()), closing("202 Accepted"), false},
      {"moved permanently", answer(HttpResponse::movedPermanently("/a?b")),
       closing("301 Moved Permanently", "Location: /a?b\r\n"), false},
      {"moved temporarily", answer(HttpResponse::movedTemporarily("/t")),
       closing("307 Moved Temporarily", "Location: /t\r\n"), false},
      {"bad request", answer(HttpResponse::badRequest()), closing("400 Bad Request"), false},
      {"unauthorized", answer(HttpResponse::unauthorized()), closing("401 Unauthorized"), false},
      {"forbidden", answer(HttpResponse::forbidden()), closing("403 Forbidden"), false},
      {"not acceptable", answer(HttpResponse::notAcceptable()), closing("406 Not Acceptable"),
       false},
      {"too many requests", answer(HttpResponse::tooManyRequests()),
       closing("429 Too Many Requests"), false},
      {"raw of another status",
       answer(HttpResponse::raw(799, "Odd one", HttpHeaders{{"X-A", "1"}})),
       closing("799 Odd one", "X-A: 1\r\n"), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    server->GET["/r"] = row.handler;
    const std::string request = "GET /r HTTP/1.1\r\nConnection: " + row.wish + "\r\n\r\n";
    if (!row.keeps) {
      EXPECT_EQ(exchange(server->port(), request), row.expected);
      continue;
    }
    TestClient client(server->port());
    client.send(request + request);  // the kept connection answers the second request too
    for (int i = 0; i < 2; ++i) EXPECT_EQ(client.readResponse(), row.expected);
  }
  // HEAD: the GET answer's header block, no body, and the connection goes on.
  const std::pair<HttpHandler, std::string> heads[] = {
      {hello, withLength("200 OK", "hello").substr(0, withLength("200 OK", "hello").size() - 5)},
      {rawWrites({{"Content-Length", "4"}}, {"abcd"}), kept + "Content-Length: 4\r\n\r\n"},
  };
  server->GET["/r"] = kHi;
  for (const auto& [handler, expected] : heads) {
    server->HEAD["/r"] = handler;
    TestClient client(server->port());
    client.send("HEAD /r HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(client.readUntil("\r\n\r\n"), expected);
    EXPECT_EQ(keptBody(client), "hi");
  }
}

// Clients that send too slowly or not at all, connections over the limits and threads that cannot
// be made: the server ends, refuses or defers the one connection and goes on serving the others.
TEST(HttpServerTest, SlowClientsTheConnectionLimitsAndMissingThreadsNeverStopTheServer) {
  using namespace std::chrono_literals;
  struct Row {
    const char* name;
    HttpLimits limits;  // the deadline under test short, the others long
    std::vector<std::string> pieces;
    bool keepSending;  // the last piece again and again while the connection is open
    bool answered;
  };
  // clang-format off
  const Row rows[] = {
      {"head within its time", {.headerTimeout = 30s}, {"GET /r HTTP/1.1\r\n", "A: 1\r\n\r\n"}, false, true},
      {"head trickling past its time", {.idleTimeout = 30s, .headerTimeout = 50ms}, {"GET /r HTTP/1.1\r\n", "A: 1\r\n"}, true, false},
      {"body below the lowest rate", {.idleTimeout = 200ms, .minBodyBytesPerSecond = 1000}, {"POST /r HTTP/1.1\r\nContent-Length: 100000\r\n\r\n", "a"}, true, false},
      {"silent from the first byte", {.idleTimeout = 30s, .firstByteTimeout = 50ms}, {}, false, false},
      {"silent after a kept request", {.idleTimeout = 50ms, .firstByteTimeout = 30s}, {kKeepAlive}, false, true},
  };
  // clang-format on
  std::vector<std::jthread> clients;
  for (const Row& row : rows) {
    clients.emplace_back([&row] {
      auto server = startLocalServer(row.limits);
      (*server)["/r"] = kHi;
      TestClient client(server->port());
      try {
        for (const std::string& piece : row.pieces) client.send(piece);
        for (int i = 0; row.keepSending && i < 2000; ++i) {
          std::this_thread::sleep_for(10ms);
          client.send(row.pieces.back());
        }
      } catch (const std::exception&) {  // closed meanwhile
      }
      // The server ends every row's connection; waiting out the client's timeout fails the row.
      EXPECT_EQ(bodyOf(client.readUntilClose()) == "hi", row.answered) << row.name;
      EXPECT_TRUE(client.closedWithoutData()) << row.name;
    });
  }
  clients.clear();

  // Beyond maxConnections a connection waits until one ends; beyond an address's share it is
  // answered 429, while another address is served.
  auto limited = startLocalServer({.maxConnections = 3, .maxConnectionsPerAddress = 2});
  std::atomic<bool> firstClosed = false;
  limited->GET["/r"] = [&firstClosed](const HttpRequestPtr& request) {
    EXPECT_TRUE(request->headers["x-waits"].empty() || firstClosed);
    return HttpResponse::ok(HttpResponseBody::text("hi"));
  };
  auto first = std::make_unique<TestClient>(limited->port());
  TestClient second(limited->port());
  for (TestClient* client : {first.get(), &second}) EXPECT_EQ(keptBody(*client), "hi");
  EXPECT_EQ(exchange(limited->port(), kKeepAlive),
            "HTTP/1.1 429 Too Many Requests\r\n" + kServer +
                "Content-Length: 0\r\nConnection: close\r\n\r\n");
  TestClient other(limited->port(), 10s, "127.0.0.2");
  EXPECT_EQ(keptBody(other), "hi");
  TestClient waiting(limited->port(), 10s, "127.0.0.3");
  waiting.send("GET /r HTTP/1.1\r\nX-Waits: 1\r\n\r\n");
  firstClosed = true;
  first.reset();
  EXPECT_EQ(bodyOf(waiting.readUntilClose()), "hi");

  // Threads that cannot be made: start fails cleanly, a connection without a thread is closed,
  // and accepting goes on. The pool outlives every thread of it.
  static std::atomic<bool> failing = false;
  static auto& pool = *new platform::WorkerPool(50ms, [](std::function<void()> body) {
    if (failing) throw std::system_error(EAGAIN, std::generic_category());
    platform::WorkerPool::launchDetachedThread(std::move(body));
  });
  failing = true;
  std::atomic<bool> ran = false;
  EXPECT_THROW(pool.submit([&ran] { ran = true; }), std::system_error);
  failing = false;
  std::promise<void> next;
  pool.submit([&next] { next.set_value(); });
  next.get_future().wait();
  EXPECT_FALSE(ran);  // a refused task is never run later
  // Idle threads would take the tasks below without a launch.
  const auto busyOnly = [](std::size_t busy) {
    while (pool.threadCount() > busy) std::this_thread::sleep_for(10ms);
  };
  busyOnly(0);
  auto starved = std::make_shared<HttpServer>();
  starved->listenAddressIPv4 = "127.0.0.1";
  starved->workerPool = &pool;
  starved->GET["/r"] = kHi;
  failing = true;
  EXPECT_THROW(starved->start(0, true), std::system_error);
  EXPECT_FALSE(starved->isServing());
  failing = false;
  starved->start(0, true);
  TestClient held(starved->port());
  EXPECT_EQ(keptBody(held), "hi");
  busyOnly(2);  // one serves `held`, one accepts
  failing = true;
  EXPECT_EQ(exchange(starved->port(), kKeepAlive), "");
  failing = false;
  TestClient after(starved->port());
  EXPECT_EQ(keptBody(after), "hi");
  starved->stop();
}

std::string mark(const HttpRequestPtr& request, const char* step) {
  return request->headers["x-trail"] += step;
}

// Each step marks the request, so the answers tell what ran and in which order; this one answers
// for one path.
HttpMiddleware middleware(const char* step, const char* answersFor) {
  return [=](const HttpRequestPtr& request) -> std::optional<HttpResponse> {
    const std::string trail = mark(request, step);
    if (request->path != answersFor) return std::nullopt;
    return HttpResponse::badRequest(HttpResponseBody::text(trail));
  };
}

TEST(HttpServerTest, MiddlewareInOrderThenRouteThenNotFoundHandler) {
  auto server = startLocalServer();
  server->addMiddleware(middleware("A", "/early"));
  server->addMiddleware(middleware("B", "/late"));
  server->GET["/items/:id"] = [](const HttpRequestPtr& request) {
    return HttpResponse::ok(HttpResponseBody::text(
        mark(request, "H") + " " + request->params.at(":id") + " " + *request->address));
  };
  server->setNotFoundHandler(
      [](const HttpRequestPtr& request) { return HttpResponse::raw(404, mark(request, "N")); });
  const std::pair<std::string, std::string> rows[] = {
      {"/items/7", "HTTP/1.1 200 OK|ABH 7 127.0.0.1"},
      {"/early", "HTTP/1.1 400 Bad Request|A"},
      {"/late", "HTTP/1.1 400 Bad Request|AB"},
      {"/missing", "HTTP/1.1 404 ABN|"},
  };
  for (const auto& [path, expected] : rows) {
    const std::string response = exchange(server->port(), "GET " + path + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.substr(0, response.find("\r\n")) + "|" + bodyOf(response), expected);
  }
}

TEST(HttpServerTest, StopStartPortInUseDescriptorsRunningOutAndRacingClients) {
  auto server = startLocalServer();
  server->GET["/r"] = kHi;
  const int port = server->port();
  TestClient client(port);
  EXPECT_EQ(keptBody(client), "hi");
  auto other = std::make_shared<HttpServer>();
  other->listenAddressIPv4 = "127.0.0.1";
  EXPECT_THROW(other->start(static_cast<uint16_t>(port), true), SocketError);  // bindFailed
  other->start(0, true);
  EXPECT_NE(other->port(), port);  // listening after all

  server->stop();
  EXPECT_TRUE(client.closedWithoutData());  // the keep-alive connection ended
  EXPECT_EQ(server->openConnectionCount(), 0u);
  // Its released descriptor number now names another socket, which must not answer for it.
  std::vector<std::unique_ptr<TestClient>> reusers;
  for (int i = 0; i < 8; ++i) reusers.push_back(std::make_unique<TestClient>(other->port()));
  EXPECT_THROW(server->port(), SocketError);
  EXPECT_THROW(server->isIPv4(), SocketError);
  server->start(static_cast<uint16_t>(port), true);

  // Descriptors run out: accept() fails until some are free, then the waiting client is served.
  // The limit is lowered to what is open now, for this block only.
  {
    struct LimitRestored {
      rlimit saved{};
      LimitRestored() { getrlimit(RLIMIT_NOFILE, &saved); }
      ~LimitRestored() { setrlimit(RLIMIT_NOFILE, &saved); }
    } restored;
    const auto open = static_cast<rlim_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
    const rlimit lowered{open + 16, restored.saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
    ASSERT_FALSE(filler.empty());
    close(filler.back());
    filler.pop_back();
    TestClient again(port);  // the last free descriptor
    for (int i = 0; i < 12000 && server->acceptShortages() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GT(server->acceptShortages(), 0u);  // the path under test was taken
    for (int fd : filler) close(fd);
    EXPECT_EQ(keptBody(again), "hi");
  }

  std::atomic<bool> done{false};
  auto requests = [&] {
    while (!done) {
      try {
        const std::string body = bodyOf(exchange(port, "GET /r HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(body.empty() || body == "hi") << body;  // empty when stopped meanwhile
      } catch (const std::runtime_error&) {                 // nobody listening at that moment
      }
    }
  };
  std::thread clients[] = {std::thread(requests), std::thread(requests), std::thread(requests)};
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
    server->stop();
    server->start(static_cast<uint16_t>(port), true);
  }
  done = true;
  for (std::thread& racer : clients) racer.join();
  TestClient last(port);
  EXPECT_EQ(keptBody(last), "hi");
  server->stop();
  EXPECT_EQ(server->openConnectionCount(), 0u);
}

}  // namespace
}  // namespace velmora::http
