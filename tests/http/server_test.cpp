#include "http/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/support/test_client.h"

namespace velmora::http {
namespace {

using testing::parseResponse;
using testing::TestClient;

HttpHandler answering(const std::string& text) {
  return [text](const HttpRequestPtr&) { return HttpResponse::ok(HttpResponseBody::text(text)); };
}

struct Answer {
  RouteParams params;
  int status;
  std::string text;  // the body of an ok text answer
};

// Dispatches a request the way the connection loop does and calls the handler.
Answer dispatch(HttpServer& server, const std::string& method, const std::string& path) {
  auto request = std::make_shared<HttpRequest>();
  request->method = method;
  request->path = path;
  auto [params, handler] = server.dispatch(request);
  request->params = params;
  const HttpResponse response = handler(request);
  std::string text;
  if (const auto* ok = std::get_if<HttpResponse::Ok>(&response.value())) {
    if (const auto* body = std::get_if<HttpResponseBody::Text>(&ok->body.kind())) text = body->text;
  }
  return {std::move(params), response.statusCode(), text};
}

TEST(HttpServer, MethodRoutesRegisterForTheirMethod) {
  auto server = std::make_shared<HttpServer>();
  const std::vector<std::pair<HttpServer::MethodRoute*, std::string>> routes = {
      {&server->DELETE, "DELETE"},  {&server->PATCH, "PATCH"}, {&server->HEAD, "HEAD"},
      {&server->POST, "POST"},      {&server->GET, "GET"},     {&server->PUT, "PUT"},
      {&server->delete_, "DELETE"}, {&server->patch, "PATCH"}, {&server->head, "HEAD"},
      {&server->post, "POST"},      {&server->get, "GET"},     {&server->put, "PUT"},
  };
  for (const auto& [route, method] : routes) {
    (*route)["/m"] = answering(route->method);
    EXPECT_EQ(route->method, method);
    EXPECT_EQ(dispatch(*server, method, "/m").text, method);
  }
  EXPECT_EQ(dispatch(*server, "OPTIONS", "/m").status, 404);
  EXPECT_EQ(server->routes().size(), 6u) << "lower-case twins register the same routes";

  server->post["/submit"] = answering("lower");
  server->POST["/submit"] = answering("upper");
  EXPECT_EQ(dispatch(*server, "POST", "/submit").text, "upper");
  EXPECT_EQ(dispatch(*server, "GET", "/submit").status, 404);
}

TEST(HttpServer, PathSubscriptServesEveryMethodUntilTakenOut) {
  auto server = std::make_shared<HttpServer>();
  (*server)["/clear"] = answering("cleared");
  const HttpHandler read = (*server)["/clear"];
  EXPECT_FALSE(read);
  for (const char* method : {"GET", "POST", "BREW"})
    EXPECT_EQ(dispatch(*server, method, "/clear").text, "cleared");

  server->GET["/users/:id"] = [](const HttpRequestPtr& request) {
    return HttpResponse::ok(HttpResponseBody::text("user " + request->params.at(":id")));
  };
  const Answer user = dispatch(*server, "GET", "/users/7?x=1");
  EXPECT_EQ(user.text, "user 7");
  EXPECT_EQ(user.params, (RouteParams{{":id", "7"}}));

  (*server)["/clear"] = nullptr;
  EXPECT_EQ(dispatch(*server, "GET", "/clear").status, 404);
  server->setNotFoundHandler(answering("custom"));
  const Answer missing = dispatch(*server, "GET", "/clear");
  EXPECT_EQ(missing.text, "custom");
  EXPECT_TRUE(missing.params.empty());
  server->setNotFoundHandler(nullptr);
  EXPECT_EQ(dispatch(*server, "GET", "/nowhere").status, 404);
}

TEST(HttpServer, MiddlewareRunsInOrderUntilOneAnswers) {
  auto server = std::make_shared<HttpServer>();
  std::vector<std::string> calls;
  server->GET["/users/:id"] = answering("routed");
  server->setMiddleware({
      [&](const HttpRequestPtr&) -> std::optional<HttpResponse> {
        calls.push_back("first");
        return std::nullopt;
      },
      [&](const HttpRequestPtr& request) -> std::optional<HttpResponse> {
        calls.push_back("second");
        if (request->path == "/users/blocked") return HttpResponse::forbidden();
        return std::nullopt;
      },
  });
  server->addMiddleware([&](const HttpRequestPtr&) -> std::optional<HttpResponse> {
    calls.push_back("third");
    return std::nullopt;
  });

  const Answer blocked = dispatch(*server, "GET", "/users/blocked");
  EXPECT_EQ(blocked.status, 403);
  EXPECT_TRUE(blocked.params.empty()) << "the router was consulted";
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));

