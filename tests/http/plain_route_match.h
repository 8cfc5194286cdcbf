#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/router.h"

namespace velmora::http {

using Choices = std::vector<std::size_t>;

// How `route` first matches `path` by plain backtracking: the choice at each step ranked in the
// order the router tries them (parameter, literal, "*", then "**" by its span), so the route
// reached first has the smallest choices. Nullopt when it does not match.
inline std::optional<Choices> plainMatch(std::span<const std::string_view> route,
                                         std::span<const std::optional<std::string>> path) {
  if (route.empty()) return path.empty() ? std::optional(Choices{}) : std::nullopt;
  if (path.empty() || !path[0]) return std::nullopt;
  auto then = [&](std::size_t choice, std::size_t used, std::size_t taken) {
    std::optional<Choices> rest = plainMatch(route.subspan(used), path.subspan(taken));
    if (rest) rest->insert(rest->begin(), choice);
    return rest;
  };
  if (route[0].starts_with(':')) return then(0, 1, 1);
  if (route[0] == "*") return then(2, 1, 1);
  if (route[0] != "**") return route[0] == *path[0] ? then(1, 1, 1) : std::nullopt;
  for (std::size_t end = 2; end < path.size() && path[end]; ++end) {
    if (route.size() < 2 || route[1] != *path[end]) continue;
    if (std::optional<Choices> rest = then(1 + end, 2, end + 1)) return rest;
  }
  return std::nullopt;
}

// The route of `routes` (one method's, all in service) that `path` reaches first, or "none".
template <typename Routes>
std::string plainFirstMatch(const Routes& routes, std::string_view path) {
  std::vector<std::optional<std::string>> tokens;
  for (const std::string_view segment : pathSegments(path))
    tokens.push_back(percentDecode(segment));
  std::optional<Choices> first;
  std::string reached = "none";
  for (const std::string& route : routes) {
    const std::optional<Choices> choices = plainMatch(pathSegments(route), tokens);
    if (choices && (!first || *choices < *first)) first = choices, reached = route;
  }
  return reached;
}

}  // namespace velmora::http
