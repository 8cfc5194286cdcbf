#include "http/server_io.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <semaphore>
#include <thread>

#include "tests/support/test_client.h"

namespace velmora::http {
namespace {

using testing::TestClient;
using namespace std::chrono_literals;

// Answers by path: /text, /empty, /raw, /upgrade, /slow ...; anything else is the base notFound.
class TestServer : public HttpServerIO {
 public:
  std::function<HttpResponse(const HttpRequestPtr&)> handler;
  std::pair<RouteParams, HttpHandler> dispatch(const HttpRequestPtr& request) override {
    if (handler) return {{{":seen", request->path}}, handler};
    return HttpServerIO::dispatch(request);
  }
};

std::shared_ptr<TestServer> startServer(std::function<HttpResponse(const HttpRequestPtr&)> handler,
                                        HttpLimits limits = {}) {
  auto server = std::make_shared<TestServer>();
  server->handler = std::move(handler);
  server->limits = limits;
  server->start(0, true);
  return server;
}

HttpResponse answerByPath(const HttpRequestPtr& request) {
  if (request->path == "/text") return HttpResponse::ok(HttpResponseBody::text("Hello, World!"));
  if (request->path == "/empty") return HttpResponse::ok(HttpResponseBody::html(""));
  if (request->path == "/raw") {
    return HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/plain"}},
                             [](HttpResponseBodyWriter& writer) {
                               writer.write("part 1\n");
                               writer.write("part 2\n");
                             });
  }
  if (request->path == "/echo") {
    return HttpResponse::ok(HttpResponseBody::text(request->method + " " + request->path + " " +
                                                   std::string(request->body.begin(), request->body.end()) +
                                                   " from " + request->address.value_or("?")));
  }
  return HttpResponse::notFound();
}

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

const std::string kServer = "Server: " + HttpServerIO::version() + "\r\n";

TEST(HttpServerIOTest, WritesTheExactHeaderBlockAndKeepsAliveByTheRule) {
  auto server = startServer(answerByPath);
  TestClient client(server->port());

  client.send("GET /text HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(client.readResponse(),
            "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: keep-alive\r\n" + kServer + "\r\nHello, World!");

  client.send("GET /empty HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(client.readResponse(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: keep-alive\r\n" + kServer +
                                       "Content-Type: text/html\r\n\r\n");

  client.send("GET /nothing HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(client.readResponse(), "HTTP/1.1 404 Not Found\r\n" + kServer + "\r\n");
  // A response of unknown length ends the connection.
  EXPECT_TRUE(client.closedWithoutData());

  // "Keep-Alive" with capitals is not the keep-alive wish: no Connection line, then closed.
  TestClient capital(server->port());
  capital.send("GET /text HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(capital.readUntilClose(), "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n" + kServer + "\r\nHello, World!");

  // A raw body announces no length and closes after the callback.
  TestClient raw(server->port());
  raw.send("GET /raw HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(raw.readUntilClose(),
            "HTTP/1.1 200 OK\r\n" + kServer + "Content-Type: text/plain\r\n\r\npart 1\npart 2\n");
  server->stop();
}

// A raw body whose handler declared its length keeps a keep-alive connection only when exactly
// that many bytes went out and the handler chose no Connection header itself.
TEST(HttpServerIOTest, ARawBodyOfDeclaredLengthKeepsTheConnectionOnlyWhenItHoldsToIt) {
  struct Row {
    const char* name;
    HttpHeaders headers;
    std::vector<std::string> writes;
    bool throwsAfterwards;
    std::string expected;  // what the client reads up to its next request or the close
    bool keeps;
  };
  const std::vector<Row> rows = {
      {"exact", {{"Content-Length", "6"}}, {"ab", "cdef"}, false,
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n" + kServer + "Content-Length: 6\r\n\r\nabcdef", true},
      {"name in lower case", {{"content-length", "2"}}, {"ab"}, false,
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n" + kServer + "content-length: 2\r\n\r\nab", true},
      {"fewer bytes", {{"Content-Length", "6"}}, {"abc"}, false,
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n" + kServer + "Content-Length: 6\r\n\r\nabc", false},
      {"more bytes are cut", {{"Content-Length", "3"}}, {"ab", "cdef", "gh"}, false,
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n" + kServer + "Content-Length: 3\r\n\r\nabc", false},
      {"its own Connection", {{"Content-Length", "2"}, {"Connection", "close"}}, {"ab"}, false,
       "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\nConnection: close\r\n\r\nab", false},
      {"not a number", {{"Content-Length", "2x"}}, {"ab"}, false,
       "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2x\r\n\r\nab", false},
      {"two lengths", {{"Content-Length", "2"}, {"content-length", "2"}}, {"ab"}, false,
       "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\ncontent-length: 2\r\n\r\nab", false},
      {"callback fails part way", {{"Content-Length", "6"}}, {"abc"}, true,
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n" + kServer + "Content-Length: 6\r\n\r\nabc", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto server = startServer([&row](const HttpRequestPtr& request) {
      if (request->path != "/raw") return answerByPath(request);
      return HttpResponse::raw(200, "OK", row.headers, [&row](HttpResponseBodyWriter& writer) {
        for (const std::string& part : row.writes) writer.write(part);
        if (row.throwsAfterwards) throw std::runtime_error("source failed");
      });
    });
    TestClient client(server->port());
    client.send("GET /raw HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    if (row.keeps) {
      EXPECT_EQ(client.readResponse(), row.expected);
      client.send("GET /text HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
      EXPECT_EQ(testing::parseResponse(client.readResponse()).body, "Hello, World!");
    } else {
      EXPECT_EQ(client.readUntilClose(), row.expected);
      EXPECT_TRUE(client.peerClosed());  // closed, not left waiting for bytes that never come
    }
    server->stop();
  }
}

TEST(HttpServerIOTest, PipelinedRequestsAreAnsweredInOrder) {
  auto server = startServer(answerByPath);
  TestClient client(server->port());
  // Two requests in one write, the first with a body, and a third whose body has no length and
  // is therefore read as the next request line.
  client.send(
      "POST /echo HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\nabc"
      "GET /echo HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
      "POST /echo HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
      "PUT /echo HTTP/1.1\r\n\r\n");
  EXPECT_EQ(testing::parseResponse(client.readResponse()).body, "POST /echo abc from 127.0.0.1");
  EXPECT_EQ(testing::parseResponse(client.readResponse()).body, "GET /echo  from 127.0.0.1");
  EXPECT_EQ(testing::parseResponse(client.readResponse()).body, "POST /echo  from 127.0.0.1");
  EXPECT_EQ(testing::parseResponse(client.readResponse()).body, "PUT /echo  from 127.0.0.1");
  EXPECT_TRUE(client.closedWithoutData());
  server->stop();
}

TEST(HttpServerIOTest, MalformedOrOversizedRequestsCloseWithoutAnAnswer) {
  HttpLimits limits;
  limits.maxLineBytes = 1024;
  limits.maxHeaderLines = 10;
  limits.maxBodyBytes = 1000;
  auto server = startServer(answerByPath, limits);
  const std::vector<std::pair<const char*, std::string>> rows = {
      {"two words", "GET /text\r\n\r\n"},
      {"negative length", "POST /text HTTP/1.1\r\nContent-Length: -1\r\n\r\n"},
      {"body over the limit", "POST /text HTTP/1.1\r\nContent-Length: 1001\r\n\r\n"},
      {"huge length", "POST /text HTTP/1.1\r\nContent-Length: 100000000000000\r\n\r\n"},
      {"line over the limit", "GET /" + std::string(2000, 'a') + " HTTP/1.1\r\n\r\n"},
      {"too many headers", "GET /text HTTP/1.1\r\n" + repeated("A: b\r\n", 11) + "\r\n"},
  };
  for (const auto& [name, wire] : rows) {
    SCOPED_TRACE(name);
    TestClient client(server->port());
    client.send(wire);
    EXPECT_EQ(client.readUntilClose(), "");
  }
  server->stop();
}

TEST(HttpServerIOTest, StopEndsOpenConnectionsAndStartBindsAgain) {
  auto server = startServer(answerByPath);
  const int port = server->port();
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<TestClient>(port));
    clients.back()->send("GET /text HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    ASSERT_FALSE(clients.back()->readResponse().empty());
  }
  EXPECT_EQ(server->openConnectionCount(), 3u);

  server->start(static_cast<uint16_t>(port), true);  // running: nothing changes
  EXPECT_EQ(server->port(), port);

  server->stop();
  EXPECT_EQ(server->state(), HttpServerIOState::stopped);
  EXPECT_EQ(server->openConnectionCount(), 0u);
  for (auto& client : clients) EXPECT_TRUE(client->closedWithoutData());
  EXPECT_THROW(server->port(), SocketError);

  server->start(static_cast<uint16_t>(port), true);
  EXPECT_TRUE(server->isServing());
  TestClient again(port);
  again.send("GET /text HTTP/1.1\r\n\r\n");
  EXPECT_NE(again.readUntilClose().find("Hello, World!"), std::string::npos);
  server->stop();
}

TEST(HttpServerIOTest, StartOnABusyPortRaisesBindFailed) {
  auto first = startServer(answerByPath);
  auto second = std::make_shared<TestServer>();
  try {
    second->start(static_cast<uint16_t>(first->port()), true);
    FAIL() << "a busy port must fail";
  } catch (const SocketError& error) {
    EXPECT_EQ(error.kind(), SocketError::Case::bindFailed);
  }
  EXPECT_FALSE(second->isServing());
  EXPECT_EQ(second->state(), HttpServerIOState::starting);
  second->stop();  // does nothing while starting
  second->start(0, true);
  EXPECT_TRUE(second->isServing());
  second->stop();
  first->stop();
}

TEST(HttpServerIOTest, SwitchProtocolsHandsOverTheSocketWithItsBufferedBytes) {
  std::shared_ptr<Socket> handedOver;
  auto server = startServer([&](const HttpRequestPtr&) {
    return HttpResponse::switchProtocols(HttpHeaders{{"Upgrade", "echo"}}, [&](std::shared_ptr<Socket> socket) {
      handedOver = socket;
      // Bytes sent together with the request must not be lost in a buffer.
      const std::string line = socket->readLine();
      socket->writeText("echo: " + line + "\n");
    });
  });
  TestClient client(server->port());
  client.send("GET /ws HTTP/1.1\r\nConnection: keep-alive\r\n\r\nhello there\n");
  EXPECT_EQ(client.readUntilClose(),
            "HTTP/1.1 101 Switching Protocols\r\n" + kServer + "Upgrade: echo\r\n\r\necho: hello there\n");
  ASSERT_TRUE(handedOver);
  for (int i = 0; i < 100 && !handedOver->isShutdown(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(handedOver->isShutdown());
  server->stop();
}

TEST(HttpServerIOTest, IdleConnectionsAreClosedAfterTheTimeout) {
  HttpLimits limits;
  limits.idleTimeout = 300ms;
  auto server = startServer(answerByPath, limits);
  TestClient silent(server->port());
  TestClient halfLine(server->port());
  halfLine.send("GET /te");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.closedWithoutData());
  EXPECT_TRUE(halfLine.closedWithoutData());
  // Closed by the server, long before the client's own 10 s read timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  server->stop();
}

TEST(HttpServerIOTest, SequentialKeepAliveRequestsDoNotStallOnNagle) {
  auto server = startServer(answerByPath);
  TestClient client(server->port());
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    client.send("GET /text HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    ASSERT_NE(client.readResponse().find("Hello, World!"), std::string::npos);
  }
  // A 40 ms delayed-ACK stall per response would take four seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  server->stop();
}

TEST(HttpServerIOTest, ABlockedHandlerNeverDelaysOtherConnections) {
  std::binary_semaphore release{0};
  auto server = startServer([&](const HttpRequestPtr& request) {
    if (request->path == "/block") release.acquire();
    return answerByPath(request);
  });
  std::vector<std::thread> blocked;
  for (int i = 0; i < 8; ++i) {
    blocked.emplace_back([port = server->port()] {
      TestClient client(port);
      client.send("GET /block HTTP/1.1\r\n\r\n");
      client.readUntilClose();
    });
  }
  std::this_thread::sleep_for(100ms);
  TestClient other(server->port());
  other.send("GET /text HTTP/1.1\r\n\r\n");
  EXPECT_NE(other.readUntilClose().find("Hello, World!"), std::string::npos);
  for (int i = 0; i < 8; ++i) release.release();
  for (auto& thread : blocked) thread.join();
  server->stop();
}

TEST(HttpServerIOTest, AResetClientDuringAStreamedBodyLeavesTheServerServing) {
  std::binary_semaphore firstWritten{0};
  std::binary_semaphore clientGone{0};
  auto server = startServer([&](const HttpRequestPtr& request) {
    if (request->path != "/stream") return answerByPath(request);
    return HttpResponse::raw(200, "OK", std::nullopt, [&](HttpResponseBodyWriter& writer) {
      writer.write("first");
      firstWritten.release();
      clientGone.acquire();
      const std::string chunk(64 * 1024, 'x');
      for (int i = 0; i < 200; ++i) writer.write(chunk);  // raises writeFailed on the way
    });
  });
  {
    TestClient leaving(server->port());
    leaving.send("GET /stream HTTP/1.1\r\n\r\n");
    firstWritten.acquire();
    leaving.reset();
  }
  clientGone.release();
  TestClient next(server->port());
  next.send("GET /text HTTP/1.1\r\n\r\n");
  EXPECT_NE(next.readUntilClose().find("Hello, World!"), std::string::npos);
  server->stop();
}

std::size_t openDescriptorCount() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

TEST(HttpServerIOTest, RunningOutOfDescriptorsDoesNotStopTheAcceptLoop) {
  auto server = startServer(answerByPath);
  rlimit original{};
  getrlimit(RLIMIT_NOFILE, &original);
  rlimit low = original;
  low.rlim_cur = openDescriptorCount() + 6;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

  // Connect until the process has no descriptor left; the last connections wait in the backlog
  // while accept() fails with EMFILE.
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 20; ++i) {
    try {
      clients.push_back(std::make_unique<TestClient>(server->port(), 5s));
    } catch (const std::exception&) {
      break;
    }
  }
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  EXPECT_TRUE(server->isServing());
  ASSERT_FALSE(clients.empty());
  clients.back()->send("GET /text HTTP/1.1\r\n\r\n");
  EXPECT_NE(clients.back()->readUntilClose().find("Hello, World!"), std::string::npos);
  server->stop();
}

[[maybe_unused]] long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(HttpServerIOTest, IdleConnectionsAndAHugeLengthLeaveRoomForNewClients) {
  auto server = startServer(answerByPath);
  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < 400; ++i) idle.push_back(std::make_unique<TestClient>(server->port()));
  TestClient greedy(server->port());
  greedy.send("POST /text HTTP/1.1\r\nContent-Length: 100000000000000\r\n\r\n");
  EXPECT_EQ(greedy.readUntilClose(), "");

  TestClient fresh(server->port());
  fresh.send("GET /text HTTP/1.1\r\n\r\n");
  EXPECT_NE(fresh.readUntilClose().find("Hello, World!"), std::string::npos);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizers keep shadow memory per thread; the figure means something only without them.
  EXPECT_LT(residentKilobytes(), 200 * 1024);
#endif
  server->stop();
  for (auto& client : idle) EXPECT_TRUE(client->closedWithoutData());
}

TEST(HttpServerIOTest, StartAndStopRaceWithClients) {
  auto server = startServer(answerByPath);
  const int port = server->port();
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> hammer;
  for (int t = 0; t < 4; ++t) {
    hammer.emplace_back([&] {
      while (!done) {
        try {
          TestClient client(port, 2s);
          client.send("GET /text HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
          if (client.readResponse().find("Hello") != std::string::npos) ++answered;
        } catch (const std::exception&) {
        }
      }
    });
  }
  for (int i = 0; i < 30; ++i) {
    server->stop();
    std::thread racing([&] { server->stop(); });
    racing.join();
    server->start(static_cast<uint16_t>(port), true);
    std::this_thread::sleep_for(5ms);
  }
  done = true;
  for (auto& thread : hammer) thread.join();
  EXPECT_GT(answered.load(), 0);
  server->stop();
  EXPECT_EQ(server->openConnectionCount(), 0u);
}

// Connections take TCP_NODELAY and the idle timeouts over from the listening socket instead of
// setting them one by one.
TEST(HttpServerIOTest, AcceptedConnectionsHaveNoDelayAndTheIdleTimeouts) {
  HttpLimits limits;
  limits.idleTimeout = 1500ms;
  int noDelay = -1;
  timeval sendTimeout{};
  std::binary_semaphore measured{0};
  auto server = startServer(
      [&](const HttpRequestPtr&) {
        return HttpResponse::switchProtocols({}, [&](std::shared_ptr<Socket> socket) {
          socklen_t length = sizeof noDelay;
          getsockopt(socket->socketFileDescriptor(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
          length = sizeof sendTimeout;
          getsockopt(socket->socketFileDescriptor(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout,
                     &length);
          measured.release();
        });
      },
      limits);
  TestClient client(server->port());
  client.send("GET /ws HTTP/1.1\r\n\r\n");
  client.readUntilClose();
  ASSERT_TRUE(measured.try_acquire_for(10s));
  EXPECT_EQ(noDelay, 1);
  EXPECT_EQ(sendTimeout.tv_sec, 1);
  EXPECT_EQ(sendTimeout.tv_usec, 500000);
  server->stop();
}

// Threads that accept serve what they accept and then accept again: a burst of short
// connections from many clients at once is answered whole, and stop() ends the accepting
// threads however many wait.
TEST(HttpServerIOTest, BurstsOfShortConnectionsAreAllAnswered) {
  auto server = startServer(answerByPath);
  const int port = server->port();
  for (int burst = 0; burst < 3; ++burst) {
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 16; ++t) {
      clients.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
          TestClient client(port);
          client.send("GET /echo HTTP/1.1\r\n\r\n");
          if (client.readUntilClose().ends_with("GET /echo  from 127.0.0.1")) ++answered;
        }
      });
    }
    for (auto& thread : clients) thread.join();
    EXPECT_EQ(answered.load(), 16 * 20);
  }
  for (int i = 0; i < 100 && server->openConnectionCount() > 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server->openConnectionCount(), 0u);
  server->stop();
  EXPECT_EQ(server->state(), HttpServerIOState::stopped);
  // Nothing accepts on the old port any more.
  bool refused = false;
  try {
    TestClient probe(port, 1s);
    probe.send("GET /text HTTP/1.1\r\n\r\n");
    refused = probe.readUntilClose().empty();
  } catch (const std::exception&) {
    refused = true;
  }
  EXPECT_TRUE(refused);
}

TEST(HttpServerIOTest, AThrowingHandlerAnswers500AndReleasesTheConnection) {
  auto server = startServer([](const HttpRequestPtr& request) -> HttpResponse {
    if (request->path == "/throw") throw std::runtime_error("handler bug");
    return answerByPath(request);
  });
  TestClient client(server->port());
  client.send("GET /throw HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(client.readUntilClose(), "HTTP/1.1 500 Internal Server Error\r\n" + kServer + "\r\n");
  for (int i = 0; i < 100 && server->openConnectionCount() > 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server->openConnectionCount(), 0u);
  server->stop();
}

TEST(HttpServerIOTest, DestroyingTheServerStopsIt) {
  auto server = startServer(answerByPath);
  const int port = server->port();
  TestClient client(port);
  client.send("GET /text HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  ASSERT_FALSE(client.readResponse().empty());
  server.reset();
  EXPECT_TRUE(client.closedWithoutData());
  // The listening socket goes a moment after the connections (the last owner may have been a
  // connection thread finishing its request).
  bool refused = false;
  for (int i = 0; i < 200 && !refused; ++i) {
    try {
      TestClient probe(port, 1s);
      std::this_thread::sleep_for(10ms);
    } catch (const std::runtime_error&) {
      refused = true;
    }
  }
  EXPECT_TRUE(refused);
}

// Threads of this process blocked in accept(), as the kernel reports them.
int threadsInAccept() {
  int count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  while (const dirent* entry = tasks ? ::readdir(tasks) : nullptr) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream wchan(std::string("/proc/self/task/") + entry->d_name + "/wchan");
    std::string where;
    std::getline(wchan, where);
    count += where == "inet_csk_accept" ? 1 : 0;
  }
  if (tasks) ::closedir(tasks);
  return count;
}

// After a burst of connections that arrive faster than threads start, only a few threads stay
// parked in accept(); the rest go back to the pool instead of waiting there for good.
TEST(HttpServerIOTest, ABurstLeavesOnlyAFewThreadsWaitingInAccept) {
  auto server = startServer(answerByPath);
  const int port = server->port();
  // Quiet connections that hold a thread each and then leave fill the pool with idle threads,
  // which take up every replacement acceptor at once.
  std::vector<std::unique_ptr<TestClient>> burst;
  for (int i = 0; i < 300; ++i) burst.push_back(std::make_unique<TestClient>(port));
  for (int i = 0; i < 200 && server->openConnectionCount() < 300; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  burst.clear();
  for (int i = 0; i < 500 && server->openConnectionCount() > 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  // Then quiet connections again, and a flood of header blocks, each refused at the
  // header-line limit, that arrives without the clients waiting for it.
  for (int i = 0; i < 150; ++i) {
    burst.push_back(std::make_unique<TestClient>(port));
    burst.back()->send("GET / HTTP/1.1\r\n");
  }
  const std::string flood = "GET / HTTP/1.1\r\n" + repeated("X-Flood: never ends\r\n", 250);
  for (int i = 0; i < 150; ++i) {
    burst.push_back(std::make_unique<TestClient>(port));
    burst.back()->send(flood);
  }
  for (int line = 0; line < 4; ++line) {
    std::this_thread::sleep_for(250ms);
    for (int i = 0; i < 150; ++i) {
      burst[static_cast<std::size_t>(i)]->send("X-Slow: still coming\r\n");
    }
  }
  for (int i = 0; i < 150; ++i) burst[static_cast<std::size_t>(i)]->close();
  int parked = threadsInAccept();
  const auto settling = [&] {
    return parked > 5 || parked == 0 || server->openConnectionCount() > 0;
  };
  for (int i = 0; i < 500 && settling(); ++i) {
    std::this_thread::sleep_for(10ms);
    parked = threadsInAccept();
  }
  EXPECT_GE(parked, 1);  // someone still accepts
  EXPECT_LE(parked, 5);
  burst.clear();
  server->stop();
}

}  // namespace
}  // namespace velmora::http