  calls.clear();
  EXPECT_EQ(dispatch(*server, "GET", "/users/1").text, "routed");
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(server->middleware().size(), 3u);
}

// Over the wire: middleware sees the peer address, the handler the route parameters.
TEST(HttpServer, ServesThroughTheConnectionLoop) {
  auto server = std::make_shared<HttpServer>();
  std::mutex mutex;  // the middleware runs on a connection thread
  std::optional<std::string> seenAddress;
  bool paramsSetEarly = false;
  server->addMiddleware([&](const HttpRequestPtr& request) -> std::optional<HttpResponse> {
    std::lock_guard lock(mutex);
    seenAddress = request->address;
    paramsSetEarly = !request->params.empty();
    return std::nullopt;
  });
  server->GET["/echo/:word"] = [](const HttpRequestPtr& request) {
    return HttpResponse::ok(HttpResponseBody::text(request->params.at(":word")));
  };
  server->start(0, true);

  TestClient client(server->port());
  client.send("GET /echo/hi%21 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(parseResponse(client.readResponse()).body, "hi!");
  client.send("GET /echo HTTP/1.1\r\n\r\n");
  EXPECT_EQ(parseResponse(client.readUntilClose()).statusLine, "HTTP/1.1 404 Not Found");
  server->stop();

  std::lock_guard lock(mutex);
  EXPECT_EQ(seenAddress, "127.0.0.1");
  EXPECT_FALSE(paramsSetEarly);
}

// Clients on several connections while routes, middleware and the not-found handler change.
TEST(HttpServer, ChangesWhileServing) {
  auto server = std::make_shared<HttpServer>();
  server->GET["/items/:id"] = [](const HttpRequestPtr& request) {
    return HttpResponse::ok(HttpResponseBody::text("item " + request->params.at(":id")));
  };
  server->start(0, true);
  const int port = server->port();

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      TestClient client(port);
      for (int i = 0; i < 60 || !done; ++i) {
        const std::string id = std::to_string(t) + "-" + std::to_string(i);
        client.send("GET /items/" + id + " HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
        if (parseResponse(client.readResponse()).body != "item " + id) ++wrong;
        // A 404 has no length and closes its connection: one connection per request here.
        TestClient other(port);
        other.send("GET /late/" + id + " HTTP/1.1\r\n\r\n");
        const auto late = parseResponse(other.readUntilClose());
        // Either not yet there (plain or custom not-found) or the new route.
        if (late.statusLine != "HTTP/1.1 404 Not Found" && late.body != "missing" &&
            late.body != "late " + id) {
          ++wrong;
        }
      }
    });
  }
  for (int i = 0; i < 50; ++i) {
    server->setNotFoundHandler(i % 2 ? answering("missing") : HttpHandler());
    server->addMiddleware(
        [](const HttpRequestPtr&) -> std::optional<HttpResponse> { return std::nullopt; });
    (*server)["/filler/" + std::to_string(i)] = answering("filler");
    std::this_thread::yield();
  }
  server->GET["/late/:id"] = [](const HttpRequestPtr& request) {
    return HttpResponse::ok(HttpResponseBody::text("late " + request->params.at(":id")));
  };
  done = true;
  for (auto& client : clients) client.join();
  EXPECT_EQ(wrong, 0);

  TestClient client(port);
  client.send("GET /late/x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(parseResponse(client.readUntilClose()).body, "late x");
  server->stop();
}

}  // namespace
}  // namespace velmora::http
