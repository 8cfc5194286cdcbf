#include "examples/demo_routes.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "examples/demo_forms_routes.h"
#include "html/directory_listing.h"
#include "http/file_serving.h"
#include "http/router.h"

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

// The handler with an empty ":path": the folder itself.
http::HttpHandler withEmptyPath(http::HttpHandler handler) {
  return [handler = std::move(handler)](const HttpRequestPtr& request) {
    request->params = {{":path", ""}};
    return handler(request);
  };
}

// GET /prefix/a/b/... (two segments or more after the prefix) goes to the handler with ":path"
// "a/b/...". A segment that does not decode leaves the request to the routes, which refuse it.
http::HttpMiddleware nestedPaths(std::string prefix, http::HttpHandler handler) {
  return [prefix = std::move(prefix), handler = std::move(handler)](
             const HttpRequestPtr& request) -> std::optional<HttpResponse> {
    // Every request passes here: the cheap test first.
    if (request->method != "GET" || request->path.find(prefix) == std::string::npos) {
      return std::nullopt;
    }
    const auto segments = http::pathSegments(request->path);
    if (segments.size() < 3 || segments.front() != prefix) return std::nullopt;
    std::string joined;
    for (std::size_t i = 1; i < segments.size(); ++i) {
      const auto decoded = http::percentDecode(segments[i]);
      if (!decoded) return std::nullopt;
      if (i > 1) joined += '/';
      joined += *decoded;
    }
    request->params = {{":path", joined}};
    return handler(request);
  };
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

void registerFileRoutes(http::HttpServer& server, const std::string& root,
                        const std::string& readmePath) {
  const http::HttpHandler files = http::directoryFilesHandler(root, {"index.html"});
  const http::HttpHandler listing = html::directoryListingHandler(root);
  server.GET["/static"] = withEmptyPath(files);
  server.GET["/static/:path"] = files;
  server.GET["/browse"] = withEmptyPath(listing);
  server.GET["/browse/:path"] = listing;
  server.GET["/readme"] = http::fileHandler(readmePath);
  server.addMiddleware(nestedPaths("static", files));
  server.addMiddleware(nestedPaths("browse", listing));
}

}  // namespace velmora::examples
