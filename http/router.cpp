#include "http/router.h"

#include <cstdint>
#include <mutex>

namespace velmora::http {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates, nothing
// beyond U+10FFFF.
bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    const auto second = static_cast<uint8_t>(text[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if (next < 0x80 || next > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

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
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  if (!isValidUtf8(decoded)) return std::nullopt;
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
  std::vector<Token> pathTokens;
  for (const std::string_view segment : pathSegments(path)) {
    pathTokens.push_back(percentDecode(segment));
  }
  auto withFirst = [&pathTokens](Token first) {
    std::vector<Token> tokens;
    tokens.reserve(pathTokens.size() + 1);
    tokens.push_back(std::move(first));
    tokens.insert(tokens.end(), pathTokens.begin(), pathTokens.end());
    return tokens;
  };

  std::shared_lock lock(mutex_);
  // The method is one segment however it is spelt: an empty method or one holding a slash must
  // not shift the path's segments into the method's place.
  if (method) {
    if (auto match = lookUp(withFirst(percentDecode(*method)))) return match;
  }
  return lookUp(withFirst(std::string("*")));
}

std::optional<RouteMatch> HttpRouter::lookUp(std::vector<Token> tokens) const {
  RouteParams params;
  std::vector<const Node*> matched;
  collectMatches(rootNode_, params, tokens, matched, 0);
  if (matched.empty() || !matched.front()->handler) return std::nullopt;
  return RouteMatch{std::move(params), matched.front()->handler};
}

// Depth first, in priority order; every route reached is appended to `matched`. `params` is
// shared by every branch, so a branch that leads nowhere still leaves its values behind.
void HttpRouter::collectMatches(const Node& node, RouteParams& params,
                                const std::vector<Token>& tokens, std::vector<const Node*>& matched,
                                std::size_t index) {
  const std::size_t count = tokens.size();
  if (index < count && tokens[index]) {
    const std::string& token = *tokens[index];
    const std::size_t next = index + 1;

    // Parameter keys sort together, right after ":" itself.
    const auto parameter = node.nodes.lower_bound(std::string_view(":"));
    if (parameter != node.nodes.end() && parameter->first.starts_with(':')) {
      const Node& child = *parameter->second;
      params[parameter->first] = token;
      if (next == count && child.isEndOfRoute) {
        matched.push_back(&child);
        return;
      }
      collectMatches(child, params, tokens, matched, next);
    }

    if (const auto literal = node.nodes.find(token); literal != node.nodes.end()) {
      collectMatches(*literal->second, params, tokens, matched, next);
    }

    if (const auto single = node.nodes.find(std::string_view("*")); single != node.nodes.end()) {
      collectMatches(*single->second, params, tokens, matched, next);
    }

    // "**" takes this segment and the next one, then as many more as it needs to reach one of
    // its literal children.
    if (const auto multi = node.nodes.find(std::string_view("**"));
        multi != node.nodes.end() && index + 2 < count) {
      const Node& wildcard = *multi->second;
      for (std::size_t p = index + 2; p < count; ++p) {
        if (!tokens[p]) break;
        if (const auto after = wildcard.nodes.find(*tokens[p]); after != wildcard.nodes.end()) {
          collectMatches(*after->second, params, tokens, matched, p + 1);
        }
      }
    }
  }
  if (index == count && node.isEndOfRoute) matched.push_back(&node);
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
