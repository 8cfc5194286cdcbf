#include "http/router.h"

#include <cstdint>
#include <mutex>
#include <set>

#include "platform/url.h"
#include "platform/utf8.h"

namespace velmora::http {

std::string_view withoutQuery(std::string_view path) {
  return path.substr(0, path.find('?'));
}

std::vector<std::string_view> pathSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  std::string_view rest = withoutQuery(path);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view piece = rest.substr(0, slash);
    if (!piece.empty()) segments.push_back(piece);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return segments;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::optional<std::string> decoded = platform::percentDecode(text);
  if (!decoded || !platform::isWellFormedUtf8(*decoded)) return std::nullopt;
  return decoded;
}

HttpRouter::HttpRouter() = default;
HttpRouter::~HttpRouter() = default;

void HttpRouter::registerRoute(const std::optional<std::string>& method, std::string_view path,
                               HttpHandler handler) {
  std::unique_lock lock(mutex_);
  Node* node = &rootNode_;
  auto descend = [&node](std::string_view key) {
    auto found = node->nodes.find(key);
    if (found == node->nodes.end()) {
      found = node->nodes.emplace(std::string(key), std::make_unique<Node>()).first;
    }
    node = found->second.get();
  };
  descend(method ? std::string_view(*method) : std::string_view("*"));
  for (const std::string_view segment : pathSegments(path)) descend(segment);
  node->isEndOfRoute = true;
  node->handler = std::move(handler);
}

std::optional<RouteMatch> HttpRouter::route(const std::optional<std::string>& method,
                                            std::string_view path) const {
  const std::vector<std::string_view> segments = pathSegments(path);
  // The first token is the method, then "*" when the method has no route.
  std::vector<Token> tokens;
  tokens.reserve(segments.size() + 1);
  tokens.emplace_back();
  for (const std::string_view segment : segments) tokens.push_back(percentDecode(segment));

  std::shared_lock lock(mutex_);
  // The method is one segment however it is spelt: an empty method or one holding a slash must
  // not shift the path's segments into the method's place.
  if (method) {
    tokens.front() = percentDecode(*method);
    if (auto match = lookUp(tokens)) return match;
  }
  tokens.front() = std::string("*");
  return lookUp(tokens);
}

// One lookup's state. Only the first route reached counts, so the walk stops there; a place
// (node, segment index) from which no route was reached is remembered, because "**" reaches the
// same places along many paths and walking them again grows exponentially with nested "**".
struct HttpRouter::Search {
  const std::vector<Token>& tokens;
  // The values along the branch being walked.
  RouteParams params;
  const Node* matched = nullptr;
  std::set<std::pair<const Node*, std::size_t>> deadEnds;
  // Endings (the "**" node, the index of its literal) already tried in vain. Without them each
  // "**" costs the square of the path's length, reached from many places that try the same
  // endings again.
  std::set<std::pair<const Node*, std::size_t>> triedEndings;
};

std::optional<RouteMatch> HttpRouter::lookUp(const std::vector<Token>& tokens) const {
  Search search{tokens, {}, nullptr, {}, {}};
  findFirstMatch(rootNode_, 0, search);
  if (!search.matched || !search.matched->handler) return std::nullopt;
  return RouteMatch{std::move(search.params), search.matched->handler};
}

// Depth first, in priority order; true once a route is reached (it is in `search.matched`).
bool HttpRouter::findFirstMatch(const Node& node, std::size_t index, Search& search) {
  const auto& tokens = search.tokens;
  const std::size_t count = tokens.size();
  if (search.deadEnds.contains({&node, index})) return false;
  auto reached = [&search](const Node& end) {
    search.matched = &end;
    return true;
  };
  if (index < count && tokens[index]) {
    const std::string& token = *tokens[index];
    const std::size_t next = index + 1;

    // Parameter keys sort together, right after ":" itself.
    const auto parameter = node.nodes.lower_bound(std::string_view(":"));
    if (parameter != node.nodes.end() && parameter->first.starts_with(':')) {
      const Node& child = *parameter->second;
      search.params[parameter->first] = token;
      if (next == count && child.isEndOfRoute) return reached(child);
      if (findFirstMatch(child, next, search)) return true;
      // A branch that failed leaves no value behind for the route that matches.
      search.params.erase(parameter->first);
    }

    if (const auto literal = node.nodes.find(token); literal != node.nodes.end()) {
      if (findFirstMatch(*literal->second, next, search)) return true;
    }

    if (const auto single = node.nodes.find(std::string_view("*")); single != node.nodes.end()) {
      if (findFirstMatch(*single->second, next, search)) return true;
    }

    // "**" takes this segment and the next one, then as many more as it needs to reach one of
    // its literal children.
    if (const auto multi = node.nodes.find(std::string_view("**"));
        multi != node.nodes.end() && index + 2 < count) {
      const Node& wildcard = *multi->second;
      for (std::size_t p = index + 2; p < count && tokens[p]; ++p) {
        // A walk of this loop that reached nothing tried every ending up to the next undecodable
        // segment, so the rest of this stretch was tried too. Endings past an undecodable
        // segment may still be new: "**" takes its second segment undecoded.
        if (!search.triedEndings.emplace(&wildcard, p).second) break;
        if (const auto after = wildcard.nodes.find(*tokens[p]); after != wildcard.nodes.end()) {
          if (findFirstMatch(*after->second, p + 1, search)) return true;
        }
      }
    }
  }
  if (index == count && node.isEndOfRoute) return reached(node);
  search.deadEnds.emplace(&node, index);
  return false;
}

std::vector<std::string> HttpRouter::routes() const {
  std::shared_lock lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& [method, child] : rootNode_.nodes) routesBelow(*child, "", paths);
  return paths;
}

void HttpRouter::routesBelow(const Node& node, const std::string& prefix,
                             std::vector<std::string>& into) {
  if (node.handler) into.push_back(prefix);
  for (const auto& [key, child] : node.nodes) routesBelow(*child, prefix + "/" + key, into);
}

}  // namespace velmora::http
