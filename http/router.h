#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http/parser.h"
#include "http/response.h"

namespace velmora::http {

// Also declared in http/server_io.h; both name the same types.
using HttpHandler = std::function<HttpResponse(const HttpRequestPtr&)>;
using RouteParams = std::unordered_map<std::string, std::string>;

// A route that matched: the path parameters (keys with their colon, ":id") and the handler.
struct RouteMatch {
  RouteParams params;
  HttpHandler handler;
};

// Maps a method and a path to a handler and the values of the path's parameters.
//
// Routes are a tree of path segments below a first level of methods ("*" for routes registered
// without one). A segment is a literal, a parameter (":name", one segment), "*" (exactly one
// segment) or "**" (two or more segments up to the next literal). At one place a parameter is
// tried before a literal, a literal before "*", "*" before "**"; a method's own routes are tried
// before the method-less ones, and only the first route reached counts.
//
// Thread-safe: lookups run in parallel with each other; a registration waits for them and holds
// the next ones back, so routes may be added or changed while a server is serving.
class HttpRouter {
 public:
  HttpRouter();
  ~HttpRouter();
  HttpRouter(const HttpRouter&) = delete;
  HttpRouter& operator=(const HttpRouter&) = delete;

  // Adds the route or replaces its handler. No method: the route answers every method. An empty
  // handler takes the route out of service; lookups that reach it first then fail. Any thread.
  void registerRoute(const std::optional<std::string>& method, std::string_view path,
                     HttpHandler handler);

  // The handler for a request and its path parameters, or nullopt when no route in service
  // matches. Whatever follows a '?' in `path` is ignored; each segment is percent-decoded before
  // it is compared, and a segment that does not decode (a bad escape, bytes that are not UTF-8)
  // matches nothing. Any thread.
  std::optional<RouteMatch> route(const std::optional<std::string>& method,
                                  std::string_view path) const;

  // The paths of the routes in service, once per method they are registered for, without the
  // method; "/" lists as "". Any thread.
  std::vector<std::string> routes() const;

 private:
  struct Node {
    // Children keyed by the segment exactly as registered (":id", "*", "**" included). Sorted, so
    // the parameter child tried is the one whose name sorts first.
    std::map<std::string, std::unique_ptr<Node>, std::less<>> nodes;
    bool isEndOfRoute = false;
    HttpHandler handler;  // empty: no route ends here, or it is out of service
  };
  // A request segment after percent-decoding; nullopt when it does not decode.
  using Token = std::optional<std::string>;

  struct Search;
  static bool findFirstMatch(const Node& node, std::size_t index, Search& search);
  static void routesBelow(const Node& node, const std::string& prefix,
                          std::vector<std::string>& into);
  std::optional<RouteMatch> lookUp(const std::vector<Token>& tokens) const;

  // Guards the whole tree under rootNode_: shared for lookups and listings, exclusive for
  // registrations.
  mutable std::shared_mutex mutex_;
  Node rootNode_;
};

// The path without whatever follows its first '?'.
std::string_view withoutQuery(std::string_view path);

// The non-empty pieces of `path` between slashes, its query left out: "/a//b/?x" gives a, b.
std::vector<std::string_view> pathSegments(std::string_view path);

// "%" and two hexadecimal digits become that byte; nullopt when a '%' starts no such escape or
// the result is not valid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace velmora::http
