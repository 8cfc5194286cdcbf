#include "examples/demo_routes.h"

#include "examples/demo_forms_routes.h"

#include <chrono>
#include <string>
#include <thread>

namespace velmora::examples {

using http::HttpRequestPtr;
using http::HttpResponse;
using http::HttpResponseBody;

namespace {

constexpr int kStreamChunks = 5;
constexpr auto kStreamInterval = std::chrono::milliseconds(100);

HttpResponse text(std::string body) {
  return HttpResponse::ok(HttpResponseBody::text(std::move(body)));
}

}  // namespace

void registerDemoRoutes(http::HttpServer& server) {
  server.GET["/"] = [](const HttpRequestPtr&) { return text("Hello, World!"); };

  server.GET["/users/:id"] = [](const HttpRequestPtr& request) {
    const auto id = request->params.find(":id");
    return text("user " + (id == request->params.end() ? std::string() : id->second));
  };

  server.GET["/files/*/info"] = [](const HttpRequestPtr&) { return text("info"); };

  server.GET["/a/**/z"] = [](const HttpRequestPtr&) { return text("deep"); };

  server["/redirect"] = [](const HttpRequestPtr&) { return HttpResponse::movedTemporarily("/"); };

  server.GET["/json"] = [](const HttpRequestPtr&) {
    return HttpResponse::ok(HttpResponseBody::json({{"hello", "world"}}));
  };

  // No length is announced: the client reads until the connection closes, and sees each line as
  // soon as it is written.
  server.GET["/stream"] = [](const HttpRequestPtr&) {
    return HttpResponse::raw(200, "OK", http::HttpHeaders{{"Content-Type", "text/plain"}},
                             [](http::HttpResponseBodyWriter& writer) {
                               for (int chunk = 1; chunk <= kStreamChunks; ++chunk) {
                                 if (chunk > 1) std::this_thread::sleep_for(kStreamInterval);
                                 writer.write("chunk " + std::to_string(chunk) + "\n");
                               }
                             });
  };

  server.GET["/login"] = [](const HttpRequestPtr&) { return loginFormPage(); };
  server.POST["/login"] = loginSubmit;
  server.GET["/upload"] = [](const HttpRequestPtr&) { return uploadFormPage(); };
  server.POST["/upload"] = uploadSubmit;
  server["/ws-echo"] = wsEcho();
}

}  // namespace velmora::examples
