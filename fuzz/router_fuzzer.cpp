// Route lookups against a fixed tree that holds every kind of segment. Each input line is one
// lookup: "METHOD PATH", or a bare path for a lookup without a method.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "http/response.h"
#include "http/router.h"

namespace {

using velmora::http::HttpHandler;
using velmora::http::HttpRequestPtr;
using velmora::http::HttpResponse;
using velmora::http::HttpResponseBody;
using velmora::http::HttpRouter;

HttpHandler answering(std::string text) {
  return [text = std::move(text)](const HttpRequestPtr&) {
    return HttpResponse::ok(HttpResponseBody::text(text));
  };
}

const HttpRouter& tree() {
  static const HttpRouter* router = [] {
    auto* built = new HttpRouter;
    const std::optional<std::string> any;
    // The relay's own routes.
    built->registerRoute(any, "/", answering("root"));
    built->registerRoute(any, "/api/chat", answering("api"));
    built->registerRoute("POST", "/submit", answering("submit"));
    built->registerRoute(any, "/clear", answering("clear"));
    // Parameters, wildcards and their orders of preference.
    built->registerRoute(any, "/params/:first/:last", answering("params"));
    built->registerRoute("GET", "/users/:id", answering("user"));
    built->registerRoute("DELETE", "/users/:id", answering("delete user"));
    built->registerRoute("GET", "/users/:id/profile", answering("profile"));
    built->registerRoute(any, "/users/:name/settings", answering("settings"));
    built->registerRoute(any, "/users/me", answering("me"));
    built->registerRoute(any, "/users/*/avatar", answering("avatar"));
    built->registerRoute(any, "/files/*", answering("file"));
    built->registerRoute(any, "/static/**/index.html", answering("static"));
    built->registerRoute(any, "/a/**/b/**/c", answering("nested"));
    built->registerRoute(any, "/a/**/b/:x", answering("nested param"));
    built->registerRoute(any, "/deep/**/deep/**/deep/**/end", answering("deep"));
    built->registerRoute(any, "/wild/*/*/*", answering("wild"));
    built->registerRoute(any, "/:only", answering("only"));
    built->registerRoute(any, "/caf\xC3\xA9/menu", answering("cafe"));
    built->registerRoute("", "/empty-method", answering("empty method"));
    built->registerRoute("G/ET", "/slash-method", answering("slash method"));
    // Out of service: a lookup that reaches it first finds nothing.
    built->registerRoute(any, "/disabled", answering("disabled"));
    built->registerRoute(any, "/disabled", {});
    return built;
  }();
  return *router;
}

void lookUp(std::string_view line) {
  std::optional<std::string> method;
  std::string_view path = line;
  if (const std::size_t space = line.find(' '); space != std::string_view::npos) {
    method = std::string(line.substr(0, space));
    path = line.substr(space + 1);
  }

  FUZZ_CHECK(velmora::http::withoutQuery(path).find('?') == std::string_view::npos);
  for (const std::string_view segment : velmora::http::pathSegments(path)) {
    FUZZ_CHECK(!segment.empty());
    FUZZ_CHECK(segment.find('/') == std::string_view::npos);
    FUZZ_CHECK(segment.find('?') == std::string_view::npos);
    if (const auto decoded = velmora::http::percentDecode(segment)) {
      FUZZ_CHECK(velmora::fuzz::isUtf8(*decoded));
      FUZZ_CHECK(decoded->size() <= segment.size());
    }
  }

  const auto match = tree().route(method, path);
  if (!match) return;
  FUZZ_CHECK(static_cast<bool>(match->handler));
  for (const auto& [key, value] : match->params) {
    FUZZ_CHECK(key.starts_with(':'));
    // Values are decoded segments.
    FUZZ_CHECK(!value.empty());
    FUZZ_CHECK(velmora::fuzz::isUtf8(value));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string_view input = velmora::fuzz::asText({data, size});
  for (;;) {
    const std::size_t newline = input.find('\n');
    lookUp(input.substr(0, newline));
    if (newline == std::string_view::npos) break;
    input.remove_prefix(newline + 1);
  }
  return 0;
}
